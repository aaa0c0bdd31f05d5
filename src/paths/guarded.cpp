// The guarded queries: one pattern (convert, test with the module's
// `exists`, call the standard function on the text, wrap the answer); each
// member only says how its answer is wrapped.
#include "src/module/guard.h"
#include "src/module/table.h"

namespace dorvane {

namespace {

// Steps common to every member: the answer of the standard call, or the
// missing-path error before anything is looked up on `os`.
Ref guarded_answer(const Ref& argument, Id function_name, bool in_os_path = true) {
    Ref path = to_ustream(argument);
    require_existing(path);
    Ref function = in_os_path ? os_path_function(function_name)
                              : module_function(Id::os, function_name);
    return call(function, text_of(path));
}

Ref as_path(const Ref& argument, Id name) { return to_ustream(guarded_answer(argument, name)); }

Ref as_bool(const Ref& argument, Id name) {
    return boolean(truth(guarded_answer(argument, name)));
}

Ref as_time(const Ref& argument, Id name) {
    return owned_or_raise(PyFloat_FromDouble(to_double(guarded_answer(argument, name))));
}

}  // namespace

DORVANE_FUNCTION(abspath) { return as_path(args[0], Id::abspath); }
DORVANE_FUNCTION(basename) { return as_path(args[0], Id::basename); }
DORVANE_FUNCTION(dirname) { return as_path(args[0], Id::dirname); }
DORVANE_FUNCTION(realpath) { return as_path(args[0], Id::realpath); }

DORVANE_FUNCTION(relpath) {
    Ref path = to_ustream(args[0]);
    Ref start = to_ustream(args[1]);
    require_existing(path);  // start is never tested
    Ref function = os_path_function(Id::relpath);
    Ref path_text = text_of(path);
    Ref start_text = text_of(start);
    return to_ustream(call(function, path_text, start_text));
}

DORVANE_FUNCTION(listdir) {
    Ref entries = guarded_answer(args[0], Id::listdir, false);
    return call(list_type(), ustream_list(entries));
}

DORVANE_FUNCTION(ismount) { return as_bool(args[0], Id::ismount); }
DORVANE_FUNCTION(islink) { return as_bool(args[0], Id::islink); }
DORVANE_FUNCTION(isfile) { return as_bool(args[0], Id::isfile); }
DORVANE_FUNCTION(isdir) { return as_bool(args[0], Id::isdir); }
DORVANE_FUNCTION(isabs) { return as_bool(args[0], Id::isabs); }

DORVANE_FUNCTION(getsize) { return call(int_type(), guarded_answer(args[0], Id::getsize)); }

DORVANE_FUNCTION(getmtime) { return as_time(args[0], Id::getmtime); }
DORVANE_FUNCTION(getctime) { return as_time(args[0], Id::getctime); }
DORVANE_FUNCTION(getatime) { return as_time(args[0], Id::getatime); }

}  // namespace dorvane
