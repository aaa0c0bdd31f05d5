// What the bzip2 writer, reader and block scanner share; for them alone.
#pragma once

#include <bzlib.h>

#include <cstddef>
#include <cstdint>

#include "internal.h"

namespace ondrel::codecs::detail {

// libbz2 return code -> CodecError.
[[noreturn]] void throw_bzip2_error(int code, const char* detail = nullptr);

// Zeroes `bz` and has libbz2 take its memory from a per-thread cache of
// blocks (the megabytes every stream allocates) rather than fresh pages.
void init_stream(bz_stream& bz);

inline std::uint64_t total_out(const bz_stream& bz) {
    return bz.total_out_lo32 | std::uint64_t(bz.total_out_hi32) << 32;
}

// Runs libbz2 through `call` (true to go on) into `out`, which starts at
// its current size and doubles when it runs short, and ends up holding all
// the stream's output.
template <class Call>
void pump(bz_stream& bz, Buffer& out, Call call) {
    for (;;) {
        std::size_t used = static_cast<std::size_t>(total_out(bz));
        if (out.size() - used < 4096) out.resize(out.size() * 2);
        bz.next_out = out.data() + used;
        bz.avail_out = static_cast<unsigned>(out.size() - used);
        if (!call()) break;
    }
    out.resize(static_cast<std::size_t>(total_out(bz)));
}

// The stream header, "BZh" and the level digit.
inline void put_stream_header(unsigned char* p, int level) {
    p[0] = 'B', p[1] = 'Z', p[2] = 'h', p[3] = static_cast<unsigned char>('0' + level);
}

constexpr std::uint64_t kBlockMagic = 0x314159265359;
constexpr std::uint64_t kEndMagic = 0x177245385090;

// `n` <= 56 bits from bit `bit` of p[0, size); bytes past the end read as zero.
std::uint64_t read_bits(const unsigned char* p, std::size_t size, std::uint64_t bit, unsigned n);

// The bit offset in d[0, size) of the first block or end magic number at
// or after bit `from`, or kNotFound, having moved `from` past what was
// looked at. A match needs the 8 bytes from its first to have arrived
// unless `final`, when the missing ones read as zero.
constexpr std::uint64_t kNotFound = ~std::uint64_t(0);
std::uint64_t find_magic(const unsigned char* d, std::size_t size, std::uint64_t& from, bool final);

// The length in bits of the one block of the stream q[0, size), which
// starts at bit 32, and its CRC; 0 if the stream is not a lone block.
std::uint64_t lone_block_bits(const unsigned char* q, std::size_t size, std::uint32_t& crc);

// The start of a stream that libbz2 reads as the stream whose block starts
// at a bit `bit` % 8 into its byte, whose earlier blocks have the combined
// CRC `combined`: the header, then (unless both are zero) a small block of
// its own whose CRC is `combined` and which ends `bit` % 8 bits into a
// byte. libbz2 then checks the stream's CRC at its end as it would from
// its first block; `skip` is how many bytes that block decodes to. With a
// `shift`, the last byte holds only that many bits, at its top, for the
// caller to complete with the stream's own.
Buffer resume_prefix(int level, unsigned shift, std::uint32_t combined, std::size_t& skip);

std::unique_ptr<Encoder> make_bzip2_encoder(int level);
std::unique_ptr<Decoder> make_bzip2_decoder();

}  // namespace ondrel::codecs::detail
