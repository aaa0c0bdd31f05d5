// cat, compress and decompress: the filter vocabulary and whole-file copies
// through fstream. The codecs themselves live in the companion module.
#include "src/module/guard.h"
#include "src/module/table.h"
#include "src/module/traceback.h"

namespace dorvane {

namespace {

// A fresh list per call, as callers may hold on to what they are given.
Ref accepted_filters() {
    static constexpr Id kNames[] = {Id::gzip, Id::bzip2, Id::lzop, Id::xz, Id::lzma};
    Ref list = new_list();
    for (Id name : kNames) append(list, Ref::borrow(constant(name)));
    return list;
}

// Aliases, then wrapping: None stays None, anything else becomes a ustream.
Ref normalise(const Ref& given) {
    static constexpr Id kAliases[][2] = {
        {Id::gz, Id::gzip}, {Id::bz2, Id::bzip2}, {Id::lzo, Id::lzop}};
    Ref filter = given;
    if (filter.get() != Py_None) {
        for (const auto& alias : kAliases) {
            Ref same = owned_or_raise(PyObject_RichCompare(filter.get(), constant(alias[0]), Py_EQ));
            if (truth(same)) {
                filter = Ref::borrow(constant(alias[1]));
                break;
            }
        }
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(filter.get())) == global(Id::NoneType).get()) {
        return filter;
    }
    return to_ustream(filter);
}

void validate(const Ref& filter, const Ref& accepted, bool none_allowed) {
    if (filter.get() == Py_None && none_allowed) return;
    if (filter.get() != Py_None) {
        int found = PySequence_Contains(accepted.get(), filter.get());
        if (found < 0) raise_pending();
        if (found) return;
    }
    Ref text = owned_or_raise(pyutil::to_text(filter.get()));
    raise(call(global(Id::StreamError), constant_int(6), text));
}

// Whether reading the source with `cat` and writing it with `fstream` can
// only run our own code: none of the names `cat` and the copy look up has
// been rebound (or removed, which must raise the NameError of those steps).
bool names_are_own() {
    static constexpr Id kCompanion[] = {Id::ustream, Id::StreamError, Id::fstream, Id::bstream};
    for (Id name : kCompanion)
        if (!is_companion_original(name)) return false;
    return is_own_function(global_or_null(Id::cat), "cat") &&
           global_or_null(Id::NoneType) == reinterpret_cast<PyObject*>(Py_TYPE(Py_None));
}

// The slice copy reports a failure of its source as the whole-file steps
// do, where cat reads it: under cat's name as well as the caller's.
template <class Step>
Ref as_cat(Step&& step, Here at = Here()) {
    try {
        return step();
    } catch (const PythonError&) {
        add_traceback("dorvane.cat", at.line);
        raise_pending(at);
    }
}

// compress and decompress differ only in which side the filter is on.
Ref copy_through(const Args& args, bool filter_on_write) {
    Ref accepted = accepted_filters();
    Ref src = to_ustream(args[0]);
    Ref dest = to_ustream(args[1]);
    Ref filter = normalise(args[2]);
    require_existing(src);
    validate(filter, accepted, false);
    Ref read_filter = filter_on_write ? none() : filter;
    Ref write_filter = filter_on_write ? filter : none();

    // With every name the steps below reach still the module's own, the
    // companion copies the file in slices instead, with the same outcome;
    // it declines (None) a destination such as a device, which must not
    // see partial output.
    if (names_are_own()) {
        Ref copyfile = attr(global(Id::fstream), Id::copyfile);
        Ref copy = as_cat([&] { return call(copyfile, src, dest, read_filter, write_filter); });
        if (copy.get() != Py_None) {
            as_cat([&] { return call(attr(copy, Id::run)); });
            call(attr(copy, Id::commit));
            return none();
        }
    }
    Ref data = call_with_keyword(global(Id::cat), Id::filter, read_filter, src);
    Ref stream = call_with_keyword(global(Id::fstream), Id::filter, write_filter, dest,
                                   Id::mode_binary);
    with_block(stream, [&](const Ref& out) { call(attr(out, Id::write), data); });
    return none();
}

}  // namespace

DORVANE_FUNCTION(cat) {
    Ref path = to_ustream(args[0]);
    Ref accepted = accepted_filters();
    Ref filter = normalise(args[1]);
    validate(filter, accepted, true);
    Ref stream = call_with_keyword(global(Id::fstream), Id::filter, filter, path, Id::mode_read);
    Ref result;
    with_block(stream, [&](const Ref& in) { result = call(attr(in, Id::read)); });
    // __exit__ may have swallowed a failed read: then there is no result.
    if (!result) raise_unbound_local("result");
    return call(global(Id::bstream), result);
}

DORVANE_FUNCTION(compress) { return copy_through(args, true); }
DORVANE_FUNCTION(decompress) { return copy_through(args, false); }

}  // namespace dorvane
