// Fixed-width integers in the byte orders the formats use: gzip is
// little-endian, lzop and bzip2 big-endian.
#pragma once

#include <cstdint>

namespace ondrel::codecs::detail {

inline unsigned le16(const unsigned char* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }
inline std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline void put_le32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline unsigned be16(const unsigned char* p) { return unsigned(p[0]) << 8 | p[1]; }
inline std::uint32_t be32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
// The low `n` bytes of `v`, most significant first.
inline void put_be(unsigned char* p, std::uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * (n - 1 - i)));
}
inline void put_be16(unsigned char* p, unsigned v) { put_be(p, v, 2); }
inline void put_be32(unsigned char* p, std::uint32_t v) { put_be(p, v, 4); }

}  // namespace ondrel::codecs::detail
