// Temporary names, directories and streams over the standard `tempfile`.
// The first positional parameter is the suffix.
#include "src/module/guard.h"
#include "src/module/table.h"

namespace dorvane {

namespace {

Ref from_tempfile(const Args& args, Id maker) {
    Ref suffix = text_of(to_ustream(args[0]));
    Ref prefix = text_of(to_ustream(args[1]));
    Ref function = module_function(Id::tempfile, maker);
    return to_ustream(call(function, suffix, prefix));
}

}  // namespace

DORVANE_FUNCTION(tmpname) { return from_tempfile(args, Id::mktemp); }
DORVANE_FUNCTION(tmpdir) { return from_tempfile(args, Id::mkdtemp); }

DORVANE_FUNCTION(tmpfstream) {
    Ref suffix = to_ustream(args[0]);
    Ref prefix = to_ustream(args[1]);
    Ref filter = args[3];
    // Passed on unvalidated and untranslated: fstream judges the name.
    if (reinterpret_cast<PyObject*>(Py_TYPE(filter.get())) != global(Id::NoneType).get()) {
        filter = to_ustream(filter);
    }
    Ref path = call(global(Id::tmpname), suffix, prefix);
    // tmpname gives a name, not a file: anyone may plant a file or link
    // there before fstream opens it, so fstream must create it afresh.
    Id mode = truth(args[2]) ? Id::mode_create_text : Id::mode_create_binary;
    Ref stream = call(global(Id::fstream), path, mode, filter);
    return owned_or_raise(PyTuple_Pack(2, path.get(), stream.get()));
}

}  // namespace dorvane
