// What initialisation builds once and every call reuses. Only the runtime
// layer and initialisation read this directly; bodies go through runtime.h.
#pragma once

#include "pyutil/compat.h"

#include "src/module/names.h"

namespace dorvane {

struct State {
    PyObject* module = nullptr;    // one reference kept for the life of the process
    PyObject* builtins = nullptr;  // the __builtin__ module
    PyObject* constants[static_cast<int>(Id::count_)] = {};
    PyObject* none3 = nullptr;     // (None, None, None): a with block's normal exit
    PyObject* import_error = nullptr;  // captured at import: later rebinding is ignored
    PyObject* os_error = nullptr;
    PyObject* int2 = nullptr;
    PyObject* int6 = nullptr;
    // What `from ondrel import ...` gave, in import order: StreamError,
    // bstream, ustream, fstream, pstream.
    PyObject* companion[5] = {};
};

State& state();

}  // namespace dorvane
