// bstream: str with the byte transforms of codecs/text.h as methods.

#include "common.h"

#include <cstring>
#include <string>
#include <string_view>

#include "ondrel/codecs/text.h"

namespace ondrel {

PyTypeObject BStreamType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

// Past the interpreter's small-object limit, so the block it would have
// allocated is a malloc'd one too.
constexpr std::size_t kAdoptFrom = 64 * 1024;

// Fills a new instance directly, as str does for its subtypes, so large
// results are copied once.
Ref alloc_bstream(PyTypeObject* type, std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX) - 1) {
        PyErr_NoMemory();
        raise_pending();
    }
    Ref object = owned_or_raise(type->tp_alloc(type, static_cast<Py_ssize_t>(size)));
    PyBytes_AS_STRING(object.get())[size] = '\0';
    pyutil::bytes_reset(object.get());
    return object;
}

Ref new_bstream(PyTypeObject* type, const char* data, std::size_t size) {
    Ref object = alloc_bstream(type, size);
    if (size > 0) std::memcpy(PyBytes_AS_STRING(object.get()), data, size);
    return object;
}

Ref copy_to_str(const void* data, Py_ssize_t size) {
    return owned_or_raise(PyBytes_FromStringAndSize(static_cast<const char*>(data), size));
}

std::string_view view_of(PyObject* self) {
    return std::string_view(PyBytes_AS_STRING(self),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(self)));
}

// Runs a codecs/text.h transform on the bytes of `self` without the lock,
// straight into the result's memory; the str is immutable and `self` is
// kept alive by the method call.
template <class Transform>
PyObject* transformed(PyObject* self, Transform transform) {
    return guard([&] {
        std::string_view input = view_of(self);
        ResultBuffer output = result_buffer();
        without_gil([&] { transform(input, output); });
        return make_bstream(output);
    });
}

PyObject* bstream_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return guard([&] {
        PyObject* arg = nullptr;
        if (!no_keywords("bstream", kwds) || !PyArg_UnpackTuple(args, "bstream", 0, 1, &arg))
            raise_pending();
        if (arg == nullptr) return new_bstream(type, "", 0);
        // Immutable, so a bstream converts to itself (as str(s) does): a whole
        // file read by cat is not copied once more.
        if (type == &BStreamType && Py_TYPE(arg) == &BStreamType) return Ref::borrow(arg);
        Ref bytes = bytes_of(arg, "bstream() argument");
        return new_bstream(type, PyBytes_AS_STRING(bytes.get()),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    });
}

PyObject* bstream_repr(PyObject* self) {
    return guard([&] {
        Ref inner = owned_or_raise(PyBytes_Type.tp_repr(self));
        return owned_or_raise(pyutil::native_format("bstream(%s)", pyutil::native_chars(inner.get())));
    });
}

PyObject* bstream_base64_encode(PyObject* self, PyObject*) {
    return transformed(self, [](std::string_view in, codecs::Sink& out) { codecs::base64_encode(in, out); });
}

PyObject* bstream_base64_decode(PyObject* self, PyObject*) {
    return transformed(self, [](std::string_view in, codecs::Sink& out) { codecs::base64_decode(in, out); });
}

PyObject* bstream_zlib_encode(PyObject* self, PyObject* args) {
    int level = -1;
    if (!PyArg_ParseTuple(args, "|i:zlib_encode", &level)) return nullptr;
    if (level < -1 || level > 9) {
        PyErr_Format(PyExc_ValueError, "zlib_encode() level must be -1 to 9, not %d", level);
        return nullptr;
    }
    return transformed(self, [level](std::string_view in, codecs::Sink& out) {
        codecs::zlib_encode(in, level, out);
    });
}

PyObject* bstream_zlib_decode(PyObject* self, PyObject*) {
    return transformed(self, [](std::string_view in, codecs::Sink& out) { codecs::zlib_decode(in, out); });
}

PyMethodDef bstream_methods[] = {
    {"base64_encode", bstream_base64_encode, METH_NOARGS,
     "B.base64_encode() -> bstream\n\nBase64 in lines of 76 characters, each ending in a newline."},
    {"base64_decode", bstream_base64_decode, METH_NOARGS,
     "B.base64_decode() -> bstream\n\n"
     "Inverse of base64_encode; line breaks are ignored, other junk raises StreamError."},
    {"zlib_encode", bstream_zlib_encode, METH_VARARGS,
     "B.zlib_encode([level]) -> bstream\n\nOne zlib stream; level 0-9, -1 for the default."},
    {"zlib_decode", bstream_zlib_decode, METH_NOARGS,
     "B.zlib_decode() -> bstream\n\nExactly one complete zlib stream, else StreamError."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ResultBuffer result_buffer(std::size_t expected) {
    return ResultBuffer(pyutil::kBytesHeader, expected);
}

Ref make_bstream(ResultBuffer& filled) {
    const std::size_t size = filled.size();
    // Small results are cheaper to copy than to trim.
    if (size < kAdoptFrom || !pyutil::objects_freed_by_free()) return make_bstream(filled.data(), size);
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX) - 1) {
        PyErr_NoMemory();
        raise_pending();
    }
    // What PyType_GenericAlloc does for a block it got from PyObject_MALLOC,
    // which at this size is malloc: tp_free gives it back to free().
    auto* object = static_cast<PyVarObject*>(filled.release());
    PyObject_INIT_VAR(object, &BStreamType, static_cast<Py_ssize_t>(size));
    pyutil::bytes_reset(reinterpret_cast<PyObject*>(object));
    return Ref::steal(reinterpret_cast<PyObject*>(object));
}

Ref make_bstream(const char* data, std::size_t size) {
    return new_bstream(&BStreamType, data, size);
}

Ref bytes_of(PyObject* o, const char* who) {
    if (PyBytes_Check(o)) return Ref::borrow(o);
    if (PyUnicode_Check(o)) return owned_or_raise(PyUnicode_AsUTF8String(o));
    if (PyObject_CheckBuffer(o)) {
        Py_buffer view;
        raise_if_negative(PyObject_GetBuffer(o, &view, PyBUF_SIMPLE));
        PyObject* copy = PyBytes_FromStringAndSize(static_cast<const char*>(view.buf), view.len);
        PyBuffer_Release(&view);
        return owned_or_raise(copy);
    }
    const void* data;
    Py_ssize_t size;
    bool failed;
    if (pyutil::old_read_buffer(o, &data, &size, &failed)) {
        if (failed) raise_pending();
        return copy_to_str(data, size);
    }
    PyErr_Format(PyExc_TypeError, "%s must be " PYUTIL_BYTES ", " PYUTIL_TEXT " or a buffer, not %.200s", who,
                 Py_TYPE(o)->tp_name);
    raise_pending();
}

void add_bstream(PyObject* module) {
    PyTypeObject& t = BStreamType;
    t.tp_name = "ondrel.bstream";
    t.tp_doc =
        "bstream([x]) -> " PYUTIL_BYTES " subclass\n\n"
        "x may be " PYUTIL_BYTES ", a buffer or bytearray, or " PYUTIL_TEXT " (stored as UTF-8).\n"
        "Data a decoder rejects raises StreamError with errno 5.";
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_base = &PyBytes_Type;
    t.tp_new = bstream_new;
    t.tp_repr = bstream_repr;
    t.tp_methods = bstream_methods;
    raise_if_negative(PyType_Ready(&t));
    Py_INCREF(&t);
    raise_if_negative(PyModule_AddObject(module, "bstream", reinterpret_cast<PyObject*>(&t)));
}

}  // namespace ondrel
