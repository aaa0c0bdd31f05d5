// What every group does with a path argument: convert it with the module's
// `ustream`, read its text, and refuse it when the module's `exists` says
// it is missing. Shared here so no group calls into another.
#pragma once

#include "src/module/runtime.h"

namespace dorvane {

// ustream(value), with `ustream` looked up now.
Ref to_ustream(const Ref& value, Here at = Here());

// A new list holding ustream(item) for each item of `iterable`, in order.
Ref ustream_list(const Ref& iterable, Here at = Here());

// The `_unicode_` text of a converted path.
Ref text_of(const Ref& ustream, Here at = Here());

// `module.name` for a standard module bound on dorvane (os, shutil, ...).
Ref module_function(Id module, Id name, Here at = Here());

// os.path.<name>, fetched now.
Ref os_path_function(Id name, Here at = Here());

// Calls the module's `exists` on the converted path; when the answer is
// false raises OSError(2, "No such file or directory", <text>) with the
// OSError class captured at import.
void require_existing(const Ref& path, Here at = Here());

// That error for the path whose `_unicode_` text is `text`.
[[noreturn]] void raise_missing(const Ref& text, Here at = Here());

// The built-in types called on answers (never looked up by name).
Ref int_type();
Ref tuple_type();
Ref list_type();

}  // namespace dorvane
