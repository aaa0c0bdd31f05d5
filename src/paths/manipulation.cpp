// Path manipulation and the unguarded queries: texts in, ustream out, no
// existence test. `exists` here is the test every guarded function calls
// through the module namespace.
#include "src/module/guard.h"
#include "src/module/table.h"
#include "src/paths/native.h"

#include <sys/stat.h>

namespace dorvane {

namespace {

// While the standard test and all it reaches stand, its stat or lstat is
// made here on the bytes; either answers false for any failure.
Ref path_test(const Ref& argument, Id test) {
    NativePath native;
    if (originals_stand({test}) && native_path(argument.get(), native)) {
        struct stat st;
        return boolean(stat_path(native.bytes, st, test == Id::exists));
    }
    Ref path = to_ustream(argument);
    Ref function = os_path_function(test);
    return boolean(truth(call(function, text_of(path))));
}

// split, splitdrive, splitext: each item of the answer as a ustream, as a tuple.
Ref path_pair(const Ref& argument, Id splitter) {
    Ref path = to_ustream(argument);
    Ref function = os_path_function(splitter);
    Ref answer = call(function, text_of(path));
    return call(tuple_type(), ustream_list(answer));
}

// normpath, normcase: the function is fetched before the argument is converted.
Ref path_rewrite(const Ref& argument, Id rewriter) {
    Ref function = os_path_function(rewriter);
    Ref text = text_of(to_ustream(argument));
    return to_ustream(call(function, text));
}

}  // namespace

DORVANE_FUNCTION(exists) { return path_test(args[0], Id::exists); }
DORVANE_FUNCTION(lexists) { return path_test(args[0], Id::lexists); }

DORVANE_FUNCTION(split) { return path_pair(args[0], Id::split); }
DORVANE_FUNCTION(splitdrive) { return path_pair(args[0], Id::splitdrive); }
DORVANE_FUNCTION(splitext) { return path_pair(args[0], Id::splitext); }

DORVANE_FUNCTION(normpath) { return path_rewrite(args[0], Id::normpath); }
DORVANE_FUNCTION(normcase) { return path_rewrite(args[0], Id::normcase); }

DORVANE_FUNCTION(join) {
    Ref head_text, tail_text;
    if (originals_stand({Id::join}) && native_text(args[0].get(), head_text) &&
        native_text(args[1].get(), tail_text)) {
        return ustream_of(joined_text(head_text, tail_text));
    }
    Ref head = to_ustream(args[0]);
    Ref tail = to_ustream(args[1]);
    Ref function = os_path_function(Id::join);
    head_text = text_of(head);
    tail_text = text_of(tail);
    return to_ustream(call(function, head_text, tail_text));
}

DORVANE_FUNCTION(getcwd) {
    Ref answer = call(module_function(Id::os, Id::getcwd_text));
    return to_ustream(answer);
}

}  // namespace dorvane
