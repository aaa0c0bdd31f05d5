// What the standard path functions were when the module was imported, so
// that a body may do their system calls itself while, and only while,
// nothing they reach has been rebound since.
//
// For each function the import records every binding its steps read: the
// module's own `os`, `os.path`, the function itself and its code, and,
// through its code's names, the globals it reads, the attributes of the
// modules among them (`os.stat`, `stat.S_ISREG`) and, in turn, those of the
// functions it calls (`abspath` calls `join` and `normpath`). The built-ins
// are left out: a program that rebinds `isinstance` has bigger surprises.
// Nothing observed is kept: each call compares every binding anew.
#pragma once

#include "src/module/runtime.h"

namespace dorvane {

// Records the bindings behind os.path.<name> for each name a fast path
// uses, and behind os.listdir; a standard library of another shape (no
// module, a function written in C where Python was expected) records
// nothing for that name, which keeps its callers on the literal steps.
void capture_originals(Here at = Here());

// Whether every binding recorded for `name` (an os.path function, or
// Id::listdir for os.listdir) is what it was at import, including the
// module's `os` and `os.path`. False for a name never recorded.
bool standard_intact(Id name);

}  // namespace dorvane
