// Every string object the module uses, created once at initialisation.
//
// IDENTIFIERS (and RENAMED_IDENTIFIERS) become interned str objects named by
// `Id::<name>`; TEXTS are
// plain str constants named by `Id::<tag>` with the given value. Calls take
// these from the table instead of building strings each time.
#pragma once

#define DORVANE_IDENTIFIERS(X)                                              \
    /* standard modules and the host's names */                            \
    X(os) X(sys) X(zlib) X(base64) X(codecs) X(shutil) X(tempfile)         \
    X(platform) X(__builtins__) X(__import__) X(ImportError) X(OSError)    \
    /* module attributes */                                                \
    X(__author__) X(__license__) X(__encoding__) X(__console__)           \
    X(__system__) X(__version__) X(__test__) X(NoneType) X(argv) X(arg)    \
    X(err)                                                                 \
    /* the companion module's names */                                     \
    X(StreamError) X(bstream) X(ustream) X(fstream) X(pstream)             \
    X(_unicode_)                                                           \
    /* attributes of standard objects */                                   \
    X(path) X(lookup) X(getfilesystemencoding) X(system)       \
    X(lower) X(decode) X(getcwdu) X(__enter__) X(__exit__)                 \
    /* os.path functions and the module's own functions of those names */ \
    X(exists) X(lexists) X(join) X(split) X(splitdrive) X(splitext)        \
    X(normpath) X(normcase) X(realpath) X(abspath) X(basename) X(dirname)  \
    X(relpath) X(listdir) X(ismount) X(islink) X(isfile) X(isdir) X(isabs) \
    X(getsize) X(getmtime) X(getctime) X(getatime) X(remove) X(unlink)     \
    X(rmdir) X(chroot) X(chdir) X(chmod) X(chown) X(link) X(copy) X(move)  \
    X(symlink) X(mkdir) X(mktemp) X(mkdtemp) X(tmpname)

// Identifiers whose C++ name must differ from the text (keywords).
#define DORVANE_RENAMED_IDENTIFIERS(X) X(register_, "register")

#define DORVANE_TEXTS(X)                                                    \
    X(empty, "")                                                           \
    X(tmp, "tmp")                                                          \
    X(dot, ".")                                                            \
    X(mode_text, "w")                                                      \
    X(mode_binary, "wb")                                                   \
    X(utf8, "UTF-8")                                                       \
    X(cp65001, "cp65001")                                                  \
    X(ondrel, "ondrel")                                                    \
    X(ondrel_missing, "ondrel module is missed")                           \
    X(no_such_file, "No such file or directory")                           \
    X(author, "The dorvane developers")                                    \
    X(license, "MIT")

namespace dorvane {

enum class Id {
#define DORVANE_ID(name) name,
#define DORVANE_TEXT(tag, value) tag,
    DORVANE_IDENTIFIERS(DORVANE_ID)
    DORVANE_RENAMED_IDENTIFIERS(DORVANE_TEXT)
    DORVANE_TEXTS(DORVANE_TEXT)
#undef DORVANE_ID
#undef DORVANE_TEXT
    count_
};

}  // namespace dorvane
