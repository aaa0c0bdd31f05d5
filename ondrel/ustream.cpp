// ustream: unicode that meets file-system str on equal terms.
//
// Python 2 mixes str into unicode with the ASCII codec, so a UTF-8 file
// name in a str neither compares equal to nor concatenates with its unicode
// spelling. ustream decodes such str with the file-system encoding instead,
// and keeps its own type through the operations that build paths.

#include "common.h"

#include <cctype>
#include <cstring>
#include <string>


namespace ondrel {

PyTypeObject UStreamType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

// The codec registry costs more than the decoding itself for short paths;
// the usual file-system encoding gets the direct decoder.
bool fs_encoding_is_utf8() {
    static const bool utf8 = [] {
        const char* name = Py_FileSystemDefaultEncoding;
        if (!name) return false;
        std::string lowered;
        for (const char* c = name; *c; ++c) {
            if (*c != '-' && *c != '_') lowered.push_back(static_cast<char>(std::tolower(*c)));
        }
        return lowered == "utf8";
    }();
    return utf8;
}

PyObject* decode_fs(const char* data, Py_ssize_t size, const char* errors) {
    if (fs_encoding_is_utf8()) return PyUnicode_DecodeUTF8(data, size, errors);
    return PyUnicode_Decode(data, size, Py_FileSystemDefaultEncoding, errors);
}

}  // namespace

Ref fs_decode(const char* data, std::size_t size, const char* errors) {
    return owned_or_raise(decode_fs(data, static_cast<Py_ssize_t>(size), errors));
}

std::string fs_encode(PyObject* text) {
    Ref bytes =
        owned_or_raise(PyUnicode_AsEncodedString(text, Py_FileSystemDefaultEncoding, "strict"));
    return std::string(PyString_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyString_GET_SIZE(bytes.get())));
}

std::string fs_encode_path(PyObject* text, const char* what) {
    std::string bytes = fs_encode(text);
    if (bytes.find('\0') != std::string::npos) {
        PyErr_Format(PyExc_ValueError, "%s must not contain null bytes", what);
        raise_pending();
    }
    return bytes;
}

Ref text_of(PyObject* o) {
    if (PyUnicode_Check(o)) return Ref::borrow(o);
    return fs_decode(PyString_AS_STRING(o), static_cast<std::size_t>(PyString_GET_SIZE(o)),
                     "strict");
}

Ref plain_unicode(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return Ref::borrow(text);
    return owned_or_raise(
        PyUnicode_FromUnicode(PyUnicode_AS_UNICODE(text), PyUnicode_GET_SIZE(text)));
}

Ref path_text(PyObject* arg, const char* who) {
    if (is_text(arg)) return text_of(arg);
    if (!PyList_Check(arg) && !PyTuple_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, unicode or a list of them, not %.200s",
                     who, Py_TYPE(arg)->tp_name);
        raise_pending();
    }
    // A snapshot: decoding may run Python code that changes the list.
    Ref items = owned_or_raise(PySequence_Tuple(arg));
    std::basic_string<Py_UNICODE> joined;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!is_text(item)) {
            PyErr_Format(PyExc_TypeError, "%s items must be str or unicode, not %.200s", who,
                         Py_TYPE(item)->tp_name);
            raise_pending();
        }
        Ref part = text_of(item);
        const Py_UNICODE* chars = PyUnicode_AS_UNICODE(part.get());
        const std::size_t size = static_cast<std::size_t>(PyUnicode_GET_SIZE(part.get()));
        // posixpath.join: an absolute component restarts the path.
        if (size > 0 && chars[0] == '/') {
            joined.assign(chars, size);
            continue;
        }
        if (!joined.empty() && joined.back() != '/') joined.push_back('/');
        joined.append(chars, size);
    }
    return owned_or_raise(
        PyUnicode_FromUnicode(joined.data(), static_cast<Py_ssize_t>(joined.size())));
}

namespace {

// What unicode's own subtype constructor does, without the intermediate
// argument tuple and temporary unicode it would build on every path.
Ref new_ustream(PyTypeObject* type, PyObject* text) {
    const Py_ssize_t size = PyUnicode_GET_SIZE(text);
    Ref made = owned_or_raise(type->tp_alloc(type, size));
    PyUnicodeObject* u = reinterpret_cast<PyUnicodeObject*>(made.get());
    u->str = static_cast<Py_UNICODE*>(PyObject_MALLOC(sizeof(Py_UNICODE) * (size + 1)));
    if (!u->str) {
        PyErr_NoMemory();
        raise_pending();
    }
    Py_UNICODE_COPY(u->str, PyUnicode_AS_UNICODE(text), size);
    u->str[size] = 0;
    u->length = size;
    u->hash = -1;
    return made;
}

bool is_ustream(PyObject* o) { return PyObject_TypeCheck(o, &UStreamType); }

// Arguments of replace() and friends: str gets the file-system decoding,
// anything else is left for the unicode method to accept or reject.
Ref argument_text(PyObject* o) {
    if (PyString_Check(o)) return text_of(o);
    return Ref::borrow(o);
}

PyObject* ustream_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return guard([&] {
        PyObject* arg = nullptr;
        if (!_PyArg_NoKeywords("ustream()", kwds) || !PyArg_UnpackTuple(args, "ustream", 0, 1, &arg))
            raise_pending();
        // Immutable, so a ustream converts to itself, as unicode(u) does.
        if (arg && type == &UStreamType && Py_TYPE(arg) == &UStreamType) return Ref::borrow(arg);
        Ref text = arg ? path_text(arg, "ustream() argument")
                       : owned_or_raise(PyUnicode_FromUnicode(nullptr, 0));
        return new_ustream(type, text.get());
    });
}

PyObject* ustream_repr(PyObject* self) {
    return guard([&] {
        Ref inner = owned_or_raise(PyUnicode_Type.tp_repr(self));
        return owned_or_raise(PyString_FromFormat("ustream(%s)", PyString_AS_STRING(inner.get())));
    });
}

PyObject* ustream_str(PyObject* self) {
    return guard([&] {
        std::string bytes = fs_encode(self);
        return owned_or_raise(
            PyString_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    });
}

PyObject* ustream_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&] {
        if (!PyString_Check(other)) return owned_or_raise(PyUnicode_RichCompare(self, other, op));
        PyObject* decoded = decode_fs(PyString_AS_STRING(other), PyString_GET_SIZE(other),
                                      "strict");
        if (decoded == nullptr) {
            // Bytes that are no text in this encoding name no path we hold.
            if ((op == Py_EQ || op == Py_NE) && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                PyErr_Clear();
                return Ref::borrow(op == Py_EQ ? Py_False : Py_True);
            }
            raise_pending();
        }
        Ref text = Ref::steal(decoded);
        return owned_or_raise(PyUnicode_RichCompare(self, text.get(), op));
    });
}

int ustream_contains(PyObject* self, PyObject* element) {
    return guard([&] {
        Ref text = argument_text(element);
        int found = PyUnicode_Contains(self, text.get());
        raise_if_negative(found);
        return found;
    });
}

// Binary operators see their operands in written order; either may be the
// ustream, and both must be text for us to take the operation.
PyObject* ustream_add(PyObject* left, PyObject* right) {
    return guard([&] {
        if (!is_text(left) || !is_text(right)) return Ref::borrow(Py_NotImplemented);
        Ref a = text_of(left), b = text_of(right);
        Ref sum = owned_or_raise(PyUnicode_Concat(a.get(), b.get()));
        return make_ustream(sum.get());
    });
}

PyObject* ustream_format(PyObject* left, PyObject* right) {
    return guard([&] {
        if (!is_ustream(left)) return Ref::borrow(Py_NotImplemented);
        Ref result = owned_or_raise(PyUnicode_Format(left, right));
        return make_ustream(result.get());
    });
}

PyObject* ustream_replace(PyObject* self, PyObject* args) {
    return guard([&] {
        PyObject *old_arg, *new_arg;
        Py_ssize_t count = -1;
        if (!PyArg_ParseTuple(args, "OO|n:replace", &old_arg, &new_arg, &count))
            raise_pending();
        Ref old_text = argument_text(old_arg), new_text = argument_text(new_arg);
        Ref result = owned_or_raise(PyUnicode_Replace(self, old_text.get(), new_text.get(), count));
        return make_ustream(result.get());
    });
}

PyObject* ustream_remove(PyObject* self, PyObject* arg) {
    return guard([&] {
        Ref text = argument_text(arg);
        Ref empty = owned_or_raise(PyUnicode_FromUnicode(nullptr, 0));
        Ref result = owned_or_raise(PyUnicode_Replace(self, text.get(), empty.get(), -1));
        return make_ustream(result.get());
    });
}

PyObject* ustream_get_unicode(PyObject* self, void*) {
    return guard([&] { return plain_unicode(self); });
}

PyMethodDef ustream_methods[] = {
    {"replace", ustream_replace, METH_VARARGS,
     "S.replace(old, new[, count]) -> ustream\n\n"
     "Like unicode.replace; str arguments are decoded with the file-system encoding."},
    {"remove", ustream_remove, METH_O,
     "S.remove(text) -> ustream\n\nS with every occurrence of text removed."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ustream_getset[] = {
    {const_cast<char*>("_unicode_"), ustream_get_unicode, nullptr,
     const_cast<char*>("The text as a plain unicode object."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Only the slots set here differ; PyType_Ready copies the rest from unicode.
PyNumberMethods ustream_as_number;
PySequenceMethods ustream_as_sequence;

}  // namespace

Ref make_ustream(PyObject* text) { return new_ustream(&UStreamType, text); }

void add_ustream(PyObject* module) {
    ustream_as_number.nb_add = ustream_add;
    ustream_as_number.nb_remainder = ustream_format;
    ustream_as_sequence.sq_contains = ustream_contains;

    PyTypeObject& t = UStreamType;
    t.tp_name = "ondrel.ustream";
    t.tp_doc =
        "ustream([x]) -> unicode subclass\n\n"
        "x may be unicode, a str in the file-system encoding (decoded strictly),\n"
        "or a list or tuple of those joined as path components. Comparison,\n"
        "containment, +, %, replace() and remove() accept such str too.";
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_CHECKTYPES;
    t.tp_base = &PyUnicode_Type;
    t.tp_new = ustream_new;
    t.tp_repr = ustream_repr;
    t.tp_str = ustream_str;
    t.tp_richcompare = ustream_richcompare;
    // Defining a comparison stops PyType_Ready from inheriting the hash.
    t.tp_hash = PyUnicode_Type.tp_hash;
    t.tp_as_number = &ustream_as_number;
    t.tp_as_sequence = &ustream_as_sequence;
    t.tp_methods = ustream_methods;
    t.tp_getset = ustream_getset;
    raise_if_negative(PyType_Ready(&t));
    Py_INCREF(&t);
    raise_if_negative(PyModule_AddObject(module, "ustream", reinterpret_cast<PyObject*>(&t)));
}

}  // namespace ondrel
