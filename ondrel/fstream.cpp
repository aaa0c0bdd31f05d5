// fstream: a file read or written whole, optionally through a compression
// filter. The work happens in File (fileio.h) with the lock released; this
// file checks arguments and state and maps failures.

#include "common.h"

#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "fileio.h"
#include "transfer.h"
#include "structmember.h"
#include "ondrel/codecs/codec.h"

namespace ondrel {

PyTypeObject FStreamType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

struct FStreamObject {
    PyObject_HEAD
    File* file;        // owned; null only if construction failed
    PyObject* name;    // ustream
    PyObject* mode;    // str, as given
    PyObject* filter;  // canonical filter name, or None
    bool writing;
    // Set while a call runs without the lock, so another thread cannot
    // use or close the File under it.
    bool busy;
    // Set when a with block was left by an exception while another call was
    // busy: that call ends, and then the file is abandoned, never committed.
    bool abandoned;
};

FStreamObject* as_fstream(PyObject* self) { return reinterpret_cast<FStreamObject*>(self); }

ErrorContext file_context(FStreamObject* self) {
    return ErrorContext{PyExc_IOError, Ref::borrow(self->name)};
}

// Gives up the file without committing it, still busy so that no other
// thread starts on it meanwhile. Without the lock: dropping an encoder may
// wait for its workers.
void abandon(FStreamObject* self) {
    File* file = self->file;
    if (file == nullptr || file->closed()) return;
    self->busy = true;
    {
        LockReleased unlocked;
        file->abort();
    }
    self->busy = false;
}

class Busy {
public:
    explicit Busy(FStreamObject* self) : self_(self) {
        if (self_->busy) raise_error(PyExc_IOError, "fstream is in use by another thread");
        self_->busy = true;
    }
    ~Busy() {
        self_->busy = false;
        if (self_->abandoned) abandon(self_);
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    FStreamObject* self_;
};

void require_open(FStreamObject* self) {
    if (self->file == nullptr || self->file->closed())
        raise_error(PyExc_ValueError, "I/O operation on closed file");
}

File::Access parse_mode(const char* mode) {
    static const struct {
        const char* mode;
        File::Access access;
    } modes[] = {
        {"r", File::Access::read},    {"rb", File::Access::read},
        {"w", File::Access::write},   {"wb", File::Access::write},
        {"a", File::Access::append},  {"ab", File::Access::append},
        {"x", File::Access::create},  {"xb", File::Access::create},
    };
    for (const auto& entry : modes)
        if (std::strcmp(entry.mode, mode) == 0) return entry.access;
    PyErr_Format(PyExc_ValueError,
                 "mode must be one of 'r', 'rb', 'w', 'wb', 'a', 'ab', 'x', 'xb', not '%.20s'", mode);
    raise_pending();
}

const codecs::Codec* find_filter(PyObject* filter) {
    if (filter == Py_None) return nullptr;
    if (!is_text(filter)) {
        PyErr_Format(PyExc_TypeError, "fstream() filter must be a " PYUTIL_PATH_ITEM_TYPES " name, not %.200s",
                     Py_TYPE(filter)->tp_name);
        raise_pending();
    }
    Ref name = plain_unicode(text_of(filter).get());
    Ref utf8 = owned_or_raise(PyUnicode_AsUTF8String(name.get()));
    const codecs::Codec* codec = codecs::find_codec(std::string_view(
        PyBytes_AS_STRING(utf8.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get()))));
    if (codec == nullptr) {
        Ref value = owned_or_raise(Py_BuildValue("(iO)", kUnknownFilter, name.get()));
        raise_error(StreamError, value.get());
    }
    return codec;
}

PyObject* fstream_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    ErrorContext context{PyExc_IOError};
    return guard(context, [&] {
        static const char* keywords[] = {"path", "mode", "filter", nullptr};
        PyObject* path;
        const char* mode = "rb";
        PyObject* filter = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|sO:fstream", const_cast<char**>(keywords),
                                         &path, &mode, &filter))
            raise_pending();
        const File::Access access = parse_mode(mode);
        const codecs::Codec* codec = find_filter(filter);
        if (codec != nullptr && access == File::Access::append)
            raise_error(PyExc_ValueError, "append mode cannot be combined with a filter");

        Ref name = make_ustream(path_text(path, "fstream() path").get());
        const std::string bytes = fs_encode_path(name.get(), "fstream() path");
        context.filename = name;

        Ref object = owned_or_raise(type->tp_alloc(type, 0));
        FStreamObject* self = as_fstream(object.get());
        self->name = name.release();
        self->mode = owned_or_raise(pyutil::native_from(mode)).release();
        self->filter = (codec ? owned_or_raise(pyutil::native_from(codec->name))
                              : Ref::borrow(Py_None)).release();
        self->writing = access != File::Access::read;

        std::unique_ptr<File> file;
        without_gil([&] { file = std::make_unique<File>(bytes, access, codec); });
        self->file = file.release();
        return object;
    });
}

// Deallocation commits, as a dropped file object flushes, and like one
// reports a failure on stderr since there is nobody to raise it to.
void fstream_dealloc(PyObject* object) {
    FStreamObject* self = as_fstream(object);
    if (File* file = self->file) {
        self->file = nullptr;
        std::exception_ptr failure;
        // Not without_gil(): a signal handler raising here would have nowhere
        // to go. (One that drops the last reference lands here too, and no
        // handler runs again from inside it: see check_interrupt_now().)
        // An abandoned file was aborted as its last call ended; closed, it is not touched again.
        {
            LockReleased unlocked;
            try {
                file->close();
            } catch (...) {
                failure = std::current_exception();
            }
            delete file;
        }
        if (failure) {
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);  // an exception may be on its way
            try {
                std::rethrow_exception(failure);
            } catch (...) {
                set_error_from_current(file_context(self));
            }
            PySys_WriteStderr("close failed in fstream destructor:\n");
            PyErr_Print();
            PyErr_Restore(type, value, traceback);
        }
    }
    Py_XDECREF(self->name);
    Py_XDECREF(self->mode);
    Py_XDECREF(self->filter);
    Py_TYPE(object)->tp_free(object);
}

PyObject* fstream_read(PyObject* object, PyObject*) {
    FStreamObject* self = as_fstream(object);
    return guard(file_context(self), [&] {
        Busy busy(self);
        require_open(self);
        if (self->writing) raise_error(PyExc_IOError, "File not open for reading");
        ResultBuffer result = result_buffer();
        without_gil([&] { self->file->read_all(result); });
        return make_bstream(result);
    });
}

PyObject* fstream_write(PyObject* object, PyObject* arg) {
    FStreamObject* self = as_fstream(object);
    return guard(file_context(self), [&] {
        Ref bytes = bytes_of(arg, "write() argument");
        Busy busy(self);
        require_open(self);
        if (!self->writing) raise_error(PyExc_IOError, "File not open for writing");
        const char* data = PyBytes_AS_STRING(bytes.get());
        const std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()));
        without_gil([&] { self->file->write(data, size); });
        return Ref::borrow(Py_None);
    });
}

PyObject* fstream_close(PyObject* object, PyObject*) {
    FStreamObject* self = as_fstream(object);
    return guard(file_context(self), [&] {
        Busy busy(self);
        if (self->file != nullptr && !self->file->closed())
            without_gil([&] { self->file->close(); });
        return Ref::borrow(Py_None);
    });
}

PyObject* fstream_enter(PyObject* object, PyObject*) {
    return guard([&] {
        require_open(as_fstream(object));
        return Ref::borrow(object);
    });
}

// Leaving the block by an exception (Ctrl-C included) abandons what the
// block wrote: a file being replaced keeps its old content, even when
// another thread is still inside a call (its Busy abandons the file as
// that call ends).
void fstream_abort(PyObject* object) {
    FStreamObject* self = as_fstream(object);
    self->abandoned = true;
    if (!self->busy) abandon(self);
}

PyObject* fstream_exit(PyObject* object, PyObject* args) {
    PyObject *type = Py_None, *value = Py_None, *traceback = Py_None;
    if (!PyArg_UnpackTuple(args, "__exit__", 0, 3, &type, &value, &traceback)) return nullptr;
    if (type != Py_None) {
        fstream_abort(object);
        Py_RETURN_FALSE;
    }
    Ref closed = Ref::steal(fstream_close(object, nullptr));
    if (!closed) return nullptr;
    Py_RETURN_FALSE;
}

// fstream.copyfile(): the whole of one file into another through the
// filters, in bounded memory (transfer.h), in two calls that fail the way
// reading the source whole and then writing the destination whole would:
// run() with the source's failures, commit() with the destination's.
struct CopyObject {
    PyObject_HEAD
    Transfer* transfer;  // owned; null once committed or given up
    PyObject* src;       // ustream names for the errors
    PyObject* dest;
    bool ran;   // run() has finished
    bool busy;  // run() or commit() is under way
};

PyTypeObject CopyType = {PyVarObject_HEAD_INIT(nullptr, 0)};

CopyObject* as_copy(PyObject* self) { return reinterpret_cast<CopyObject*>(self); }

// Leaves the destination as it was. Without the lock: dropping an encoder
// may wait for its workers.
void drop_transfer(CopyObject* self) {
    if (Transfer* transfer = std::exchange(self->transfer, nullptr)) {
        LockReleased unlocked;
        delete transfer;
    }
}

void copy_dealloc(PyObject* object) {
    CopyObject* self = as_copy(object);
    drop_transfer(self);
    Py_XDECREF(self->src);
    Py_XDECREF(self->dest);
    Py_TYPE(object)->tp_free(object);
}

// Runs `step` on the transfer, which must be in the state `after_run`
// names. While a step works without the lock, another thread, or a signal
// handler run from inside the step, could reach the transfer: any such
// call is refused and changes nothing. A failure of the step itself gives
// the transfer up.
template <class Step>
PyObject* copy_step(PyObject* object, PyObject* name, bool after_run, Step&& step) {
    CopyObject* self = as_copy(object);
    return guard(ErrorContext{PyExc_IOError, Ref::borrow(name)}, [&] {
        if (self->busy) raise_error(PyExc_IOError, "copy is in use by another call");
        if (self->transfer == nullptr) raise_error(PyExc_ValueError, "copy already finished");
        if (self->ran != after_run)
            raise_error(PyExc_ValueError, after_run ? "copy has not run" : "copy already ran");
        self->busy = true;
        try {
            step(self);
        } catch (...) {
            drop_transfer(self);
            self->busy = false;
            throw;
        }
        self->busy = false;
        return Ref::borrow(Py_None);
    });
}

PyObject* copy_run(PyObject* object, PyObject*) {
    return copy_step(object, as_copy(object)->src, false, [](CopyObject* self) {
        without_gil([&] { self->transfer->run(); });
        self->ran = true;
    });
}

PyObject* copy_commit(PyObject* object, PyObject*) {
    return copy_step(object, as_copy(object)->dest, true, [](CopyObject* self) {
        without_gil([&] { self->transfer->commit(); });
        drop_transfer(self);
    });
}

PyMethodDef copy_methods[] = {
    {"run", copy_run, METH_NOARGS,
     "C.run()\n\nReads and converts the whole source; raises the source's errors."},
    {"commit", copy_commit, METH_NOARGS,
     "C.commit()\n\nPuts the result in place of dest; raises the destination's errors."},
    {nullptr, nullptr, 0, nullptr},
};

// The name as the system takes it, or false for one it cannot take (a NUL,
// a character the file-system encoding lacks). The copy then declines, and
// the steps it stands in for report the name where and as they would: the
// source's before the destination's, and only once the source is read.
bool system_name(const Ref& name, const char* what, std::string& out) {
    try {
        out = fs_encode_path(name.get(), what);
        return true;
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;  // UnicodeError is one too
        PyErr_Clear();
        return false;
    }
}

PyObject* fstream_copyfile(PyObject*, PyObject* args, PyObject* kwds) {
    ErrorContext context{PyExc_IOError};
    return guard(context, [&] {
        static const char* keywords[] = {"src", "dest", "src_filter", "dest_filter", nullptr};
        PyObject *src, *dest, *src_filter = Py_None, *dest_filter = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OO:copyfile", const_cast<char**>(keywords),
                                         &src, &dest, &src_filter, &dest_filter))
            raise_pending();
        const codecs::Codec* decode = find_filter(src_filter);
        const codecs::Codec* encode = find_filter(dest_filter);
        Ref src_name = make_ustream(path_text(src, "copyfile() src").get());
        Ref dest_name = make_ustream(path_text(dest, "copyfile() dest").get());
        std::string src_path, dest_path;
        if (!system_name(src_name, "copyfile() src", src_path) ||
            !system_name(dest_name, "copyfile() dest", dest_path))
            return Ref::borrow(Py_None);

        Ref object = owned_or_raise(CopyType.tp_alloc(&CopyType, 0));
        CopyObject* self = as_copy(object.get());
        self->src = Ref(src_name).release();
        self->dest = Ref(dest_name).release();
        context.filename = src_name;
        try {
            without_gil([&] { self->transfer = new Transfer(src_path, dest_path, decode, encode); });
        } catch (const File::Declined&) {
            return Ref::borrow(Py_None);
        }
        return object;
    });
}

PyObject* fstream_get_closed(PyObject* object, void*) {
    FStreamObject* self = as_fstream(object);
    return PyBool_FromLong(self->file == nullptr || self->file->closed());
}

PyObject* fstream_repr(PyObject* object) {
    FStreamObject* self = as_fstream(object);
    return guard([&] {
        Ref name = owned_or_raise(PyObject_Repr(plain_unicode(self->name).get()));
        Ref mode = owned_or_raise(PyObject_Repr(self->mode));
        Ref filter = owned_or_raise(PyObject_Repr(self->filter));
        const bool closed = self->file == nullptr || self->file->closed();
        return owned_or_raise(pyutil::native_format("<%s fstream %s, mode %s, filter %s at %p>",
                                                    closed ? "closed" : "open",
                                                    pyutil::native_chars(name.get()),
                                                    pyutil::native_chars(mode.get()),
                                                    pyutil::native_chars(filter.get()),
                                                    static_cast<void*>(self)));
    });
}

PyMethodDef fstream_methods[] = {
    {"read", fstream_read, METH_NOARGS,
     "F.read() -> bstream\n\nThe rest of the file, decompressed through the filter if any."},
    {"write", fstream_write, METH_O,
     "F.write(data)\n\nWrites " PYUTIL_BYTES " or buffer data (" PYUTIL_TEXT " as UTF-8), compressed through the\n"
     "filter if any; errors may surface only at close()."},
    {"close", fstream_close, METH_NOARGS,
     "F.close()\n\nEnds the compressed stream, flushes and closes; raises IOError if any\n"
     "of that fails. Closing twice does nothing."},
    {"copyfile", reinterpret_cast<PyCFunction>(fstream_copyfile),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "fstream.copyfile(src, dest, src_filter=None, dest_filter=None) -> copy or None\n\n"
     "Prepares to copy the file src to dest, decompressing through src_filter and\n"
     "compressing through dest_filter, in memory that does not grow with the file:\n"
     "makes a temporary for dest, then opens src (raising its errors). The copy's\n"
     "run() reads and converts all of src, raising src's errors first; its commit()\n"
     "then replaces dest, raising dest's errors. Either refuses while the other (or\n"
     "itself) is under way. Dropped before commit(), it leaves dest as it was. None, with nothing done and src not opened, when dest is not a regular\n"
     "file (or missing) that can be replaced this way, e.g. a device or a FIFO, when\n"
     "a name cannot be given to the system, or when descriptors or memory run short."},
    {"__enter__", fstream_enter, METH_NOARGS, nullptr},
    {"__exit__", fstream_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fstream_members[] = {
    {const_cast<char*>("name"), T_OBJECT, offsetof(FStreamObject, name), READONLY,
     const_cast<char*>("The path, as a ustream.")},
    {const_cast<char*>("mode"), T_OBJECT, offsetof(FStreamObject, mode), READONLY,
     const_cast<char*>("The mode given to the constructor.")},
    {const_cast<char*>("filter"), T_OBJECT, offsetof(FStreamObject, filter), READONLY,
     const_cast<char*>("Canonical name of the compression filter, or None.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef fstream_getset[] = {
    {const_cast<char*>("closed"), fstream_get_closed, nullptr,
     const_cast<char*>("True once the stream is closed."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void add_fstream(PyObject* module) {
    PyTypeObject& t = FStreamType;
    t.tp_name = "ondrel.fstream";
    t.tp_basicsize = sizeof(FStreamObject);
    t.tp_doc =
        "fstream(path, mode='rb', filter=None)\n\n"
        "path is anything ustream() accepts. mode is 'r', 'rb', 'w', 'wb', 'a' or 'ab'\n"
        "(append only without a filter), or 'x'/'xb' to write a file that must not exist\n"
        "yet (created with mode 0600; an existing file or link raises EEXIST). Writing\n"
        "over a file replaces it at close(), or at the end of a with block left without\n"
        "an exception. filter names a compression format: gzip/gz,\n"
        "bzip2/bz2, lzop/lzo, xz or lzma; an unknown name raises StreamError(6, name).\n"
        "Data the filter rejects raises StreamError(5, 'path: reason').";
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_new = fstream_new;
    t.tp_dealloc = fstream_dealloc;
    t.tp_repr = fstream_repr;
    t.tp_methods = fstream_methods;
    t.tp_members = fstream_members;
    t.tp_getset = fstream_getset;
    raise_if_negative(PyType_Ready(&t));
    Py_INCREF(&t);
    raise_if_negative(PyModule_AddObject(module, "fstream", reinterpret_cast<PyObject*>(&t)));

    PyTypeObject& c = CopyType;
    c.tp_name = "ondrel.fstream.copy";
    c.tp_basicsize = sizeof(CopyObject);
    c.tp_doc = "A copy prepared by fstream.copyfile().";
    c.tp_flags = Py_TPFLAGS_DEFAULT;
    c.tp_dealloc = copy_dealloc;
    c.tp_methods = copy_methods;
    raise_if_negative(PyType_Ready(&c));
}

}  // namespace ondrel
