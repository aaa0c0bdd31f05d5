// Byte-level transforms behind bstream's methods. No Python here, so the
// fuzz targets can drive them directly.
#pragma once

#include <string>
#include <string_view>

#include "codec.h"

namespace ondrel::codecs {

// Each transform hands its output to a sink as it goes (so a caller can
// collect it where it will finally live), or returns it as a string.

// Base64 in lines of exactly 76 characters, each ending "\n"; the last line
// is shorter or equal and also ends "\n". Empty input gives empty output.
void base64_encode(std::string_view data, Sink& out);
std::string base64_encode(std::string_view data);

// Line feeds and carriage returns are ignored; any other character outside
// the alphabet, bad padding or a dangling partial group throws CodecError.
void base64_decode(std::string_view text, Sink& out);
std::string base64_decode(std::string_view text);

// One zlib stream (RFC 1950, header 0x78 0x9C at the default level).
void zlib_encode(std::string_view data, int level, Sink& out);
std::string zlib_encode(std::string_view data, int level = -1);

// Exactly one complete zlib stream; corrupt, truncated input or trailing
// garbage throws CodecError.
void zlib_decode(std::string_view data, Sink& out);
std::string zlib_decode(std::string_view data);

}  // namespace ondrel::codecs
