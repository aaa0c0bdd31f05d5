// initdorvane: builds the constants once, then runs the module's top-level
// statements in their fixed order. A failure leaves one traceback entry
// "init dorvane" and no module registered.
#include "pyutil/compat.h"

#include <cstdio>
#include <cstring>

#include "src/module/codec_search.h"
#include "src/module/originals.h"
#include "src/module/payloads.h"
#include "src/module/runtime.h"
#include "src/module/state.h"
#include "src/module/table.h"
#include "src/module/traceback.h"

namespace dorvane {

State& state() {
    static State s;
    return s;
}

namespace {

const char kModuleDoc[] = "Module to operate with files and directories.";

struct ConstantText {
    const char* text;
    bool interned;
};

constexpr ConstantText kConstantTexts[] = {
#define DORVANE_ID(name) {#name, true},
#define DORVANE_RENAMED(tag, value) {value, true},
#define DORVANE_TEXT(tag, value) {value, false},
    DORVANE_IDENTIFIERS(DORVANE_ID)
    DORVANE_RENAMED_IDENTIFIERS(DORVANE_RENAMED)
    DORVANE_TEXTS(DORVANE_TEXT)
#undef DORVANE_RENAMED
#undef DORVANE_ID
#undef DORVANE_TEXT
};
static_assert(sizeof kConstantTexts / sizeof kConstantTexts[0] == static_cast<int>(Id::count_),
              "one text per constant");

// A version mismatch is only a warning, unless the filters make it an error.
void check_version() {
    char built_for[16];
    std::snprintf(built_for, sizeof built_for, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    // "3.10.4 (main, ...)": the major and minor version end at the second dot.
    const char* running = Py_GetVersion();
    const std::size_t length = std::strlen(built_for);
    if (std::strncmp(running, built_for, length) == 0 && running[length] == '.') return;
    const char* dot = std::strchr(running, '.');
    const char* end = dot ? std::strpbrk(dot + 1, ". ") : nullptr;
    const int shown = end ? static_cast<int>(end - running) : 3;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %.*s",
                  built_for, "dorvane", shown, running);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) raise_pending();
}

PyObject* keep(Ref value) { return value.release(); }  // lives as long as the process

void create_constants() {
    State& s = state();
    for (int i = 0; i < static_cast<int>(Id::count_); ++i) {
        if (s.constants[i]) continue;  // a second initialisation reuses them
        const ConstantText& c = kConstantTexts[i];
        s.constants[i] = keep(owned_or_raise(c.interned ? pyutil::native_intern(c.text)
                                                        : pyutil::native_from(c.text)));
    }
    s.int2 = keep(owned_or_raise(pyutil::int_from(2)));
    s.int6 = keep(owned_or_raise(pyutil::int_from(6)));
    s.none3 = keep(owned_or_raise(PyTuple_Pack(3, Py_None, Py_None, Py_None)));
}

void import_standard_modules(const Ref& import) {
    static constexpr Id kModules[] = {Id::os,     Id::sys,     Id::zlib,     Id::base64,
                                      Id::codecs, Id::shutil, Id::tempfile, Id::platform};
    PyObject* globals = PyModule_GetDict(state().module);
    for (Id name : kModules) {
        Ref locals = owned_or_raise(PyDict_New());
        Ref fromlist = owned_or_raise(PyList_New(0));
        Ref level = owned_or_raise(pyutil::int_from(pyutil::kImportLevel));
        set_global(name, call(import, name, globals, locals, fromlist, level));
    }
}

// `from ondrel import <name>` for each companion name; only ImportError is
// translated, so a companion lacking a name reports the AttributeError.
void import_companion(const Ref& import) {
    static constexpr Id kNames[] = {Id::StreamError, Id::bstream, Id::ustream, Id::fstream,
                                    Id::pstream};
    PyObject* globals = PyModule_GetDict(state().module);
    for (std::size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        const Id name = kNames[i];
        Ref companion;
        try {
            Ref locals = owned_or_raise(PyDict_New());
            Ref fromlist = owned_or_raise(PyList_New(1));
            Py_INCREF(constant(name));
            PyList_SET_ITEM(fromlist.get(), 0, constant(name));
            Ref level = owned_or_raise(pyutil::int_from(pyutil::kImportLevel));
            companion = call(import, Id::ondrel, globals, locals, fromlist, level);
        } catch (const PythonError&) {
            if (!PyErr_ExceptionMatches(state().import_error)) throw;
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
            set_global(Id::err, v);
            Ref missing = call(Ref::borrow(state().import_error), Id::ondrel_missing);
            raise(missing);
        }
        Ref value = attr(companion, name);
        set_global(name, value);
        state().companion[i] = keep(value);
    }
}

// decode(encoding), or null where the bytes do not decode that way.
template <class Encoding>
Ref decoded_or_null(const Ref& decode, const Encoding& encoding) {
    try {
        return call(decode, encoding);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw;
        PyErr_Clear();
        return Ref();
    }
}

// decode(<file-system encoding>), the reading of every argument that allows
// it. One that does not (any non-ASCII byte under the C locale, the default
// of containers and cron) must not stop the import: UTF-8 is tried next, as
// what such text nearly always is and which random bytes seldom pass; failing
// that, the file-system encoding again with the unreadable bytes replaced by
// U+FFFD, so nothing is read in an encoding nobody chose. `strict` says
// whether the first reading was the one taken.
Ref decode_argument(const Ref& decode, bool* strict = nullptr) {
    Ref text = decoded_or_null(decode, global(Id::__console__));
    if (strict) *strict = static_cast<bool>(text);
    if (!text) text = decoded_or_null(decode, Id::utf8);
    if (!text) text = call(decode, global(Id::__console__), Id::replace);
    return text;
}

void build_argv() {
    Ref argv = new_list();
    Ref sys_argv = attr(global(Id::sys), Id::argv);
    Ref iterator = owned_or_raise(PyObject_GetIter(sys_argv.get()));
    bool first_strict = true;
    for (Py_ssize_t index = 0; PyObject* next = PyIter_Next(iterator.get()); ++index) {
        set_global(Id::arg, Ref::steal(next));
        Ref ustream = global(Id::ustream);
        if (pyutil::kPython3) {
            // The interpreter has decoded them already, undecodable bytes
            // kept as lone surrogates.
            append(argv, call(ustream, global(Id::arg)));
            continue;
        }
        Ref decode = attr(global(Id::arg), Id::decode);
        bool strict;
        Ref text = decode_argument(decode, &strict);
        if (index == 0) first_strict = strict;
        append(argv, call(ustream, text));
    }
    if (PyErr_Occurred()) raise_pending();
    set_global(Id::argv, argv);

    // argv[0] becomes the canonical path of the program (the current
    // directory for an interactive interpreter, whose argv[0] is empty).
    Ref ustream = global(Id::ustream);
    Ref realpath = attr(attr(global(Id::os), Id::path), Id::realpath);
    Ref first = item(global(Id::argv), 0);
    Ref text = owned_or_raise(pyutil::to_text(first.get()));
    Ref canonical;
    if (first_strict) {
        try {
            canonical = call(ustream, call(realpath, text));
        } catch (const PythonError&) {
            // A unicode path is decoded (the current directory) and encoded
            // (each lstat) with the file-system encoding on the way.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw;
            PyErr_Clear();
        }
    }
    if (!canonical) {
        // Resolved as the bytes it names, not as a text with U+FFFD in it.
        Ref resolved = call(realpath, item(sys_argv, 0));
        canonical = call(ustream, decode_argument(attr(resolved, Id::decode)));
    }
    set_item(global(Id::argv), 0, canonical);
}

// The Windows tool files for `magic`, in their binding order; the objects
// are part of the library image, so a second initialisation binds the same.
void bind_payloads() {
    static constexpr struct {
        Id attribute;
        PyObject* (*text)();
    } kPayloads[] = {
        {Id::_ZLIB_LIB_, zlib_lib_text},   {Id::_FILE_EXE_, file_exe_text},
        {Id::_MIME_LIB_, mime_lib_text},   {Id::_MAGIC_LIB_, magic_lib_text},
        {Id::_REGEX_LIB_, regex_lib_text},
    };
    for (const auto& payload : kPayloads) {
        PyObject* text = payload.text();
        if (!text) raise_pending();
        set_global(payload.attribute, Ref::borrow(text));
    }
}

// The name platform.system() would give, read from os.uname() the way
// platform.uname() reads it, or null where that reading might differ. The
// first platform.uname() also runs `uname -p` through a shell for the
// processor, a fork and two execs that cost more than the rest of the import;
// nothing here needs the processor. So while platform's own system() and
// uname() stand and hold no answer yet, the name is taken directly; a
// replaced function, a cached answer, no os.uname, or a name that platform
// rewrites goes through platform.system() itself.
Ref system_name_without_processor(const Ref& platform) {
    if (!PyModule_Check(platform.get())) return Ref();
    PyObject* names = PyModule_GetDict(platform.get());
    PyObject* cache = PyDict_GetItem(names, constant(Id::_uname_cache));
    PyObject* system = PyDict_GetItem(names, constant(Id::system));
    PyObject* uname = PyDict_GetItem(names, constant(Id::uname));
    PyObject* os = PyDict_GetItem(names, constant(Id::os));
    auto own = [names](PyObject* f) {
        return f && PyFunction_Check(f) && PyFunction_GET_GLOBALS(f) == names;
    };
    if (cache != Py_None || !own(system) || !own(uname) || !os) return Ref();
    Ref os_module = Ref::borrow(os);
    if (!PyObject_HasAttr(os, constant(Id::uname))) return Ref();
    // A plain tuple on 2.7, the interpreter's own struct sequence on 3.x.
    Ref fields = call(attr(os_module, Id::uname));
    if (!PyTuple_Check(fields.get()) || PyTuple_GET_SIZE(fields.get()) != 5) return Ref();
    bool any = false;
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyObject* field = PyTuple_GET_ITEM(fields.get(), i);
        if (Py_TYPE(field) != Py_TYPE(constant(Id::empty))) return Ref();
        any = any || PyObject_Length(field) != 0;
    }
    if (!any) return Ref();
    PyObject* name = PyTuple_GET_ITEM(fields.get(), 0);
    const char* text = pyutil::native_chars(name);
    if (!text) {
        PyErr_Clear();
        return Ref();
    }
    for (const char* rewritten : {"", "unknown", "OpenVMS", "Microsoft"}) {
        if (std::strcmp(text, rewritten) == 0) return Ref();
    }
    return Ref::borrow(name);
}

void initialise() {
    State& s = state();
    check_version();
    create_constants();
    ready_codec_search_type();

    PyObject* module = pyutil::create_module("dorvane", kModuleDoc);
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init dorvane");
        raise_pending();
    }
    s.module = module;
    s.builtins = keep(owned_or_raise(PyImport_ImportModule(pyutil::kBuiltinsModule)));
    set_global(Id::__builtins__, Ref::borrow(s.builtins));

    Ref builtins = Ref::borrow(s.builtins);
    s.import_error = keep(attr(builtins, Id::ImportError));
    s.os_error = keep(attr(builtins, Id::OSError));

    Ref import = attr(builtins, Id::__import__);
    import_standard_modules(import);
    capture_originals();

    Ref register_codec = attr(global(Id::codecs), Id::register_);
    call(register_codec, new_codec_search_function());

    set_global(Id::__author__, Ref::borrow(constant(Id::author)));
    set_global(Id::__license__, Ref::borrow(constant(Id::license)));
    set_global(Id::__encoding__, Ref::borrow(constant(Id::utf8)));
    set_global(Id::__console__, call(attr(global(Id::sys), Id::getfilesystemencoding)));
    Ref platform = global(Id::platform);
    Ref system = system_name_without_processor(platform);
    if (!system) system = call(attr(platform, Id::system));
    set_global(Id::__system__, call(attr(system, Id::lower)));
    set_global(Id::__version__, owned_or_raise(PyFloat_FromDouble(0.1)));
    set_global(Id::__test__, owned_or_raise(PyDict_New()));

    import_companion(import);
    set_global(Id::NoneType, Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(Py_None))));
    build_argv();
    del_global(Id::__test__);
    del_global(Id::arg);
    bind_payloads();
    bind_functions(s.module);
}

}  // namespace

}  // namespace dorvane

PYUTIL_MODULE_INIT(dorvane) {
    using namespace dorvane;
    try {
        initialise();
        // The module keeps the reference it was made with; 3.x's import
        // takes one of its own.
        PyObject* module = state().module;
        Py_INCREF(module);
        PYUTIL_INIT_RETURN(module);
    } catch (const PythonError& failure) {
        add_traceback("init dorvane", failure.line);
        // The import machinery would otherwise hand out the half-built module.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (PyDict_GetItemString(PyImport_GetModuleDict(), "dorvane")) {
            PyDict_DelItemString(PyImport_GetModuleDict(), "dorvane");
        }
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        if (state().module) {
            Py_DECREF(state().module);
            state().module = nullptr;
        }
    }
    PYUTIL_INIT_RETURN(static_cast<PyObject*>(nullptr));
}
