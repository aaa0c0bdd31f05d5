// The attribute texts of the Windows tool files that `magic` writes: each
// file zlib-compressed and base64-encoded in 76-character lines. The
// definitions are generated at build time by payloads/embed.py.
//
// Over a megabyte in all, so each text is laid out in the library image as a
// finished str object: the import binds it as it stands instead of copying it
// to the heap, and only the pages a reader touches are ever read in. The image
// holds one reference that is never released, so the object is never freed.
#pragma once

#include <Python.h>

#include <cstddef>

namespace dorvane {

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

// Borrowed references, valid for the life of the process.
PyObject* zlib_lib_text();    // zlib1.dll
PyObject* file_exe_text();    // file.exe
PyObject* mime_lib_text();    // mime.dll, the magic database as text
PyObject* magic_lib_text();   // magic1.dll
PyObject* regex_lib_text();   // regex2.dll

}  // namespace dorvane
