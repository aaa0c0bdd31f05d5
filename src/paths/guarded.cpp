// The guarded queries: one pattern (convert, test with the module's
// `exists`, call the standard function on the text, wrap the answer); each
// member only says how its answer is wrapped.
//
// While every binding those steps reach is the original (the module's
// `ustream` and `exists`, `os`, `os.path` and what its functions use), the
// busiest members make the same system calls themselves, in the same order,
// on the bytes of the path: the existence test's stat first, then the
// query's own. What cannot be told apart from the steps is all that changes.
#include "src/module/guard.h"
#include "src/module/table.h"
#include "src/paths/native.h"

#include <sys/stat.h>

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

// The existence test done here, when `query` and the test may both be
// made on the bytes: true once the path exists, false with nothing done.
bool native_guard(const Ref& argument, Id query, NativePath& path, bool needs_mirror = false) {
    if (!originals_stand({Id::exists, query}) ||
        !is_own_function(global_or_null(Id::exists), "exists") ||
        (needs_mirror && !bytes_mirror_text()) || !native_path(argument.get(), path)) {
        return false;
    }
    struct stat st;
    if (!stat_path(path.bytes, st)) raise_missing(plain_text(path.text));
    return true;
}

// isfile, isdir, islink: the standard functions answer false for any failure.
template <bool (*Kind)(mode_t)>
Ref mode_test(const Ref& argument, Id query, bool follow = true) {
    NativePath path;
    if (!native_guard(argument, query, path)) return as_bool(argument, query);
    struct stat st;
    return boolean(stat_path(path.bytes, st, follow) && Kind(st.st_mode));
}

bool regular(mode_t mode) { return S_ISREG(mode); }
bool directory(mode_t mode) { return S_ISDIR(mode); }
bool link(mode_t mode) { return S_ISLNK(mode); }

}  // namespace

DORVANE_FUNCTION(abspath) {
    NativePath path;
    if (!native_guard(args[0], Id::abspath, path, true)) return as_path(args[0], Id::abspath);
    std::string absolute;
    if (absolute_bytes(path.bytes, absolute)) {
        if (Ref text = decoded_or_null(absolute)) return new_ustream(global_or_null(Id::ustream), text);
    }
    // The current directory could not be read or decoded: the standard
    // step reads it again and reports why.
    return to_ustream(call(os_path_function(Id::abspath), plain_text(path.text)));
}

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
    NativePath path;
    if (native_guard(args[0], Id::listdir, path)) return list_directory(path, global_or_null(Id::ustream));
    Ref entries = guarded_answer(args[0], Id::listdir, false);
    return call(list_type(), ustream_list(entries));
}

DORVANE_FUNCTION(ismount) { return as_bool(args[0], Id::ismount); }
DORVANE_FUNCTION(islink) { return mode_test<link>(args[0], Id::islink, false); }
DORVANE_FUNCTION(isfile) { return mode_test<regular>(args[0], Id::isfile); }
DORVANE_FUNCTION(isdir) { return mode_test<directory>(args[0], Id::isdir); }
DORVANE_FUNCTION(isabs) { return as_bool(args[0], Id::isabs); }

DORVANE_FUNCTION(getsize) {
    NativePath path;
    if (native_guard(args[0], Id::getsize, path)) {
        struct stat st;
        if (stat_path(path.bytes, st)) return owned_or_raise(pyutil::int_from(static_cast<long>(st.st_size)));
        // Gone since the test: the standard step fails as it fails.
        return call(int_type(), call(os_path_function(Id::getsize), plain_text(path.text)));
    }
    return call(int_type(), guarded_answer(args[0], Id::getsize));
}

DORVANE_FUNCTION(getmtime) { return as_time(args[0], Id::getmtime); }
DORVANE_FUNCTION(getctime) { return as_time(args[0], Id::getctime); }
DORVANE_FUNCTION(getatime) { return as_time(args[0], Id::getatime); }

}  // namespace dorvane
