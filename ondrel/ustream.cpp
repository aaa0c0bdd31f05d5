// ustream: unicode that meets file-system str on equal terms.
//
// Python 2 mixes str into unicode with the ASCII codec, so a UTF-8 file
// name in a str neither compares equal to nor concatenates with its unicode
// spelling. ustream decodes such str with the file-system encoding instead,
// and keeps its own type through the operations that build paths.

#include "common.h"

#include <cstring>
#include <string>


namespace ondrel {

PyTypeObject UStreamType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

PyObject* decode_fs(const char* data, Py_ssize_t size, const char* errors) {
    if (errors == nullptr) return pyutil::fs_decode(data, size);
    // The codec registry costs more than the decoding itself for short
    // paths; the usual file-system encoding gets the direct decoder.
    if (pyutil::fs_encoding_is_utf8()) return PyUnicode_DecodeUTF8(data, size, errors);
    return PyUnicode_Decode(data, size, pyutil::fs_encoding_name(), errors);
}

}  // namespace

Ref fs_decode(const char* data, std::size_t size, const char* errors) {
    return owned_or_raise(decode_fs(data, static_cast<Py_ssize_t>(size), errors));
}

std::string fs_encode(PyObject* text) {
    Ref bytes = owned_or_raise(pyutil::fs_encode(text));
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
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
    return fs_decode(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
}

Ref plain_unicode(PyObject* text) { return owned_or_raise(pyutil::exact_text(text)); }

namespace {

// An os.PathLike is taken for the path it stands for.
Ref text_item(PyObject* o, const char* who, const char* what) {
    Ref item = owned_or_raise(pyutil::fspath(o));
    if (!is_text(item.get())) {
        PyErr_Format(PyExc_TypeError, what, who, Py_TYPE(o)->tp_name);
        raise_pending();
    }
    return text_of(item.get());
}

}  // namespace

Ref path_text(PyObject* arg, const char* who) {
    if (!PyList_Check(arg) && !PyTuple_Check(arg))
        return text_item(arg, who, "%s must be " PYUTIL_PATH_TYPES " or a list of them, not %.200s");
    // A snapshot: decoding may run Python code that changes the list.
    Ref items = owned_or_raise(PySequence_Tuple(arg));
    Ref parts = owned_or_raise(PyList_New(0));
    bool empty = true, ends_in_slash = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        Ref part = text_item(PyTuple_GET_ITEM(items.get(), i), who,
                             "%s items must be " PYUTIL_PATH_ITEM_TYPES ", not %.200s");
        const Py_ssize_t size = pyutil::text_length(part.get());
        if (size > 0 && pyutil::text_char(part.get(), 0) == '/') {
            // posixpath.join: an absolute component restarts the path.
            raise_if_negative(PyList_SetSlice(parts.get(), 0, PyList_GET_SIZE(parts.get()), nullptr));
        } else if (!empty && !ends_in_slash) {
            Ref slash = owned_or_raise(PyUnicode_FromStringAndSize("/", 1));
            raise_if_negative(PyList_Append(parts.get(), slash.get()));
            ends_in_slash = true;
        }
        raise_if_negative(PyList_Append(parts.get(), part.get()));
        if (size > 0) {
            empty = false;
            ends_in_slash = pyutil::text_char(part.get(), size - 1) == '/';
        }
    }
    Ref separator = owned_or_raise(pyutil::empty_text());
    return owned_or_raise(PyUnicode_Join(separator.get(), parts.get()));
}

namespace {

Ref new_ustream(PyTypeObject* type, PyObject* text) {
    return owned_or_raise(pyutil::new_text_subtype(type, text));
}

bool is_ustream(PyObject* o) { return PyObject_TypeCheck(o, &UStreamType); }

// Whether `o` takes part in text operations: text, and on 2.7 str too.
bool mixes(PyObject* o) { return PyUnicode_Check(o) || (pyutil::kBytesMixWithText && PyBytes_Check(o)); }

// Arguments of replace() and friends: 2.7's str gets the file-system
// decoding, anything else is left for the text method to accept or reject.
Ref argument_text(PyObject* o) {
    if (pyutil::kBytesMixWithText && PyBytes_Check(o)) return text_of(o);
    return Ref::borrow(o);
}

Ref construct(PyTypeObject* type, PyObject* arg) {
    // Immutable, so a ustream converts to itself, as unicode(u) does.
    if (arg && type == &UStreamType && Py_TYPE(arg) == &UStreamType) return Ref::borrow(arg);
    Ref text = arg ? path_text(arg, "ustream() argument") : owned_or_raise(pyutil::empty_text());
    return new_ustream(type, text.get());
}

PyObject* ustream_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return guard([&] {
        PyObject* arg = nullptr;
        if (!no_keywords("ustream", kwds) || !PyArg_UnpackTuple(args, "ustream", 0, 1, &arg))
            raise_pending();
        return construct(type, arg);
    });
}

// ustream(x) as every path function calls it, without the argument tuple a
// call of the type would build; any other call takes the type's own way.
// Only ustream itself has it: subclasses may define __init__.
PyObject* ustream_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
    const Py_ssize_t count = pyutil::vectorcall_count(nargsf);
    if (count > 1 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0))
        return pyutil::call_type_with_tuple(type, args, nargsf, kwnames);
    return guard([&] { return construct(&UStreamType, count ? args[0] : nullptr); });
}

PyObject* ustream_repr(PyObject* self) {
    return guard([&] {
        Ref inner = owned_or_raise(PyUnicode_Type.tp_repr(self));
        return owned_or_raise(pyutil::native_format("ustream(%s)", pyutil::native_chars(inner.get())));
    });
}

PyObject* ustream_str(PyObject* self) {
    return guard([&] {
        std::string bytes = fs_encode(self);
        return owned_or_raise(
            PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    });
}

PyObject* ustream_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&] {
        if (!pyutil::kBytesMixWithText || !PyBytes_Check(other))
            return owned_or_raise(PyUnicode_RichCompare(self, other, op));
        PyObject* decoded = decode_fs(PyBytes_AS_STRING(other), PyBytes_GET_SIZE(other), nullptr);
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
        if (!mixes(left) || !mixes(right)) return Ref::borrow(Py_NotImplemented);
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
        Ref empty = owned_or_raise(pyutil::empty_text());
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
     PYUTIL_PYTHON3_OR_2("Like str.replace.",
                         "Like unicode.replace; str arguments are decoded with the file-system encoding.")},
    {"remove", ustream_remove, METH_O,
     "S.remove(text) -> ustream\n\nS with every occurrence of text removed."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ustream_getset[] = {
    {const_cast<char*>("_unicode_"), ustream_get_unicode, nullptr,
     const_cast<char*>("The text as a plain " PYUTIL_TEXT " object."), nullptr},
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
    t.tp_doc = pyutil::kPython3
        ? "ustream([x]) -> str subclass\n\n"
          "x may be str, bytes in the file-system encoding (undecodable bytes kept\n"
          "as lone surrogates, as os.fsdecode does), an os.PathLike, or a list or\n"
          "tuple of those joined as path components."
        : "ustream([x]) -> unicode subclass\n\n"
          "x may be unicode, a str in the file-system encoding (decoded strictly),\n"
          "or a list or tuple of those joined as path components. Comparison,\n"
          "containment, +, %, replace() and remove() accept such str too.";
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | PYUTIL_TPFLAGS_CHECKTYPES;
    t.tp_base = &PyUnicode_Type;
    t.tp_new = ustream_new;
    pyutil::set_vectorcall(t, ustream_vectorcall);
    t.tp_repr = ustream_repr;
    // 2.7's str() of a path is its bytes; 3.x's is the text itself.
    if (!pyutil::kPython3) t.tp_str = ustream_str;
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
