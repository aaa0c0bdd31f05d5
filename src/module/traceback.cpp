#include "src/module/traceback.h"

#include "pyutil/compat.h"

#include <cstdio>

#include "pyutil/ref.h"
#include "src/module/state.h"

namespace dorvane {

void add_traceback(const char* qualname, int line) {
    using pyutil::Ref;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // building the entry must not disturb it

    char function[96];
    if (line > 0) {
        std::snprintf(function, sizeof function, "%s (dorvane:%d)", qualname, line);
    } else {
        std::snprintf(function, sizeof function, "%s", qualname);
    }
    Ref globals = Ref::borrow(state().module ? PyModule_GetDict(state().module) : nullptr);
    if (!globals) globals = Ref::steal(PyDict_New());
    Ref frame;
    if (globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            pyutil::traceback_frame("dorvane", function, line, globals.get())));
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (!frame) return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace dorvane
