// The legacy .lzma ("LZMA_Alone") format: a 13-byte header and one raw
// LZMA stream, no integrity check and no concatenation. liblzma writes the
// size as unknown and ends with an end-of-payload marker, as `lzma -c` does.

#include "internal.h"

namespace ondrel::codecs {
namespace detail {
namespace {

std::unique_ptr<Encoder> make_encoder(int level) {
    return make_lzma_encoder("lzma", true, resolve_level("lzma", level, 0, 9, 6));
}

std::unique_ptr<Decoder> make_decoder() { return make_lzma_decoder("lzma", true); }

}  // namespace

const Codec lzma_codec = {"lzma", make_encoder, make_decoder};

}  // namespace detail
}  // namespace ondrel::codecs
