// The 45 public functions: name, calling convention, parameters with their
// defaults, and docstring. Bodies live in the subsystem folders and attach
// themselves with DORVANE_FUNCTION; this file turns each row into a host
// built-in function and enters every call through one of three doors.
#include "src/module/table.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "src/module/state.h"
#include "src/module/traceback.h"

namespace dorvane {

namespace {

constexpr FunctionRow kFunctions[] = {
    {"abspath", Convention::one, {},
         "abspath(path) -> ustream\n"
         "  \n"
         "  Return an absolute path."},
    {"appdir", Convention::none, {},
         "appdir() -> ustream\n"
         "  \n"
         "  Get directory of the current script or executable."},
    {"basename", Convention::one, {},
         "basename(path) -> ustream\n"
         "  \n"
         "  Returns the final component of a pathname."},
    {"cat", Convention::keywords, {{"path", Default::required}, {"filter", Default::none}},
         "cat(path[, filter]) -> bstream\n"
         "  \n"
         "  Get content of the file. If filter is not None, then use selected filter."},
    {"chdir", Convention::one, {},
         "chdir(path)\n"
         "  \n"
         "  Change the current working directory to the specified path."},
    {"chmod", Convention::keywords, {{"path", Default::required}, {"mode", Default::required}},
         "chmod(path, mode)\n"
         "  \n"
         "  Change the access permissions of a file."},
    {"chown", Convention::keywords, {{"path", Default::required}, {"uid", Default::required}, {"gid", Default::required}},
         "chown(path, uid, gid)\n"
         "  \n"
         "  Change the owner and group id of path to the numeric uid and gid."},
    {"chroot", Convention::one, {},
         "chroot(path)\n"
         "  \n"
         "  Change root directory to path."},
    {"compress", Convention::keywords, {{"src", Default::required}, {"dest", Default::required}, {"filter", Default::required}},
         "compress(src, dest, filter)\n"
         "  \n"
         "  Compress file with gzip, bzip2, lzop, xz or lzma filter."},
    {"copy", Convention::keywords, {{"src", Default::required}, {"dest", Default::required}},
         "copy(src, dest)\n"
         "  \n"
         "  Copy data and mode bits ('cp src dst').\n"
         "  The destination may be a directory."},
    {"decompress", Convention::keywords, {{"src", Default::required}, {"dest", Default::required}, {"filter", Default::required}},
         "decompress(src, dest, filter)\n"
         "  \n"
         "  Decompress file with gzip, bzip2, lzop, xz or lzma filter."},
    {"dirname", Convention::one, {},
         "dirname(path) -> ustream\n"
         "  \n"
         "  Returns the directory component of a pathname."},
    {"exists", Convention::one, {},
         "exists(path) -> bool\n"
         "  \n"
         "  Test whether a path exists. Returns False for broken symbolic links."},
    {"getatime", Convention::one, {},
         "getatime(path) -> float\n"
         "  \n"
         "  Return the last access time of a file."},
    {"getctime", Convention::one, {},
         "getctime(path) -> float\n"
         "  \n"
         "  Return the metadata change time of a file."},
    {"getcwd", Convention::none, {},
         "getcwd() -> ustream\n"
         "  \n"
         "  Return a string representing the current working directory."},
    {"getmtime", Convention::one, {},
         "getmtime(path) -> float\n"
         "  \n"
         "  Return the last modification time of a file."},
    {"getsize", Convention::one, {},
         "getsize(path) -> int\n"
         "  \n"
         "  Return the size of a file in bytes."},
    {"isabs", Convention::one, {},
         "isabs(path) -> bool\n"
         "  \n"
         "  Test whether a path is absolute."},
    {"isdir", Convention::one, {},
         "isdir(path) -> bool\n"
         "  \n"
         "  Return true if the pathname refers to an existing directory."},
    {"isfile", Convention::one, {},
         "isfile(path) -> bool\n"
         "  \n"
         "  Test whether a path is a regular file."},
    {"islink", Convention::one, {},
         "islink(path) -> bool\n"
         "  \n"
         "  Test whether a path is a symbolic link."},
    {"ismount", Convention::one, {},
         "ismount(path) -> bool\n"
         "  \n"
         "  Test whether a path is a mount point."},
    {"join", Convention::keywords, {{"head", Default::required}, {"tail", Default::required}},
         "join(head, tail) -> ustream\n"
         "  \n"
         "  Join two or more pathname components, inserting '/' as needed. If any\n"
         "  component is an absolute path, all previous path components will be\n"
         "  discarded. The second argument may be ustream or list of ustreams."},
    {"lexists", Convention::one, {},
         "lexists(path) -> bool\n"
         "  \n"
         "  Test whether a path exists. Returns True for broken symbolic links."},
    {"link", Convention::keywords, {{"src", Default::required}, {"dest", Default::required}},
         "link(src, dest)\n"
         "  \n"
         "  Create a hard link to a file."},
    {"listdir", Convention::one, {},
         "listdir(path) -> list\n"
         "  \n"
         "  Return a list containing the names of the entries in the directory.\n"
         "  The list is in alphabetical order. It does not include the special\n"
         "  entries '.' and '..' even if they are present in the directory."},
    {"magic", Convention::keywords, {{"path", Default::required}, {"zlib", Default::false_}},
         "magic(path[, filter]) -> ustream\n"
         "  \n"
         "  Guess mimetype of the file using 'file' application. Function returns\n"
         "  mimetype as ustream object. If zlib argument is True, function tries\n"
         "  to decompress file before guessing its mimetype. Filters are the same\n"
         "  as for the fstream object.\n"
         "  \n"
         "  >> magic('library.so')\n"
         "  ustream(u'application/x-sharedlib')\n"
         "  >> magic('library.pyd.bz2', zlib=True)\n"
         "  ustream('application/x-dosexec')"},
    {"mkdir", Convention::one, {},
         "mkdir(path [, mode=0777])\n"
         "  \n"
         "  Create an empty directory."},
    {"move", Convention::keywords, {{"src", Default::required}, {"dest", Default::required}},
         "move(src, dest)\n"
         "  \n"
         "  Recursively move a file or directory to another location.\n"
         "  This is similar to the Unix 'mv' command.\n"
         "  If the destination is a directory or a symlink to a directory,\n"
         "  the source is moved inside the directory. The destination path\n"
         "  must not already exist."},
    {"normcase", Convention::one, {},
         "normcase(path) -> ustream\n"
         "  \n"
         "  Normalize case of pathname. Has no effect under Posix."},
    {"normpath", Convention::one, {},
         "normpath(path) -> ustream\n"
         "  \n"
         "  Normalize path, eliminating double slashes, etc."},
    {"realpath", Convention::one, {},
         "realpath(path) -> ustream\n"
         "  \n"
         "  Return the canonical path of the specified filename, eliminating any\n"
         "  symbolic links encountered in the path."},
    {"relpath", Convention::keywords, {{"path", Default::required}, {"start", Default::dot_str}},
         "relpath(path) -> ustream\n"
         "  \n"
         "  Return a relative version of a path."},
    {"remove", Convention::one, {},
         "remove(path)\n"
         "  \n"
         "  Remove a file (same as unlink(path))."},
    {"rmdir", Convention::one, {},
         "rmdir(path)\n"
         "  \n"
         "  Remove a directory."},
    {"screen", Convention::one, {},
         "screen(path) -> ustream\n"
         "  \n"
         "  Return screened version of the path to use with pstream."},
    {"split", Convention::one, {},
         "split(path) -> tuple\n"
         "  \n"
         "  Split a pathname. Returns tuple '(head, tail)' where 'tail' is everything\n"
         "  after the final slash. Either part may be empty."},
    {"splitdrive", Convention::one, {},
         "splitdrive(path) -> tuple\n"
         "  \n"
         "  Split a pathname into drive and path. On Posix, drive is always empty."},
    {"splitext", Convention::one, {},
         "splitext(path) -> tuple\n"
         "  \n"
         "  Split the extension from a pathname. Extension is everything from the last\n"
         "  dot to the end, ignoring leading dots; ext may be empty."},
    {"symlink", Convention::keywords, {{"src", Default::required}, {"dest", Default::required}},
         "symlink(src, dest)\n"
         "  \n"
         "  Create a symbolic link pointing to src named dest."},
    {"tmpdir", Convention::keywords, {{"suffix", Default::empty_str}, {"prefix", Default::tmp_str}},
         "tmpdir([suffix[, prefix]]) -> ustream\n"
         "  \n"
         "  Create and return a unique temporary directory. The return value is the\n"
         "  pathname of the directory.\n"
         "  \n"
         "  If 'suffix' is specified, the path will end with that suffix,\n"
         "  otherwise there will be no suffix. Default suffix=''.\n"
         "  \n"
         "  If 'prefix' is specified, the path will begin with that prefix,\n"
         "  otherwise a default prefix is used. Default prefix='tmp'."},
    {"tmpfstream", Convention::keywords, {{"suffix", Default::empty_str}, {"prefix", Default::tmp_str}, {"text", Default::true_}, {"filter", Default::none}},
         "tmpfstream([suffix[, prefix[, text[, filter]]]]) -> tuple\n"
         "  \n"
         "  Create and return a temporary fstream. The return value is a pair (fd, path)\n"
         "  where fd is the fstream object and path is the filename as ustream object.\n"
         "  \n"
         "  If 'suffix' is specified, the path will end with that suffix,\n"
         "  otherwise there will be no suffix. Default suffix=''.\n"
         "  \n"
         "  If 'prefix' is specified, the path will begin with that prefix,\n"
         "  otherwise a default prefix is used. Default prefix='tmp'.\n"
         "  \n"
         "  If 'text' is True, the fstream is opened in text mode. Else (the default)\n"
         "  the file is opened in binary mode. On some operating systems, this makes\n"
         "  no difference.\n"
         "  \n"
         "  If 'filter' is specified, fstream will be filtered through compressor.\n"
         "  Supported compressors are 'gzip', 'bzip2' and 'lzma'."},
    {"tmpname", Convention::keywords, {{"suffix", Default::empty_str}, {"prefix", Default::tmp_str}},
         "tmpname(suffix[, prefix]]) -> ustream\n"
         "  \n"
         "  Return a unique temporary filename. The file is not created."},
    {"unlink", Convention::one, {},
         "unlink(path)\n"
         "  \n"
         "  Remove a file (same as remove(path))."},
};

constexpr std::size_t kCount = sizeof(kFunctions) / sizeof(kFunctions[0]);
static_assert(kCount == 45, "the module has 45 public functions");

constexpr std::size_t param_count(const FunctionRow& f) {
    std::size_t n = 0;
    while (n < kMaxParams && f.params[n].name) ++n;
    return n;
}

constexpr std::size_t required_count(const FunctionRow& f) {
    std::size_t n = 0;
    while (n < param_count(f) && f.params[n].value == Default::required) ++n;
    return n;
}

// Zero-initialised before any Registrar runs, whatever the link order.
Body g_bodies[kCount];
const char* g_unknown_body;  // a body whose name has no row: reported at import
PyMethodDef g_defs[kCount];
PyObject* g_keyword_names[kCount][kMaxParams];  // interned once, for identity tests
char g_qualnames[kCount][32];
// What the interpreter's own parser takes where it matches the keywords:
// "OO|OO:name", and the names as C strings.
char g_formats[kCount][kMaxParams + 40];
char* g_parser_names[kCount][kMaxParams + 1];

PyObject* default_value(Default d) {
    switch (d) {
        case Default::empty_str: return constant(Id::empty);
        case Default::tmp_str: return constant(Id::tmp);
        case Default::dot_str: return constant(Id::dot);
        case Default::true_: return Py_True;
        case Default::false_: return Py_False;
        case Default::none: return Py_None;
        case Default::required: break;
    }
    return nullptr;
}

bool same_name(PyObject* key, PyObject* name) { return pyutil::native_equals(key, name); }

// The keywords that the per-parameter lookups did not account for: every
// item is checked in the dict's order, so the first offending key is named.
void match_remaining(std::size_t i, Py_ssize_t n, PyObject* kw, Ref* values) {
    const FunctionRow& f = kFunctions[i];
    const Py_ssize_t max = param_count(f);
    PyObject* const* names = g_keyword_names[i];
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kw, &pos, &key, &value)) {
        Py_ssize_t j = n;
        while (j < max && key != names[j]) ++j;
        if (j == max) {
            if (!pyutil::is_native(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", f.name);
                raise_pending();
            }
            j = n;
            while (j < max && !same_name(key, names[j])) ++j;
        }
        if (j < max) {
            values[j] = Ref::borrow(value);
            continue;
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (same_name(key, names[k])) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%s'", f.name,
                             pyutil::native_chars(key));
                raise_pending();
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", f.name,
                     pyutil::native_chars(key));
        raise_pending();
    }
}

// The interpreter's own matching, with its own errors.
void parse(std::size_t i, PyObject* args, PyObject* kw, Ref* values) {
    const FunctionRow& f = kFunctions[i];
    PyObject* slots[kMaxParams];
    for (std::size_t j = 0; j < param_count(f); ++j) slots[j] = default_value(f.params[j].value);
    if (!pyutil::parse_objects(args, kw, g_formats[i], g_parser_names[i], param_count(f), slots))
        raise_pending();
    for (std::size_t j = 0; j < param_count(f); ++j) values[j] = Ref::borrow(slots[j]);
}

void match(std::size_t i, PyObject* args, PyObject* kw, Ref* values) {
    if (pyutil::kInterpreterParsesKeywords) return parse(i, args, kw, values);
    const FunctionRow& f = kFunctions[i];
    const Py_ssize_t max = param_count(f), min = required_count(f);
    const bool all_required = min == max;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    for (Py_ssize_t j = 0; j < max; ++j) values[j] = Ref::borrow(default_value(f.params[j].value));
    if (n > max || (!kw && n < min)) raise_argument_count_error(f.name, all_required, min, max, n);
    for (Py_ssize_t j = 0; j < n; ++j) values[j] = Ref::borrow(PyTuple_GET_ITEM(args, j));
    if (!kw) return;

    Py_ssize_t remaining = PyDict_Size(kw);
    for (Py_ssize_t j = n; j < max; ++j) {
        const bool required = f.params[j].value == Default::required;
        if (!required && remaining <= 0) continue;
        PyObject* value = PyDict_GetItem(kw, g_keyword_names[i][j]);
        if (value) {
            values[j] = Ref::borrow(value);
            --remaining;
        } else if (required) {
            // Speaks of the first missing parameter: given = its position.
            raise_argument_count_error(f.name, all_required, min, max, j);
        }
    }
    if (remaining > 0) match_remaining(i, n, kw, values);
}

PyObject* run(std::size_t i, const Ref* values, std::size_t count) {
    try {
        Ref result = g_bodies[i](Args(values, count));
        return result.release();
    } catch (const PythonError& failure) {
        add_traceback(g_qualnames[i], failure.line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback(g_qualnames[i], 0);
    }
    return nullptr;
}

template <std::size_t I>
PyObject* one_entry(PyObject*, PyObject* arg) {
    Ref values[1] = {Ref::borrow(arg)};
    return run(I, values, 1);
}

template <std::size_t I>
PyObject* none_entry(PyObject*, PyObject*) {
    return run(I, nullptr, 0);
}

template <std::size_t I>
PyObject* keywords_entry(PyObject*, PyObject* args, PyObject* kw) {
    Ref values[kMaxParams];
    try {
        match(I, args, kw, values);
    } catch (const PythonError& failure) {
        add_traceback(g_qualnames[I], failure.line);
        return nullptr;
    }
    return run(I, values, param_count(kFunctions[I]));
}

template <std::size_t I>
PyMethodDef method_def() {
    constexpr const FunctionRow& f = kFunctions[I];
    if constexpr (f.convention == Convention::one) {
        return {f.name, &one_entry<I>, METH_O, f.doc};
    } else if constexpr (f.convention == Convention::none) {
        return {f.name, &none_entry<I>, METH_NOARGS, f.doc};
    } else {
        // The host calls METH_KEYWORDS functions with three arguments.
        return {f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&keywords_entry<I>)),
                METH_VARARGS | METH_KEYWORDS, f.doc};
    }
}

template <std::size_t... I>
void fill_method_defs(std::index_sequence<I...>) {
    ((g_defs[I] = method_def<I>()), ...);
}

}  // namespace

Registrar::Registrar(const char* name, Body body) {
    for (std::size_t i = 0; i < kCount; ++i) {
        if (std::strcmp(kFunctions[i].name, name) == 0) {
            g_bodies[i] = body;
            return;
        }
    }
    g_unknown_body = name;
}

void raise_argument_count_error(const char* function, bool all_required, Py_ssize_t min,
                                Py_ssize_t max, Py_ssize_t given, Here at) {
    const bool too_few = given < min;
    const Py_ssize_t number = all_required || too_few ? min : max;
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)",
                 function, all_required ? "exactly" : (too_few ? "at least" : "at most"),
                 number, number == 1 ? "" : "s", given);
    raise_pending(at);
}

bool is_own_function(PyObject* object, const char* name) {
    if (object == nullptr || !PyCFunction_Check(object)) return false;
    const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(object)->m_ml;
    return def >= g_defs && def < g_defs + kCount && std::strcmp(def->ml_name, name) == 0;
}

namespace {

// What the interpreter's parser is given for function i.
void describe_for_parser(std::size_t i) {
    const FunctionRow& f = kFunctions[i];
    char* format = g_formats[i];
    for (std::size_t j = 0; j < param_count(f); ++j) {
        g_parser_names[i][j] = const_cast<char*>(f.params[j].name);
        if (j == required_count(f)) *format++ = '|';
        *format++ = 'O';
    }
    std::snprintf(format, sizeof g_formats[i] - static_cast<std::size_t>(format - g_formats[i]),
                  ":%s", f.name);
}

// The keyword names our own matching tests keys against; a second
// initialisation reuses them.
void intern_keyword_names(std::size_t i, Here at) {
    const FunctionRow& f = kFunctions[i];
    for (std::size_t j = 0; j < param_count(f); ++j) {
        if (g_keyword_names[i][j]) continue;
        g_keyword_names[i][j] = pyutil::native_intern(f.params[j].name);
        if (!g_keyword_names[i][j]) raise_pending(at);
    }
}

}  // namespace

void bind_functions(PyObject* module, Here at) {
    if (g_unknown_body) {
        PyErr_Format(PyExc_SystemError, "no function table row for body '%s'", g_unknown_body);
        raise_pending(at);
    }
    fill_method_defs(std::make_index_sequence<kCount>());
    Ref module_name = owned_or_raise(pyutil::native_from("dorvane"), at);
    for (std::size_t i = 0; i < kCount; ++i) {
        const FunctionRow& f = kFunctions[i];
        if (!g_bodies[i]) {
            PyErr_Format(PyExc_SystemError, "function table row '%s' has no body", f.name);
            raise_pending(at);
        }
        std::snprintf(g_qualnames[i], sizeof g_qualnames[i], "dorvane.%s", f.name);
        if (pyutil::kInterpreterParsesKeywords)
            describe_for_parser(i);
        else
            intern_keyword_names(i, at);
        Ref function = owned_or_raise(PyCFunction_NewEx(&g_defs[i], nullptr, module_name.get()), at);
        if (PyObject_SetAttrString(module, f.name, function.get()) < 0) raise_pending(at);
    }
}

}  // namespace dorvane
