// Shared plumbing for the codec sources; not part of the public interface.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "codec.h"
#include "ondrel/workers/buffer.h"
#include "ondrel/workers/pipeline.h"

namespace ondrel::codecs::detail {

using workers::Buffer;
using workers::Job;
using workers::kWaitSlice;
using workers::Pipeline;
using workers::waiting;

// Output is handed to the sink in pieces of this size so memory stays
// bounded however large the stream grows.
constexpr std::size_t kChunk = 128 * 1024;

// Feeding libraries whose length fields are 32-bit: split any larger
// buffer so a size_t never gets truncated on its way in.
constexpr std::size_t kMaxFeed = std::size_t(1) << 30;

// Where our writers cut a stream into units for the workers. Tests and
// fuzz targets shrink them so that paths which otherwise take megabytes of
// input run on a few kilobytes. Each codec object reads them once, when it
// is made; change them only while no other thread is making one.
struct Sizes {
    std::size_t gzip_member = std::size_t(1) << 20;     // input per gzip member
    std::size_t lzop_block = 256 * 1024;                // input per lzop block
    std::size_t lzop_blocks_per_job = 4;                // lzop blocks a worker takes at once
};
Sizes& sizes();

extern const Codec gzip_codec;
extern const Codec bzip2_codec;
extern const Codec lzop_codec;
extern const Codec xz_codec;
extern const Codec lzma_codec;

// Maps a caller's level (negative meaning "the tool's default") onto the
// codec's accepted range, throwing CodecError for anything outside it.
int resolve_level(const char* codec, int level, int lowest, int highest, int fallback);

// zlib return code -> CodecError; shared by the gzip filter and the bare
// zlib stream helpers so both describe failures the same way. `message` is
// zlib's own explanation (z_stream::msg), possibly null. Defined in gzip.cpp.
[[noreturn]] void zlib_fail(const char* format, int code, const char* message);

// liblzma return code -> CodecError, shared by the .xz and .lzma filters.
[[noreturn]] void lzma_fail(const char* format, int code, const char* detail = nullptr);

// One liblzma stream driven as encoder or decoder; `alone` selects the
// legacy .lzma container instead of .xz. Defined in xz.cpp.
std::unique_ptr<Encoder> make_lzma_encoder(const char* format, bool alone, int preset);
std::unique_ptr<Decoder> make_lzma_decoder(const char* format, bool alone);

}  // namespace ondrel::codecs::detail
