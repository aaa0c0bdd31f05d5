// The attribute texts of the Windows tool files that `magic` writes: each
// file zlib-compressed and base64-encoded in 76-character lines. The
// definitions are generated at build time by payloads/embed.py.
#pragma once

#include <cstddef>

namespace dorvane {

struct PayloadText {
    const char* data;
    std::size_t size;
};

extern const PayloadText kZlibLibText;    // zlib1.dll
extern const PayloadText kFileExeText;    // file.exe
extern const PayloadText kMimeLibText;    // mime.dll, the magic database as text
extern const PayloadText kMagicLibText;   // magic1.dll
extern const PayloadText kRegexLibText;   // regex2.dll

}  // namespace dorvane
