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

Ref standard_function(Id name, bool in_os_path) {
    return in_os_path ? os_path_function(name) : module_function(Id::os, name);
}

// Steps common to every member: the answer of the standard call, or the
// missing-path error before anything is looked up on `os`.
Ref guarded_answer(const Ref& argument, Id function_name, bool in_os_path = true) {
    Ref path = to_ustream(argument);
    require_existing(path);
    return call(standard_function(function_name, in_os_path), text_of(path));
}

Ref path_answer(const Ref& answer) { return ustream_of(answer); }

Ref list_answer(const Ref& answer) {
    if (!PyList_CheckExact(answer.get()) || Py_REFCNT(answer.get()) != 1)
        return call(list_type(), ustream_list(answer));
    // A list nobody else holds: the copy list() would make of it cannot be
    // told apart from it, so its items become their ustreams in place.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(answer.get()); ++i)
        set_item(answer, i, ustream_of(Ref::borrow(PyList_GET_ITEM(answer.get(), i))));
    return answer;
}

Ref bool_answer(const Ref& answer) { return boolean(truth(answer)); }
Ref time_answer(const Ref& answer) { return owned_or_raise(PyFloat_FromDouble(to_double(answer))); }

// int() of an int is that int.
Ref size_answer(const Ref& answer) {
    return Py_TYPE(answer.get()) == pyutil::int_type() ? answer : call(int_type(), answer);
}

template <Ref (*Wrap)(const Ref&)>
Ref literal(const Ref& argument, Id name) { return Wrap(guarded_answer(argument, name)); }

// The query with the existence test made here, on the bytes: `native`
// makes the query's own system calls and gives the standard function's
// answer, or null where that function must say what went wrong. While the
// lock was released for the test another thread may have rebound a name:
// from there on the steps run as written.
template <Ref (*Wrap)(const Ref&), class Native>
Ref guarded(const Ref& argument, Id query, Native native, bool in_os_path = true, bool mirror = false) {
    NativePath path;
    if (!originals_stand({Id::exists, query}) || !is_own_function(global_or_null(Id::exists), "exists") ||
        (mirror && !bytes_mirror_text()) || !native_path(argument.get(), path)) {
        return Wrap(guarded_answer(argument, query, in_os_path));
    }
    struct stat st;
    if (!stat_path(path.bytes, st)) raise_missing(plain_text(path.text));
    if (pyutil::only_thread() || originals_stand({query})) {
        if (Ref answer = native(path)) return Wrap(answer);
    }
    return Wrap(call(standard_function(query, in_os_path), plain_text(path.text)));
}

// isfile, isdir, islink: the standard functions answer false for any failure.
template <bool (*Kind)(mode_t), bool kFollow = true>
Ref mode_test(const Ref& argument, Id query) {
    return guarded<bool_answer>(argument, query, [](const NativePath& path) {
        struct stat st;
        return boolean(stat_path(path.bytes, st, kFollow) && Kind(st.st_mode));
    });
}

bool regular(mode_t mode) { return S_ISREG(mode); }
bool directory(mode_t mode) { return S_ISDIR(mode); }
bool link(mode_t mode) { return S_ISLNK(mode); }

}  // namespace

DORVANE_FUNCTION(abspath) {
    // Null where the current directory cannot be read or decoded: the
    // standard step reads it again and reports why.
    return guarded<path_answer>(args[0], Id::abspath, [](const NativePath& path) {
        std::string absolute;
        if (!absolute_bytes(path.bytes, absolute)) return Ref();
        return decoded_or_null(absolute);
    }, true, true);
}

DORVANE_FUNCTION(basename) { return literal<path_answer>(args[0], Id::basename); }
DORVANE_FUNCTION(dirname) { return literal<path_answer>(args[0], Id::dirname); }
DORVANE_FUNCTION(realpath) { return literal<path_answer>(args[0], Id::realpath); }

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
    return guarded<list_answer>(args[0], Id::listdir, [](const NativePath& path) {
        return list_directory(path);
    }, false);
}

DORVANE_FUNCTION(ismount) { return literal<bool_answer>(args[0], Id::ismount); }
DORVANE_FUNCTION(islink) { return mode_test<link, false>(args[0], Id::islink); }
DORVANE_FUNCTION(isfile) { return mode_test<regular>(args[0], Id::isfile); }
DORVANE_FUNCTION(isdir) { return mode_test<directory>(args[0], Id::isdir); }
DORVANE_FUNCTION(isabs) { return literal<bool_answer>(args[0], Id::isabs); }

DORVANE_FUNCTION(getsize) {
    // Null when the file went since the test: the standard step fails as it fails.
    return guarded<size_answer>(args[0], Id::getsize, [](const NativePath& path) {
        struct stat st;
        return stat_path(path.bytes, st) ? owned_or_raise(pyutil::int_from(static_cast<long>(st.st_size)))
                                         : Ref();
    });
}

DORVANE_FUNCTION(getmtime) { return literal<time_answer>(args[0], Id::getmtime); }
DORVANE_FUNCTION(getctime) { return literal<time_answer>(args[0], Id::getctime); }
DORVANE_FUNCTION(getatime) { return literal<time_answer>(args[0], Id::getatime); }

}  // namespace dorvane
