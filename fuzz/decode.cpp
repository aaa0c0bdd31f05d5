// Decoder target for one filter (FUZZ_CODEC, set by the build). The input
// is decoded whole and again in pieces (first two bytes choose the split
// point and the piece size); both must agree, so a streaming path that
// loses or invents bytes at a buffer boundary is caught, not only crashes.
#include "fuzz/fuzz.h"
#include "ondrel/codecs/internal.h"

#ifndef FUZZ_CODEC
#error "build with -DFUZZ_CODEC=\"gzip\" (or bzip2, lzop, xz, lzma)"
#endif

using namespace ondrel::codecs;

// xz and lzma headers name the dictionary to allocate, which under ASan
// costs far more than decoding: the cap keeps mutated headers cheap (the
// default limit is the unit tests' business). One lzop block per worker's
// job sends inputs of a few kilobytes down the paths of large files.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_decoder_memory_limit(std::uint64_t(4) << 20);
    detail::sizes().lzop_blocks_per_job = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Codec* codec = find_codec(FUZZ_CODEC);
    if (!codec) fuzz::die("codec missing from this build");
    if (size < 2) return 0;
    const std::size_t split = data[0] * 7u;
    const std::size_t step = 1u + data[1] % 64u * (data[1] & 0x80 ? 61u : 1u);
    data += 2;
    size -= 2;

    const fuzz::Result whole = fuzz::run(*codec->decoder(), data, size, 0, 0);
    const fuzz::Result pieces = fuzz::run(*codec->decoder(), data, size, split, step);
    if (whole.kind == fuzz::Result::too_big || pieces.kind == fuzz::Result::too_big) return 0;
    if (!(whole == pieces)) fuzz::die("whole and piecewise decoding disagree");
    return 0;
}
