// Operations that change the file system or the process's view of it.
// A tested path is checked before `os`/`shutil` is even looked up, so a
// missing path changes nothing on disk.
#include "src/module/guard.h"
#include "src/module/table.h"

namespace dorvane {

namespace {

// remove, unlink, rmdir, chroot, chdir; chmod and chown pass their numbers
// (the arguments after the path) through int() after the text is read.
Ref on_existing_path(const Args& args, Id function_name) {
    Ref path = to_ustream(args[0]);
    require_existing(path);
    Ref function = module_function(Id::os, function_name);
    Ref call_args = owned_or_raise(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Ref text = text_of(path);
    PyTuple_SET_ITEM(call_args.get(), 0, text.release());
    for (std::size_t i = 1; i < args.size(); ++i) {
        PyTuple_SET_ITEM(call_args.get(), i, call(int_type(), args[i]).release());
    }
    call_tuple(function, call_args, __LINE__);
    return none();
}

// link, copy, move: `src` is tested, `dest` never is.
Ref from_existing_source(const Args& args, Id module, Id function_name) {
    Ref src = to_ustream(args[0]);
    Ref dest = to_ustream(args[1]);
    require_existing(src);
    Ref function = module_function(module, function_name);
    Ref src_text = text_of(src);
    Ref dest_text = text_of(dest);
    call(function, src_text, dest_text);
    return none();
}

}  // namespace

DORVANE_FUNCTION(remove) { return on_existing_path(args, Id::remove); }
DORVANE_FUNCTION(unlink) { return on_existing_path(args, Id::unlink); }
DORVANE_FUNCTION(rmdir) { return on_existing_path(args, Id::rmdir); }
DORVANE_FUNCTION(chroot) { return on_existing_path(args, Id::chroot); }
DORVANE_FUNCTION(chdir) { return on_existing_path(args, Id::chdir); }
DORVANE_FUNCTION(chmod) { return on_existing_path(args, Id::chmod); }
DORVANE_FUNCTION(chown) { return on_existing_path(args, Id::chown); }

DORVANE_FUNCTION(link) { return from_existing_source(args, Id::os, Id::link); }
DORVANE_FUNCTION(copy) { return from_existing_source(args, Id::shutil, Id::copy); }
DORVANE_FUNCTION(move) { return from_existing_source(args, Id::shutil, Id::move); }

// Unguarded: a dangling link is a legitimate result.
DORVANE_FUNCTION(symlink) {
    Ref function = module_function(Id::os, Id::symlink);
    Ref src_text = text_of(to_ustream(args[0]));
    Ref dest_text = text_of(to_ustream(args[1]));
    call(function, src_text, dest_text);
    return none();
}

DORVANE_FUNCTION(mkdir) {
    Ref path = to_ustream(args[0]);
    Ref function = module_function(Id::os, Id::mkdir);
    call(function, text_of(path));
    return none();
}

}  // namespace dorvane
