// Compress, decompress, compare, for every filter. The first byte picks the
// filter and level, the second how the encoder and decoder input is cut.
#include "fuzz/fuzz.h"
#include "ondrel/codecs/internal.h"

using namespace ondrel::codecs;

// Filter and levels; xz/lzma presets above 3 cost ~100 MB per run.
static constexpr struct {
    const char* name;
    int lowest, highest;
} kChoices[] = {{"gzip", 1, 9}, {"bzip2", 1, 9}, {"lzop", 1, 9}, {"xz", 0, 3}, {"lzma", 0, 3}};

// Units of a few hundred bytes, so that the writers cut even small inputs
// into several members, blocks and jobs, some taken straight from the
// caller's buffer.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    auto& sizes = detail::sizes();
    sizes.gzip_member = 512;
    sizes.lzop_block = 256;
    sizes.lzop_blocks_per_job = 2;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const auto& choice = kChoices[data[0] % 5];
    const int span = choice.highest - choice.lowest + 1;
    const int level = data[0] / 5 % (span + 1) == 0 ? -1 : choice.lowest + data[0] / 5 % (span + 1) - 1;
    const std::size_t step = 1u + data[1] % 97u * 13u;
    const std::size_t split = data[1] * 3u;
    data += 2;
    size -= 2;
    const Codec* codec = find_codec(choice.name);
    if (!codec) fuzz::die("codec missing from this build");

    const fuzz::Result packed = fuzz::run(*codec->encoder(level), data, size, split, step);
    if (packed.kind != fuzz::Result::ok) fuzz::die("encoding failed");
    const auto back = fuzz::run(*codec->decoder(), reinterpret_cast<const std::uint8_t*>(packed.out.data()),
                                packed.out.size(), split, step);
    if (back.kind != fuzz::Result::ok) fuzz::die("decoding our own output failed");
    if (back.out != std::string(reinterpret_cast<const char*>(data), size))
        fuzz::die("round trip changed the data");
    return 0;
}
