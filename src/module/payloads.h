// The attribute texts of the Windows tool files that `magic` writes: each
// file zlib-compressed and base64-encoded in 76-character lines. The
// definitions are generated at build time by payloads/embed.py.
//
// Over a megabyte in all. On 2.7 each text is laid out in the library image as
// a finished str object: the import binds it as it stands instead of copying
// it to the heap, and only the pages a reader touches are ever read in. The
// image holds one reference that is never released, so the object is never
// freed. 3.x's str has no layout stable across its versions to write out this
// way, so there the text is made from the image on first use and kept.
#pragma once

#include "pyutil/compat.h"

#include <cstddef>
#include <cstring>

namespace dorvane {

#if PYUTIL_PYTHON3
// Base64 is ASCII by construction, so the text is copied without the
// decoder's check of every byte.
inline PyObject* ascii_text(const char* data, Py_ssize_t size) {
    PyObject* text = PyUnicode_New(size, 127);
    if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), data, static_cast<std::size_t>(size));
    return text;
}

#define DORVANE_PAYLOAD(function, size, literal)          \
    PyObject* function() {                                \
        static PyObject* text;                            \
        if (!text) text = ascii_text(literal, size);      \
        return text;                                      \
    }
#else
// PyStringObject with room for a text of N - 1 bytes and its terminating NUL.
template <std::size_t N>
struct StaticString {
    PyObject_VAR_HEAD
    long ob_shash;
    int ob_sstate;
    char ob_sval[N];
};
static_assert(offsetof(StaticString<1>, ob_sval) == offsetof(PyStringObject, ob_sval),
              "laid out as the interpreter's str");
static_assert(offsetof(StaticString<1>, ob_shash) == offsetof(PyStringObject, ob_shash),
              "laid out as the interpreter's str");

// One reference held by the image, no cached hash, not interned.
#define DORVANE_PAYLOAD(function, size, literal)                                     \
    static StaticString<(size) + 1> function##_object = {                            \
        1, &PyString_Type, (size), -1, SSTATE_NOT_INTERNED, literal};                \
    PyObject* function() { return reinterpret_cast<PyObject*>(&function##_object); }
#endif

// Borrowed references, valid for the life of the process (null, with an
// exception set, when 3.x has no memory for one).
PyObject* zlib_lib_text();    // zlib1.dll
PyObject* file_exe_text();    // file.exe
PyObject* mime_lib_text();    // mime.dll, the magic database as text
PyObject* magic_lib_text();   // magic1.dll
PyObject* regex_lib_text();   // regex2.dll

}  // namespace dorvane
