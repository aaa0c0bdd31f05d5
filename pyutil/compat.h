// Where the Python 2.7 and Python 3 C APIs part ways, for both extension
// modules. Everything else in the sources reads the same for either
// interpreter; the choice is made here, once, by the headers compiled
// against.
//
// Three kinds of string, named by what they hold rather than by type:
//   bytes   2.7 str, 3.x bytes: file content. PyBytes_* names serve both,
//           as 2.7 defines them as aliases of PyString_*.
//   text    2.7 unicode, 3.x str: paths and text.
//   native  2.7 str, 3.x str: names, keywords, messages, reprs.
#pragma once

// Python 2.7's headers still say `register`, which C++17 dropped.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#endif
#include <Python.h>
#include <frameobject.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#if PY_MAJOR_VERSION >= 3
#define PYUTIL_PYTHON3 1
#else
#define PYUTIL_PYTHON3 0
#endif

// The module entry point, exported whatever the visibility the sources are
// built with: initNAME returning nothing on 2.7, PyInit_NAME returning the
// new module on 3.x. PYUTIL_INIT_RETURN(m) ends it; 2.7's import keeps the
// module through sys.modules, where Py_InitModule put it.
#if defined(__GNUC__)
#define PYUTIL_EXPORT __attribute__((visibility("default")))
#else
#define PYUTIL_EXPORT
#endif
#if PYUTIL_PYTHON3
#define PYUTIL_MODULE_INIT(name) extern "C" PYUTIL_EXPORT PyObject* PyInit_##name(void)
#define PYUTIL_INIT_RETURN(module) return (module)
#define PYUTIL_TPFLAGS_CHECKTYPES 0
#else
#define PYUTIL_MODULE_INIT(name) extern "C" PYUTIL_EXPORT void init##name(void)
#define PYUTIL_INIT_RETURN(module) \
    do {                           \
        Py_XDECREF(module);        \
        return;                    \
    } while (0)
#define PYUTIL_TPFLAGS_CHECKTYPES Py_TPFLAGS_CHECKTYPES
#endif

// The interpreter's names for the kinds of string, for messages and
// docstrings, and what a path may be given as.
#if PYUTIL_PYTHON3
#define PYUTIL_PYTHON3_OR_2(text3, text2) text3
#define PYUTIL_TEXT "str"
#define PYUTIL_BYTES "bytes"
#define PYUTIL_PATH_TYPES "str, bytes, os.PathLike"
#define PYUTIL_PATH_ITEM_TYPES "str, bytes or os.PathLike"
#else
#define PYUTIL_PYTHON3_OR_2(text3, text2) text2
#define PYUTIL_TEXT "unicode"
#define PYUTIL_BYTES "str"
#define PYUTIL_PATH_TYPES "str, unicode"
#define PYUTIL_PATH_ITEM_TYPES "str or unicode"
#endif

namespace pyutil {

constexpr bool kPython3 = PYUTIL_PYTHON3;

// ---- the interpreter's own modules and conventions ----------------------

constexpr const char* kBuiltinsModule = kPython3 ? "builtins" : "__builtin__";
// __import__'s level: 2.7's -1 tries a relative import first; 3.x has only
// absolute ones, and refuses -1.
constexpr int kImportLevel = kPython3 ? 0 : -1;

// A new module object (a new reference), not yet in sys.modules on 3.x.
inline PyObject* create_module(const char* name, const char* doc) {
#if PYUTIL_PYTHON3
    // Lives as long as the module, which lives as long as the process.
    auto* def = new PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, -1,
                                nullptr, nullptr, nullptr, nullptr, nullptr};
    return PyModule_Create(def);
#else
    static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
    PyObject* module = Py_InitModule4(name, no_methods, doc, nullptr, PYTHON_API_VERSION);
    Py_XINCREF(module);
    return module;
#endif
}

// `function` fetched through `instance` (null: through the class `type`) as
// a Python function would be: bound to the instance; from the class, an
// unbound method on 2.7 and the function itself on 3.x, which has no
// unbound methods.
inline PyObject* bind_method(PyObject* function, PyObject* instance, PyObject* type) {
#if PYUTIL_PYTHON3
    (void)type;
    if (instance == nullptr) {
        Py_INCREF(function);
        return function;
    }
    return PyMethod_New(function, instance);
#else
    return PyMethod_New(function, instance, type);
#endif
}

// ---- native strings ------------------------------------------------------

inline PyObject* native_from(const char* s) {
    return kPython3 ? PyUnicode_FromString(s) : PyBytes_FromString(s);
}

inline PyObject* native_intern(const char* s) {
#if PYUTIL_PYTHON3
    return PyUnicode_InternFromString(s);
#else
    return PyString_InternFromString(s);
#endif
}

inline PyObject* native_format(const char* format, ...) {
    va_list args;
    va_start(args, format);
#if PYUTIL_PYTHON3
    PyObject* result = PyUnicode_FromFormatV(format, args);
#else
    PyObject* result = PyString_FromFormatV(format, args);
#endif
    va_end(args);
    return result;
}

inline bool is_native(PyObject* o) { return kPython3 ? PyUnicode_Check(o) : PyBytes_Check(o); }

// The UTF-8 of a native string, owned by the object; null (exception set)
// when a 3.x str holds lone surrogates.
inline const char* native_chars(PyObject* o) {
#if PYUTIL_PYTHON3
    return PyUnicode_AsUTF8(o);
#else
    return PyString_AS_STRING(o);
#endif
}

// Whether a keyword equals a native name, without raising.
inline bool native_equals(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (!is_native(key)) return false;
#if PYUTIL_PYTHON3
    return PyUnicode_Compare(key, name) == 0;
#else
    return PyString_GET_SIZE(key) == PyString_GET_SIZE(name) &&
           std::memcmp(PyString_AS_STRING(key), PyString_AS_STRING(name),
                       static_cast<std::size_t>(PyString_GET_SIZE(name))) == 0;
#endif
}

inline PyObject* int_from(long value) {
#if PYUTIL_PYTHON3
    return PyLong_FromLong(value);
#else
    return PyInt_FromLong(value);
#endif
}

// The type `int` names.
inline PyTypeObject* int_type() {
#if PYUTIL_PYTHON3
    return &PyLong_Type;
#else
    return &PyInt_Type;
#endif
}

// unicode(x) on 2.7, str(x) on 3.x.
inline PyObject* to_text(PyObject* o) {
#if PYUTIL_PYTHON3
    return PyObject_Str(o);
#else
    return PyObject_Unicode(o);
#endif
}

// ---- text ------------------------------------------------------------------

inline Py_ssize_t text_length(PyObject* text) {
#if PYUTIL_PYTHON3
    return PyUnicode_GET_LENGTH(text);
#else
    return PyUnicode_GET_SIZE(text);
#endif
}

inline Py_UCS4 text_char(PyObject* text, Py_ssize_t index) {
#if PYUTIL_PYTHON3
    return PyUnicode_READ_CHAR(text, index);
#else
    return PyUnicode_AS_UNICODE(text)[index];
#endif
}

inline PyObject* text_from_chars(const std::vector<Py_UCS4>& chars) {
    const auto size = static_cast<Py_ssize_t>(chars.size());
#if PYUTIL_PYTHON3
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(), size);
#else
    std::vector<Py_UNICODE> units(chars.begin(), chars.end());
    return PyUnicode_FromUnicode(units.data(), size);
#endif
}

inline PyObject* empty_text() { return PyUnicode_FromStringAndSize("", 0); }

// The interpreter lock let go for the life of a scope, and taken back on
// every way out, an exception included; no signal handling meanwhile.
class LockReleased {
public:
    LockReleased() : state_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    PyThreadState* state_;
};

// Whether the calling thread is the interpreter's only one: then nothing
// can change while it releases the lock for a system call.
inline bool only_thread() {
    PyThreadState* self = PyThreadState_Get();
    return PyInterpreterState_ThreadHead(self->interp) == self && PyThreadState_Next(self) == nullptr;
}

// d[key] for a str key, borrowed, or null; never raises. 3.x's
// PyDict_GetItem saves and restores the exception state around every
// lookup, which costs more than the lookup in a name chain checked per call.
inline PyObject* dict_item(PyObject* dict, PyObject* key) {
#if PYUTIL_PYTHON3
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (!found && PyErr_Occurred()) PyErr_Clear();
    return found;
#else
    return PyDict_GetItem(dict, key);
#endif
}

// The exact text object of a text (subclass) object; the same object when
// it is exact already.
inline PyObject* exact_text(PyObject* text) {
    if (PyUnicode_CheckExact(text)) {
        Py_INCREF(text);
        return text;
    }
#if PYUTIL_PYTHON3
    return PyUnicode_Substring(text, 0, PyUnicode_GET_LENGTH(text));
#else
    return PyUnicode_FromUnicode(PyUnicode_AS_UNICODE(text), PyUnicode_GET_SIZE(text));
#endif
}

// A new instance of `type`, a subtype of the text type, holding a copy of
// `text`.
inline PyObject* new_text_subtype(PyTypeObject* type, PyObject* text) {
#if PYUTIL_PYTHON3
    // 3.x keeps the characters of subtype instances apart from the object,
    // in a layout its own constructor owns; building through it is the only
    // way that stays right across versions.
    // One argument tuple serves every call made under the lock, unless a
    // call kept it.
    static PyObject* args = nullptr;
    if (!args || Py_REFCNT(args) != 1) {
        Py_XDECREF(args);
        args = PyTuple_New(1);
        if (!args) return nullptr;
    }
    Py_INCREF(text);
    PyTuple_SET_ITEM(args, 0, text);
    PyObject* made = PyUnicode_Type.tp_new(type, args, nullptr);
    PyTuple_SET_ITEM(args, 0, nullptr);
    Py_DECREF(text);
    return made;
#else
    // What unicode's own subtype constructor does, without the argument
    // tuple and temporary unicode it would build on every path.
    const Py_ssize_t size = PyUnicode_GET_SIZE(text);
    PyObject* made = type->tp_alloc(type, size);
    if (!made) return nullptr;
    auto* u = reinterpret_cast<PyUnicodeObject*>(made);
    u->str = static_cast<Py_UNICODE*>(PyObject_MALLOC(sizeof(Py_UNICODE) * (size + 1)));
    if (!u->str) {
        Py_DECREF(made);
        return PyErr_NoMemory();
    }
    Py_UNICODE_COPY(u->str, PyUnicode_AS_UNICODE(text), size);
    u->str[size] = 0;
    u->length = size;
    u->hash = -1;
    return made;
#endif
}

// ---- the file-system encoding ----------------------------------------------
//
// 2.7 decodes and encodes names strictly. 3.x maps undecodable bytes to lone
// surrogates and back (os.fsdecode, os.fsencode), so every name on disk can
// be listed, opened, moved and removed.

// The interpreter's name for the file-system encoding (deprecated as a
// variable on 3.12, and still what it holds).
inline const char* fs_encoding_name() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return Py_FileSystemDefaultEncoding;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// Whether the file-system encoding is UTF-8, by any of its spellings; 2.7's
// codec registry only knows its own, so callers take the codec directly.
inline bool fs_encoding_is_utf8() {
    static const bool utf8 = [] {
        const char* name = fs_encoding_name();
        std::string lowered;
        for (const char* c = name ? name : ""; *c; ++c) {
            if (*c != '-' && *c != '_') lowered.push_back(static_cast<char>(std::tolower(*c)));
        }
        return lowered == "utf8";
    }();
    return utf8;
}

// On 2.7 the codec registry costs more than the work itself for short
// paths: the usual encoding goes to its codec directly.
inline PyObject* fs_decode(const char* data, Py_ssize_t size) {
#if PYUTIL_PYTHON3
    return PyUnicode_DecodeFSDefaultAndSize(data, size);
#else
    if (fs_encoding_is_utf8()) return PyUnicode_DecodeUTF8(data, size, "strict");
    return PyUnicode_Decode(data, size, fs_encoding_name(), "strict");
#endif
}

// A bytes object.
inline PyObject* fs_encode(PyObject* text) {
#if PYUTIL_PYTHON3
    return PyUnicode_EncodeFSDefault(text);
#else
    if (fs_encoding_is_utf8()) return PyUnicode_AsUTF8String(text);
    return PyUnicode_AsEncodedString(text, fs_encoding_name(), "strict");
#endif
}

// os.fspath(o) for an os.PathLike (3.x); anything else as it is. A new
// reference, or null with an exception set.
inline PyObject* fspath(PyObject* o) {
#if PYUTIL_PYTHON3
    if (!PyUnicode_Check(o) && !PyBytes_Check(o) &&
        PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__")) {
        return PyOS_FSPath(o);
    }
#endif
    Py_INCREF(o);
    return o;
}

// Whether bytes take part in text operations (comparison, +, replace) as
// file-system text: 2.7 mixes str into unicode; 3.x keeps bytes and str
// apart, and so do its subclasses.
constexpr bool kBytesMixWithText = !kPython3;

// ---- bytes objects filled in place -----------------------------------------

constexpr std::size_t kBytesHeader = offsetof(PyBytesObject, ob_sval);

// The fields a bytes object filled behind the interpreter's back must have.
inline void bytes_reset(PyObject* o) {
    auto* bytes = reinterpret_cast<PyBytesObject*>(o);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    bytes->ob_shash = -1;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#if !PYUTIL_PYTHON3
    bytes->ob_sstate = SSTATE_NOT_INTERNED;
#endif
}

// Whether an object's memory may come from malloc() and be given back by
// the interpreter's object allocator (which hands large blocks to free()).
// 3.x can put hooks in front of that allocator (-X dev, PYTHONMALLOC=debug,
// tracemalloc) that would refuse such a block, a fatal error; asked at every
// use, as they can be installed at any time.
inline bool objects_freed_by_free() {
#if PYUTIL_PYTHON3
    PyMemAllocatorEx allocator;
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &allocator);
    // The interpreter's own allocators (pymalloc, malloc) need no context;
    // every hook carries one.
    return allocator.ctx == nullptr;
#else
    return true;
#endif
}

// 2.7's old read-buffer protocol (buffer, array, mmap of old); 3.x has only
// the new one. False when the object offers none.
inline bool old_read_buffer(PyObject* o, const void** data, Py_ssize_t* size, bool* failed) {
    *failed = false;
#if !PYUTIL_PYTHON3
    if (PyObject_CheckReadBuffer(o)) {
        *failed = PyObject_AsReadBuffer(o, data, size) < 0;
        return true;
    }
#else
    (void)o, (void)data, (void)size;
#endif
    return false;
}

// ---- exceptions ------------------------------------------------------------

// The thread's handled exception (what sys.exc_info() shows), replaced for
// the object's lifetime and put back afterwards, as an except clause does.
class HandledException {
public:
    HandledException(PyObject* type, PyObject* value, PyObject* tb) {
#if PYUTIL_PYTHON3
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_tb_);
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        PyErr_SetExcInfo(type, value, tb);
#else
        PyThreadState* ts = PyThreadState_GET();
        saved_type_ = ts->exc_type;
        saved_value_ = ts->exc_value;
        saved_tb_ = ts->exc_traceback;
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        ts->exc_type = type;
        ts->exc_value = value;
        ts->exc_traceback = tb;
#endif
    }
    ~HandledException() {
#if PYUTIL_PYTHON3
        PyErr_SetExcInfo(saved_type_, saved_value_, saved_tb_);
#else
        PyThreadState* ts = PyThreadState_GET();
        PyObject* type = ts->exc_type;
        PyObject* value = ts->exc_value;
        PyObject* tb = ts->exc_traceback;
        ts->exc_type = saved_type_;
        ts->exc_value = saved_value_;
        ts->exc_traceback = saved_tb_;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
#endif
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject* saved_type_;
    PyObject* saved_value_;
    PyObject* saved_tb_;
};

// A frame for a traceback entry: code named `function` in `file`, at
// `line`, with `globals`. A new reference, or null.
inline PyFrameObject* traceback_frame(const char* file, const char* function, int line,
                                      PyObject* globals) {
    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    if (!code) return nullptr;
    PyFrameObject* frame = PyFrame_New(PyThreadState_GET(), code, globals, nullptr);
    Py_DECREF(code);
#if PY_VERSION_HEX < 0x030B0000
    // 3.11 and later read the line from the code, whose first line it is.
    if (frame) frame->f_lineno = line;
#endif
    return frame;
}

// ---- calls -----------------------------------------------------------------

// A new tuple of the (borrowed) `items`.
inline PyObject* tuple_of(PyObject* const* items, std::size_t count) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i]);
    }
    return tuple;
}

// fn(*args): 3.x passes the arguments as they are (vectorcall); 2.7 packs
// them into a tuple.
inline PyObject* call_objects(PyObject* fn, PyObject* const* args, std::size_t count) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(fn, args, count, nullptr);
#elif PYUTIL_PYTHON3
    return _PyObject_Vectorcall(fn, args, count, nullptr);
#else
    PyObject* tuple = tuple_of(args, count);
    if (!tuple) return nullptr;
    PyObject* result = PyObject_Call(fn, tuple, nullptr);
    Py_DECREF(tuple);
    return result;
#endif
}

// A type's own way of being called with the arguments as they are (3.9
// on; 3.8 reserves the slot, 2.7 has none): set where the interpreter
// will use it, a no-op elsewhere.
using VectorcallFunction = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);

inline void set_vectorcall(PyTypeObject& type, VectorcallFunction function) {
#if PY_VERSION_HEX >= 0x03090000
    type.tp_vectorcall = function;
#else
    (void)type, (void)function;
#endif
}

inline Py_ssize_t vectorcall_count(std::size_t nargsf) {
#if PYUTIL_PYTHON3
    return PyVectorcall_NARGS(nargsf);
#else
    return static_cast<Py_ssize_t>(nargsf);
#endif
}

// What calling `type` does without a vectorcall of its own: the arguments
// packed into a tuple and a dict, then __new__ and __init__.
inline PyObject* call_type_with_tuple(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                      PyObject* kwnames) {
    const Py_ssize_t count = vectorcall_count(nargsf);
    PyObject* tuple = tuple_of(args, static_cast<std::size_t>(count));
    if (!tuple) return nullptr;
    PyObject* kwargs = nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords > 0) {
        kwargs = PyDict_New();
        for (Py_ssize_t i = 0; kwargs && i < keywords; ++i) {
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[count + i]) < 0) Py_CLEAR(kwargs);
        }
        if (!kwargs) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject* result = PyType_Type.tp_call(type, tuple, kwargs);
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return result;
}

// ---- argument parsing ------------------------------------------------------

// A constructor's refusal of keywords, in the interpreter's own words.
inline bool no_keywords(const char* function, PyObject* kwds) {
    if (kwds == nullptr || PyDict_Size(kwds) == 0) return true;
    PyErr_Format(PyExc_TypeError,
                 kPython3 ? "%s() takes no keyword arguments" : "%s() does not take keyword arguments",
                 function);
    return false;
}

// Whether the interpreter's own parser matches keyword arguments (3.x, so
// that its errors read as every other function's there), or the module's
// own matching does (2.7, whose texts and order of checks are kept).
constexpr bool kInterpreterParsesKeywords = kPython3;

// PyArg_ParseTupleAndKeywords with `count` object slots (at most four);
// slots not given keep their values. False with the exception set.
inline bool parse_objects(PyObject* args, PyObject* kw, const char* format, char** names,
                          std::size_t count, PyObject** out) {
    switch (count) {
        case 1: return PyArg_ParseTupleAndKeywords(args, kw, format, names, &out[0]) != 0;
        case 2: return PyArg_ParseTupleAndKeywords(args, kw, format, names, &out[0], &out[1]) != 0;
        case 3:
            return PyArg_ParseTupleAndKeywords(args, kw, format, names, &out[0], &out[1], &out[2]) != 0;
        case 4:
            return PyArg_ParseTupleAndKeywords(args, kw, format, names, &out[0], &out[1], &out[2],
                                               &out[3]) != 0;
        default: PyErr_SetString(PyExc_SystemError, "parse_objects: bad count"); return false;
    }
}

}  // namespace pyutil
