// How both extension modules fail in C++ code that calls the Python C API.
//
// A failure unwinds as `PythonError` (python_error.h) with the Python
// exception already set; the entry point that catches it returns failure to
// the interpreter. The names say who sets that exception:
//
//   raise_pending()             the C API already set it: just unwind.
//   owned_or_raise(new_ref)     own a new reference; null means the C API set one.
//   raise_if_negative(status)   an int status; negative means the C API set one.
//   raise_error(type, message)  set type(message) now, then unwind.
//   raise_error(type, value)    set type with `value` (an instance or an
//                               argument tuple) now, then unwind.
//
// Failures that are not Python exceptions yet (errno, system error codes)
// are thrown as std::system_error by the code that meets them, under throw_*
// names; ondrel's guard() turns those into Python exceptions.
#pragma once

#include <Python.h>

#include "pyutil/python_error.h"
#include "pyutil/ref.h"

namespace pyutil {

// The caller's source line, captured when used as a defaulted parameter.
struct Here {
    int line;
    constexpr Here(int l = __builtin_LINE()) : line(l) {}  // NOLINT: implicit by design
};

[[noreturn]] inline void raise_pending(Here at = Here()) { throw PythonError{at.line}; }

inline Ref owned_or_raise(PyObject* new_ref, Here at = Here()) {
    if (new_ref == nullptr) raise_pending(at);
    return Ref::steal(new_ref);
}

inline void raise_if_negative(int status, Here at = Here()) {
    if (status < 0) raise_pending(at);
}

[[noreturn]] inline void raise_error(PyObject* type, const char* message, Here at = Here()) {
    PyErr_SetString(type, message);
    raise_pending(at);
}

[[noreturn]] inline void raise_error(PyObject* type, PyObject* value, Here at = Here()) {
    PyErr_SetObject(type, value);
    raise_pending(at);
}

}  // namespace pyutil
