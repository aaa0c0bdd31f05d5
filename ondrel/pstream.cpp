// pstream: a shell command line whose output is collected.

#include "common.h"

#include <string>

#include "process/process.h"
#include "structmember.h"

namespace ondrel {

PyTypeObject PStreamType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

struct PStreamObject {
    PyObject_HEAD
    PyObject* command;  // ustream
};

PStreamObject* as_pstream(PyObject* self) { return reinterpret_cast<PStreamObject*>(self); }

const char kArgumentError[] = "pstream() argument must be " PYUTIL_PATH_TYPES " or a list of them, not %.200s";

// The items are joined with single blanks and handed to the shell as they
// are: quoting is the caller's business, as in a typed command line.
Ref command_text(PyObject* arg) {
    if (is_text(arg)) return text_of(arg);
    if (!PyList_Check(arg) && !PyTuple_Check(arg)) {
        PyErr_Format(PyExc_TypeError, kArgumentError, Py_TYPE(arg)->tp_name);
        raise_pending();
    }
    Ref items = owned_or_raise(PySequence_List(arg));  // a snapshot we may overwrite
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!is_text(item)) {
            PyErr_Format(PyExc_TypeError, "pstream() items must be " PYUTIL_PATH_ITEM_TYPES ", not %.200s",
                         Py_TYPE(item)->tp_name);
            raise_pending();
        }
        raise_if_negative(PyList_SetItem(items.get(), i, text_of(item).release()));
    }
    Ref blank = owned_or_raise(PyUnicode_FromString(" "));
    return owned_or_raise(PyUnicode_Join(blank.get(), items.get()));
}

PyObject* pstream_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return guard([&] {
        static const char* keywords[] = {"command", nullptr};
        PyObject* arg;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:pstream", const_cast<char**>(keywords), &arg))
            raise_pending();
        Ref command = make_ustream(command_text(arg).get());
        Ref object = owned_or_raise(type->tp_alloc(type, 0));
        as_pstream(object.get())->command = command.release();
        return object;
    });
}

void pstream_dealloc(PyObject* object) {
    Py_XDECREF(as_pstream(object)->command);
    Py_TYPE(object)->tp_free(object);
}

[[noreturn]] void raise_exit_status(const process::Result& result) {
    std::size_t end = result.err.size();
    while (end > 0 && (result.err[end - 1] == '\n' || result.err[end - 1] == '\r')) --end;
    Ref message = fs_decode(result.err.data(), end, "replace");
    Ref value = owned_or_raise(Py_BuildValue("(iO)", result.status, message.get()));
    raise_error(StreamError, value.get());
}

PyObject* pstream_execute(PyObject* object, PyObject*) {
    PStreamObject* self = as_pstream(object);
    return guard([&] {
        const std::string line = fs_encode_path(self->command, "pstream command");
        process::Result result;
        ResultBuffer out = result_buffer();
        without_gil([&] { result = process::run(line, check_interrupt, &out); });
        if (result.status != 0) raise_exit_status(result);
        return make_bstream(out);
    });
}

PyObject* pstream_repr(PyObject* object) {
    return guard([&] {
        Ref inner = owned_or_raise(PyObject_Repr(plain_unicode(as_pstream(object)->command).get()));
        return owned_or_raise(pyutil::native_format("pstream(%s)", pyutil::native_chars(inner.get())));
    });
}

PyMethodDef pstream_methods[] = {
    {"execute", pstream_execute, METH_NOARGS,
     "P.execute() -> bstream\n\n"
     "Runs the command with /bin/sh -c, stdin from /dev/null, and returns its\n"
     "stdout. A non-zero exit raises StreamError(status, stderr); death by\n"
     "signal N gives status 128 + N. May be called again."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef pstream_members[] = {
    {const_cast<char*>("command"), T_OBJECT, offsetof(PStreamObject, command), READONLY,
     const_cast<char*>("The command line, as a ustream.")},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

void add_pstream(PyObject* module) {
    PyTypeObject& t = PStreamType;
    t.tp_name = "ondrel.pstream";
    t.tp_basicsize = sizeof(PStreamObject);
    t.tp_doc =
        "pstream(command)\n\n"
        "command is a " PYUTIL_PATH_ITEM_TYPES " command line, or a list or tuple of them\n"
        "joined with single blanks.";
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_new = pstream_new;
    t.tp_dealloc = pstream_dealloc;
    t.tp_repr = pstream_repr;
    t.tp_methods = pstream_methods;
    t.tp_members = pstream_members;
    raise_if_negative(PyType_Ready(&t));
    Py_INCREF(&t);
    raise_if_negative(PyModule_AddObject(module, "pstream", reinterpret_cast<PyObject*>(&t)));
}

}  // namespace ondrel
