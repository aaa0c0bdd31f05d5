// What the lzop writer and reader share; for them alone.
#pragma once

#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "internal.h"

namespace ondrel::codecs::detail {

constexpr unsigned char kMagic[9] = {0x89, 'L', 'Z', 'O', 0x00, 0x0d, 0x0a, 0x1a, 0x0a};

// lzop refuses blocks above this when reading; so do we, which also keeps a
// hostile size field from making us allocate gigabytes.
constexpr std::uint32_t kMaxBlockSize = 64 * 1024 * 1024;
constexpr std::uint32_t kMaxExtraField = 1024 * 1024;

// The format version we write and the newest we claim to understand.
constexpr unsigned kVersion = 0x1040;
constexpr unsigned kNeededToExtract = 0x0940;

// Header flags.
constexpr std::uint32_t F_ADLER32_D = 0x00000001;
constexpr std::uint32_t F_ADLER32_C = 0x00000002;
constexpr std::uint32_t F_H_EXTRA_FIELD = 0x00000040;
constexpr std::uint32_t F_CRC32_D = 0x00000100;
constexpr std::uint32_t F_CRC32_C = 0x00000200;
constexpr std::uint32_t F_H_FILTER = 0x00000800;
constexpr std::uint32_t F_H_CRC32 = 0x00001000;
constexpr std::uint32_t F_MASK = 0x00003fff;
constexpr std::uint32_t F_OS_MASK = 0xff000000;
constexpr std::uint32_t F_CS_MASK = 0x00f00000;
constexpr std::uint32_t F_RESERVED = ~(F_MASK | F_OS_MASK | F_CS_MASK);
constexpr std::uint32_t F_OS_UNIX = 0x03000000;

// Methods, as lzop numbers them; all three decode with LZO1X.
constexpr unsigned M_LZO1X_1 = 1;
constexpr unsigned M_LZO1X_1_15 = 2;
constexpr unsigned M_LZO1X_999 = 3;

enum class Problem { NotLzop, Truncated, Corrupt, Unsupported, Internal };

const char* lzo_message(int code);
[[noreturn]] void throw_lzop_error(Problem problem, const std::string& detail);
// liblzo2's one-time setup, before the first encoder or decoder.
void ensure_lzo();

// The same sums as liblzo2's own, from libdeflate, whose vectorised loops
// take a fraction of the time: liblzo2's Adler-32 alone was a sixth of a
// round trip.
inline std::uint32_t adler32(const unsigned char* p, std::size_t n) { return libdeflate_adler32(1, p, n); }
inline std::uint32_t crc32(const unsigned char* p, std::size_t n) { return libdeflate_crc32(0, p, n); }

std::unique_ptr<Decoder> make_lzop_decoder();

}  // namespace ondrel::codecs::detail
