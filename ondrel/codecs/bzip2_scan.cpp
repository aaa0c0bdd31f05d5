// Finding bzip2's block and end-of-stream magic numbers, which sit at any
// bit position: how the reader cuts a stream into blocks to decode side by
// side, and the writer finds the block in a stream of one.

#include "bzip2.h"

#include <algorithm>

namespace ondrel::codecs::detail {

namespace {

constexpr std::uint64_t kMask48 = (std::uint64_t(1) << 48) - 1;

// For each byte value, which of the 16 (pattern, bit shift) pairs have it
// as byte 1, and which as byte 2, of a window starting at the byte before
// the pattern: a magic starting at bit s of byte i fixes bytes i+1 and i+2
// completely, and both tables together fit in a few cache lines.
//
// It fixes bytes i+1 to i+5 too, so byte pairs (i+1, i+2) to (i+4, i+5)
// are among the 64 of `pairs`: one pair per four positions is enough to
// rule out four starts at once.
struct MagicTable {
    std::uint16_t second[256] = {}, third[256] = {};
    std::uint64_t pairs[65536 / 64] = {};
    MagicTable() {
        const std::uint64_t magics[2] = {kBlockMagic, kEndMagic};
        for (int m = 0; m < 2; ++m)
            for (int s = 0; s < 8; ++s) {
                // The pattern placed at bit s of a 64-bit big-endian window.
                std::uint64_t w = magics[m] << (16 - s);
                const auto pair = std::uint16_t(1u << (m * 8 + s));
                second[(w >> 48) & 0xff] |= pair;
                third[(w >> 40) & 0xff] |= pair;
                for (int k = 0; k < 4; ++k) {
                    unsigned v = unsigned(w >> (40 - 8 * k)) & 0xffff;
                    pairs[v / 64] |= std::uint64_t(1) << (v % 64);
                }
            }
    }
    bool has_pair(unsigned first, unsigned second) const {
        unsigned v = first << 8 | second;
        return (pairs[v / 64] >> (v % 64)) & 1;
    }
};

const MagicTable& magic_table() {
    static const MagicTable table;
    return table;
}

}  // namespace

std::uint64_t read_bits(const unsigned char* p, std::size_t size, std::uint64_t bit, unsigned n) {
    std::size_t byte = static_cast<std::size_t>(bit / 8);
    std::uint64_t w = 0;
    for (std::size_t k = 0; k < 8; ++k) w = (w << 8) | (byte + k < size ? p[byte + k] : 0);
    return (w >> (64 - n - bit % 8)) & ((std::uint64_t(1) << n) - 1);
}

std::uint64_t find_magic(const unsigned char* d, std::size_t size, std::uint64_t& from, bool final) {
    const MagicTable& table = magic_table();
    // A full 8-byte window is needed, except at the very end of input
    // where the missing bytes read as zero.
    std::size_t limit = final ? size : (size >= 8 ? size - 7 : 0);
    std::size_t i = static_cast<std::size_t>(from / 8);
    auto byte = [&](std::size_t k) -> unsigned { return k < size ? d[k] : 0; };
    // The (pattern, shift) pairs `m` that bytes i+1 and i+2 allow, checked
    // against the whole window at i.
    auto match = [&](std::size_t i, unsigned m) {
        std::uint64_t w = 0;
        for (std::size_t k = 0; k < 8; ++k) w = (w << 8) | byte(i + k);
        for (unsigned s = 0; s < 8; ++s) {
            std::uint64_t bit = std::uint64_t(i) * 8 + s;
            if (bit < from || bit + 48 > std::uint64_t(size) * 8) continue;
            std::uint64_t v48 = (w >> (16 - s)) & kMask48;
            if ((((m >> s) & 1) && v48 == kBlockMagic) || (((m >> (8 + s)) & 1) && v48 == kEndMagic)) return bit;
        }
        return kNotFound;
    };
    // Where the whole window lies in the input, no byte needs a bounds check.
    const std::size_t inside = std::min(limit, size >= 8 ? size - 7 : 0);
    // Starts i to i+3 all fix the pair at i+4.
    for (; i + 4 <= inside; i += 4) {
        if (!table.has_pair(d[i + 4], d[i + 5])) continue;
        for (std::size_t k = i; k < i + 4; ++k) {
            const unsigned m = table.second[d[k + 1]] & table.third[d[k + 2]];
            if (m)
                if (std::uint64_t bit = match(k, m); bit != kNotFound) return bit;
        }
    }
    for (; i < inside; ++i) {
        const unsigned m = table.second[d[i + 1]] & table.third[d[i + 2]];
        if (m)
            if (std::uint64_t bit = match(i, m); bit != kNotFound) return bit;
    }
    for (; i < limit; ++i) {
        const unsigned m = table.second[byte(i + 1)] & table.third[byte(i + 2)];
        if (m)
            if (std::uint64_t bit = match(i, m); bit != kNotFound) return bit;
    }
    from = std::max<std::uint64_t>(from, std::uint64_t(limit) * 8);
    return kNotFound;
}

// The stream ends with the end magic, the stream CRC (the block's own, for
// a stream of one block) and 0-7 zero bits. The magic overlaps itself at
// no shift of 1-7 bits, so at most one padding width fits.
std::uint64_t lone_block_bits(const unsigned char* q, std::size_t size, std::uint32_t& crc) {
    if (size < 4 + 10 + 10 || read_bits(q, size, 32, 48) != kBlockMagic) return 0;
    crc = static_cast<std::uint32_t>(read_bits(q, size, 80, 32));
    const std::uint64_t total = std::uint64_t(size) * 8;
    for (unsigned pad = 0; pad < 8; ++pad) {
        std::uint64_t end = total - pad - 80;
        if (read_bits(q, size, end, 48) == kEndMagic && read_bits(q, size, end + 48, 32) == crc &&
            (q[size - 1] & ((1u << pad) - 1)) == 0)
            return end - 32;
    }
    return 0;
}

}  // namespace ondrel::codecs::detail
