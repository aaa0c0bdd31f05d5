// The exception both extension modules unwind with once a Python exception
// is set. Kept apart from errors.h, and free of Python.h, because ondrel's
// code that runs without the interpreter lock catches it too: to tell an
// interruption (a signal handler raised) from a failure of its own.
#pragma once

namespace pyutil {

// A Python exception is set. `line` is where the code noticed: dorvane's
// entry points give it to the one traceback entry they add; ondrel ignores it.
struct PythonError {
    int line;
};

}  // namespace pyutil
