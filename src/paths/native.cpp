#include "src/paths/native.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace dorvane {

namespace {

// Clears what a declined conversion raised: the literal steps raise it again.
bool decline() {
    PyErr_Clear();
    return false;
}

PyObject* decode(const char* data, std::size_t size) {
    return pyutil::fs_decode(data, static_cast<Py_ssize_t>(size));
}

}  // namespace

// A character's UTF-8 bytes never include '/' or '.'.
bool bytes_mirror_text() { return pyutil::fs_encoding_is_utf8(); }

bool originals_stand(std::initializer_list<Id> names) {
    if (!is_companion_original(Id::ustream)) return false;
    for (Id name : names)
        if (!standard_intact(name)) return false;
    return true;
}

bool native_text(PyObject* arg, Ref& text) {
    // ustream converts a ustream to itself and takes text as it is; only
    // the exact types, whose conversion runs no code of the caller's.
    PyObject* ustream = global_or_null(Id::ustream);
    if (PyUnicode_CheckExact(arg) || reinterpret_cast<PyObject*>(Py_TYPE(arg)) == ustream) {
        text = Ref::borrow(arg);
        return true;
    }
    if (!PyBytes_CheckExact(arg)) return false;
    PyObject* decoded = decode(PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg)));
    if (!decoded) return decline();
    text = Ref::steal(decoded);
    return true;
}

bool native_path(PyObject* arg, NativePath& path) {
    if (!native_text(arg, path.text)) return false;
    PyObject* encoded = pyutil::fs_encode(path.text.get());
    if (!encoded) return decline();
    Ref bytes = Ref::steal(encoded);
    path.bytes.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    // os.stat refuses these with an error of its own.
    return path.bytes.find('\0') == std::string::npos;
}

bool stat_path(const std::string& bytes, struct stat& st, bool follow) {
    pyutil::LockReleased unlocked;
    return (follow ? ::stat(bytes.c_str(), &st) : ::lstat(bytes.c_str(), &st)) == 0;
}

namespace {

// os.getcwd's reading: 2.7's text variant into a fixed buffer, 3.x's in a
// buffer grown a kilobyte at a time while the name does not fit.
bool current_directory(std::string& out) {
    std::vector<char> buffer;
    const char* found = nullptr;
    pyutil::LockReleased unlocked;
    if (pyutil::kPython3) {
        do {
            buffer.resize(buffer.size() + 1024);
            found = ::getcwd(buffer.data(), buffer.size());
        } while (!found && errno == ERANGE);
    } else {
        buffer.resize(1026);
        found = ::getcwd(buffer.data(), buffer.size());
    }
    if (!found) return false;
    out.assign(found);
    return true;
}

// posixpath.normpath on bytes: one or two leading slashes kept, three or
// more made one, "." and empty parts dropped, ".." taking its parent.
std::string normalised(const std::string& path) {
    if (path.empty()) return ".";
    std::size_t initial = path[0] == '/' ? 1 : 0;
    if (initial && path.compare(0, 2, "//") == 0 && path.compare(0, 3, "///") != 0) initial = 2;
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part != ".." || (!initial && parts.empty()) || (!parts.empty() && parts.back() == ".."))
            parts.push_back(std::move(part));
        else if (!parts.empty())
            parts.pop_back();
    }
    std::string result(initial, '/');
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) result += '/';
        result += parts[i];
    }
    return result.empty() ? "." : result;
}

}  // namespace

bool absolute_bytes(const std::string& bytes, std::string& out) {
    std::string path = bytes;
    if (path.empty() || path[0] != '/') {
        std::string cwd;
        if (!current_directory(cwd)) return false;
        // posixpath.join(cwd, path) with a relative path
        path = cwd.empty() || cwd.back() == '/' ? cwd + path : cwd + '/' + path;
    }
    out = normalised(path);
    return true;
}

Ref decoded_or_null(const std::string& bytes) {
    PyObject* text = decode(bytes.data(), bytes.size());
    if (!text) PyErr_Clear();
    return Ref::steal(text);
}

Ref plain_text(const Ref& text, Here at) { return owned_or_raise(pyutil::exact_text(text.get()), at); }

Ref joined_text(const Ref& head, const Ref& tail, Here at) {
    const Py_ssize_t head_size = pyutil::text_length(head.get());
    // The standard join answers the plain text, of which ustream makes a new
    // object; the caller's own ustream must not come back.
    if (pyutil::text_length(tail.get()) > 0 && pyutil::text_char(tail.get(), 0) == '/')
        return plain_text(tail, at);
    if (head_size == 0 || pyutil::text_char(head.get(), head_size - 1) == '/')
        return owned_or_raise(PyUnicode_Concat(head.get(), tail.get()), at);
    Ref slash = owned_or_raise(PyUnicode_FromStringAndSize("/", 1), at);
    Ref left = owned_or_raise(PyUnicode_Concat(head.get(), slash.get()), at);
    return owned_or_raise(PyUnicode_Concat(left.get(), tail.get()), at);
}

Ref ustream_of(const Ref& answer, Here at) {
    PyObject* type = companion_original(Id::ustream);
    if (!type || !PyUnicode_CheckExact(answer.get())) return to_ustream(answer, at);
    return owned_or_raise(pyutil::new_text_subtype(reinterpret_cast<PyTypeObject*>(type), answer.get()), at);
}

namespace {

// os.listdir's error: 2.7 names the encoded path, 3.x the text it was given.
[[noreturn]] void raise_listing_error(const NativePath& path, int error, Here at) {
    errno = error;
    if (pyutil::kPython3) {
        Ref plain = plain_text(path.text, at);
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, plain.get());
    } else {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.bytes.c_str());
    }
    raise_pending(at);
}

// The names in a directory, "." and ".." left out, read to the end and
// the directory closed before anything is made of them, with the lock
// released as os.listdir does; an errno where it fails.
int read_names(const std::string& directory, std::vector<std::string>& names) {
    DIR* dir;
    {
        pyutil::LockReleased unlocked;
        dir = ::opendir(directory.c_str());
    }
    if (!dir) return errno;
    names.reserve(64);
    // Taken back on the way out, should a name find no memory.
    pyutil::LockReleased unlocked;
    struct Closer {
        DIR* dir;
        ~Closer() { ::closedir(dir); }
    } closer{dir};
    int error = 0;
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        names.emplace_back(name);
    }
    return error;
}

}  // namespace

Ref list_directory(const NativePath& path, Here at) {
#if PYUTIL_PYTHON3
    {
        Ref plain = plain_text(path.text, at);
        if (PySys_Audit("os.listdir", "O", plain.get()) < 0) raise_pending(at);
    }
#endif
    std::vector<std::string> names;
    if (int error = read_names(path.bytes, names)) raise_listing_error(path, error, at);
    Ref entries = owned_or_raise(PyList_New(static_cast<Py_ssize_t>(names.size())), at);
    for (std::size_t i = 0; i < names.size(); ++i) {
        Ref text = decoded_or_null(names[i]);
        // 2.7's os.listdir keeps a name that does not decode as bytes.
        if (!text)
            text = owned_or_raise(
                PyBytes_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size())), at);
        PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return entries;
}

}  // namespace dorvane
