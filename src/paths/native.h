// The path queries' own rendition of the standard functions' work: the
// conversion of an argument and the system calls, done on the bytes of the
// path exactly as `ustream`, `os.stat`, `os.listdir` and `os.getcwd` would
// do them. Bodies use it only while standard_intact() holds for every name
// their steps reach; anything these helpers cannot repeat exactly makes
// them decline before any system call, and the body takes the literal steps.
#pragma once

#include "src/module/guard.h"
#include "src/module/originals.h"

#include <sys/stat.h>

#include <string>

namespace dorvane {

// Whether the module's `ustream` is the companion's and every binding that
// the standard functions `names` reach is still the original.
bool originals_stand(std::initializer_list<Id> names);

// A path argument as the literal steps see it: `text` equals what
// ustream(arg)._unicode_ would hold, `bytes` is what os.stat hands the system.
struct NativePath {
    Ref text;
    std::string bytes;
};

// The text alone (join needs no bytes). False, with nothing raised, for an
// argument of another type or one whose conversion would fail.
bool native_text(PyObject* arg, Ref& text);

// Text and bytes; also false where os.stat would refuse the text.
bool native_path(PyObject* arg, NativePath& path);

// stat(2) or lstat(2), the interpreter's lock released as os.stat does.
bool stat_path(const std::string& bytes, struct stat& st, bool follow = true);

// os.path.abspath(text) for an existing path, as bytes; false where the
// current directory cannot be read the way os.getcwd reads it (the literal
// step then reports it).
bool absolute_bytes(const std::string& bytes, std::string& out);

// os.listdir(text): a list of texts (on 2.7, bytes for a name that does
// not decode), or the error of os.listdir where the directory cannot be read.
Ref list_directory(const NativePath& path, Here at = Here());

// Text from file-system bytes as the standard functions decode it; null
// with nothing raised where 2.7's strict decoding refuses them.
Ref decoded_or_null(const std::string& bytes);

// ustream(answer), made here while `ustream` is the companion's own type
// and the answer plain text: the very object that call would make.
Ref ustream_of(const Ref& answer, Here at = Here());

// The plain text a ustream's `_unicode_` would give for `text`.
Ref plain_text(const Ref& text, Here at = Here());

// posixpath.join(head, tail) on two texts.
Ref joined_text(const Ref& head, const Ref& tail, Here at = Here());

// Whether the file-system encoding keeps '/' and '.' as single bytes that
// no other character contains, so byte-wise path work equals text-wise.
bool bytes_mirror_text();

}  // namespace dorvane
