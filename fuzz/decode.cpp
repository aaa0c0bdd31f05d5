// Decoder target for one filter (FUZZ_CODEC, set by the build). The input
// is decoded whole and again in pieces (first two bytes choose the split
// point and the piece size); both must agree, so a streaming path that
// loses or invents bytes at a buffer boundary is caught, not only crashes.
// bzip2 is also read by libbz2 alone, stream after stream, which the reader
// must match exactly however its scanner cuts the blocks; gzip by zlib
// alone, whose verdict ours must match.
#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <string_view>

#include "fuzz/fuzz.h"
#include "ondrel/codecs/internal.h"

#ifndef FUZZ_CODEC
#error "build with -DFUZZ_CODEC=\"gzip\" (or bzip2, lzop, xz, lzma)"
#endif

using namespace ondrel::codecs;

// bzip2 blocks can grow fifty-fold, and each input here is read up to five
// times (a block on a worker and libbz2 after it fails, whole and in pieces,
// then libbz2 alone): output is collected to 1 MiB, and a block that makes
// more than 128 KiB is left to libbz2, above any seed's (at -1, 100 kB a
// block), so that a mutated bomb costs milliseconds and not a second.
constexpr bool kBzip2 = std::string_view(FUZZ_CODEC) == "bzip2";
constexpr std::size_t kMost = kBzip2 ? std::size_t(1) << 20 : fuzz::kMaxOutput;

// xz and lzma headers name the dictionary to allocate, which under ASan
// costs far more than decoding: the cap keeps mutated headers cheap (the
// default limit is the unit tests' business). One lzop block per worker's
// job sends inputs of a few kilobytes down the paths of large files.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_decoder_memory_limit(std::uint64_t(4) << 20);
    detail::sizes().lzop_blocks_per_job = 1;
    if (kBzip2) detail::sizes().bzip2_block_output = std::size_t(128) << 10;
    return 0;
}

// Streams back to back, and zeros only after the last; output capped as run() caps it.
static fuzz::Result bzip2_plainly(const std::uint8_t* data, std::size_t size) {
    std::string out;
    std::size_t at = 0;
    for (bool first = true;; first = false) {
        if (!first && std::all_of(data + at, data + size, [](std::uint8_t c) { return c == 0; }))
            return {fuzz::Result::ok, std::move(out)};
        if (!first && data[at] == 0) return {fuzz::Result::codec_error, {}};
        // libbz2's megabytes per stream from the store the codecs use: under
        // ASan fresh ones cost this target more than all the decoding.
        bz_stream bz = {};
        bz.bzalloc = [](void*, int n, int m) { return ondrel::workers::allocate_unsized(std::size_t(n) * m); };
        bz.bzfree = [](void*, void* p) { ondrel::workers::release_unsized(p); };
        if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) fuzz::die("libbz2 would not start");
        bz.next_in = const_cast<char*>(reinterpret_cast<const char*>(data + at));
        bz.avail_in = static_cast<unsigned>(size - at);
        char buffer[1 << 16];
        int rc;
        do {
            bz.next_out = buffer;
            bz.avail_out = sizeof buffer;
            rc = BZ2_bzDecompress(&bz);
            out.append(buffer, sizeof buffer - bz.avail_out);
        } while (rc == BZ_OK && (bz.avail_in > 0 || bz.avail_out == 0) && out.size() <= kMost);
        at = size - bz.avail_in;
        BZ2_bzDecompressEnd(&bz);
        if (out.size() > kMost) return {fuzz::Result::too_big, {}};
        if (rc != BZ_STREAM_END) return {fuzz::Result::codec_error, {}};
    }
}

// gzip's verdict through zlib alone: members one after another, then
// nothing or zero bytes. Our reader cuts members by a size field, hands
// them to libdeflate and streams the rest; whichever way a member goes,
// the file must be read as this reads it.
static fuzz::Result zlib_gzip(const std::uint8_t* data, std::size_t size) {
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) fuzz::die("inflateInit2 failed");
    fuzz::Result r{fuzz::Result::ok, {}};
    std::size_t at = 0, members = 0;
    while (at < size && r.kind == fuzz::Result::ok) {
        if (members && data[at] == 0) {
            if (!std::all_of(data + at, data + size, [](std::uint8_t c) { return c == 0; })) r.kind = fuzz::Result::codec_error;
            break;
        }
        inflateReset(&zs);
        zs.next_in = const_cast<Bytef*>(data + at);
        zs.avail_in = static_cast<uInt>(size - at);
        int rc;
        do {
            char buffer[1 << 16];
            zs.next_out = reinterpret_cast<Bytef*>(buffer);
            zs.avail_out = sizeof buffer;
            rc = inflate(&zs, Z_NO_FLUSH);
            r.out.append(buffer, sizeof buffer - zs.avail_out);
            if (r.out.size() > fuzz::kMaxOutput) r.kind = fuzz::Result::too_big;
        } while (rc == Z_OK && r.kind == fuzz::Result::ok);
        if (r.kind == fuzz::Result::ok && rc != Z_STREAM_END) r.kind = fuzz::Result::codec_error;
        at = size - zs.avail_in;
        ++members;
    }
    inflateEnd(&zs);
    if (!members) r.kind = fuzz::Result::codec_error;
    if (r.kind != fuzz::Result::ok) r.out.clear();
    return r;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Codec* codec = find_codec(FUZZ_CODEC);
    if (!codec) fuzz::die("codec missing from this build");
    if (size < 2) return 0;
    const std::size_t split = data[0] * 7u;
    const std::size_t step = 1u + data[1] % 64u * (data[1] & 0x80 ? 61u : 1u);
    data += 2;
    size -= 2;

    const fuzz::Result whole = fuzz::run(*codec->decoder(), data, size, 0, 0, kMost);
    const fuzz::Result pieces = fuzz::run(*codec->decoder(), data, size, split, step, kMost);
    if (whole.kind == fuzz::Result::too_big || pieces.kind == fuzz::Result::too_big) return 0;
    if (!(whole == pieces)) fuzz::die("whole and piecewise decoding disagree");
    if (std::string_view(FUZZ_CODEC) == "bzip2") {
        const fuzz::Result plain = bzip2_plainly(data, size);
        if (plain.kind != fuzz::Result::too_big && !(plain == whole)) fuzz::die("libbz2 alone reads it otherwise");
    }
    if (std::string_view(FUZZ_CODEC) == "gzip") {
        const fuzz::Result zlib = zlib_gzip(data, size);
        if (zlib.kind != fuzz::Result::too_big && !(whole == zlib)) fuzz::die("gzip reader and zlib disagree");
    }
    return 0;
}
