// The codec search function that makes "cp65001" a name of UTF-8.
//
// It is the one function of the module that is not a host built-in: its type
// binds as a method when stored on a class, as a Python function would.
#include "src/module/codec_search.h"

#include <structmember.h>

#include "src/module/state.h"
#include "src/module/traceback.h"

namespace dorvane {

namespace {

struct SearchFunction {
    PyObject_HEAD
};

Ref search(PyObject* name) {
    Ref same = owned_or_raise(PyObject_RichCompare(name, constant(Id::cp65001), Py_EQ));
    if (!truth(same)) return none();
    Ref lookup = attr(global(Id::codecs), Id::lookup);
    Ref info = call(lookup, Id::utf8);
    return truth(info) ? info : none();
}

PyObject* search_call(PyObject*, PyObject* args, PyObject* kw) {
    if (kw && PyDict_Size(kw) != 0) {
        PyErr_SetString(PyExc_TypeError, "lambda1() takes no keyword arguments");
        return nullptr;
    }
    if (PyTuple_GET_SIZE(args) != 1) {
        PyErr_Format(PyExc_TypeError, "lambda1() takes exactly one argument (%zd given)",
                     PyTuple_GET_SIZE(args));
        return nullptr;
    }
    try {
        return search(PyTuple_GET_ITEM(args, 0)).release();
    } catch (const PythonError& failure) {
        add_traceback("dorvane.lambda1", failure.line);
        return nullptr;
    }
}

PyObject* search_bind(PyObject* self, PyObject* obj, PyObject* type) {
    if (obj == Py_None) obj = nullptr;  // fetched from the class
    return pyutil::bind_method(self, obj, type);
}

PyObject* search_repr(PyObject*) { return pyutil::native_from("<dorvane function lambda1>"); }

PyObject* get_name(PyObject*, void*) { return pyutil::native_from("lambda1"); }
PyObject* get_module(PyObject*, void*) { return pyutil::native_from("dorvane"); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef search_getset[] = {
    {const_cast<char*>("__name__"), get_name, nullptr, nullptr, nullptr},
    {const_cast<char*>("__module__"), get_module, nullptr, nullptr, nullptr},
    {const_cast<char*>("__doc__"), get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject search_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "dorvane.function",        // tp_name
    sizeof(SearchFunction),    // tp_basicsize
};

}  // namespace

void ready_codec_search_type(Here at) {
    search_type.tp_flags = Py_TPFLAGS_DEFAULT;
    search_type.tp_call = search_call;
    search_type.tp_descr_get = search_bind;
    search_type.tp_repr = search_repr;
    search_type.tp_getset = search_getset;
    if (PyType_Ready(&search_type) < 0) raise_pending(at);
}

Ref new_codec_search_function(Here at) {
    return owned_or_raise(reinterpret_cast<PyObject*>(PyObject_New(SearchFunction, &search_type)), at);
}

}  // namespace dorvane
