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
    X(path) X(lookup) X(getfilesystemencoding) X(system) X(uname)         \
    X(_uname_cache)                                                        \
    X(lower) X(decode) X(__enter__) X(__exit__)                 \
    /* os.path functions and the module's own functions of those names */ \
    X(exists) X(lexists) X(join) X(split) X(splitdrive) X(splitext)        \
    X(normpath) X(normcase) X(realpath) X(abspath) X(basename) X(dirname)  \
    X(relpath) X(listdir) X(ismount) X(islink) X(isfile) X(isdir) X(isabs) \
    X(getsize) X(getmtime) X(getctime) X(getatime) X(remove) X(unlink)     \
    X(rmdir) X(chroot) X(chdir) X(chmod) X(chown) X(link) X(copy) X(move)  \
    X(symlink) X(mkdir) X(mktemp) X(mkdtemp) X(tmpname)                   \
    /* content */                                                          \
    X(cat) X(filter) X(read) X(write) X(copyfile) X(run)    \
    X(commit)                                    \
    /* platform tools */                                                   \
    X(getpid) X(executable) X(replace) X(tmpdir) X(screen) X(execute)      \
    X(base64_decode) X(zlib_decode) X(startswith)                          \
    X(_ZLIB_LIB_) X(_FILE_EXE_) X(_MIME_LIB_) X(_MAGIC_LIB_) X(_REGEX_LIB_)

// Identifiers whose C++ name must differ from the text (keywords).
// os.getcwdu is 2.7's text answer; 3.x's os.getcwd gives text.
#define DORVANE_RENAMED_IDENTIFIERS(X) X(register_, "register") \
    X(getcwd_text, PYUTIL_PYTHON3 ? "getcwd" : "getcwdu")

#define DORVANE_TEXTS(X)                                                    \
    X(empty, "")                                                           \
    X(tmp, "tmp")                                                          \
    X(dot, ".")                                                            \
    X(mode_binary, "wb")                                                   \
    X(mode_read, "rb")                                                     \
    X(mode_create_text, "x") X(mode_create_binary, "xb")                   \
    X(gzip, "gzip") X(bzip2, "bzip2") X(lzop, "lzop") X(xz, "xz")          \
    X(lzma, "lzma") X(gz, "gz") X(bz2, "bz2") X(lzo, "lzo")                \
    X(linux_name, "linux") X(windows_name, "windows")                                \
    X(proc_exe, "/proc/%s/exe")                                            \
    X(quoted, "'%s'") X(quote, "'") X(quote_escaped, "'\\''")               \
    X(mime_options, "--brief --mime-type")                                 \
    X(mime_options_z, "-z --brief --mime-type")                            \
    X(file_program, "/usr/bin/file")                                       \
    X(database_option, " -m %s")                                           \
    X(cr, "\r") X(lf, "\n") X(dash, "-") X(dot_slash, "./")                \
    X(file_exe_name, "file.exe") X(zlib_lib_name, "zlib1.dll")             \
    X(mime_lib_name, "mime.dll") X(magic_lib_name, "magic1.dll")           \
    X(regex_lib_name, "regex2.dll")                                        \
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
