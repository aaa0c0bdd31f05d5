// Shared plumbing for the codec sources; not part of the public interface.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>

#include "codec.h"
#include "ondrel/workers/buffer.h"
#include "ondrel/workers/pipeline.h"

struct z_stream_s;

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

// Hands `data` on in kChunk pieces.
inline void emit(const char* data, std::size_t size, Sink& out) {
    while (size > 0) {
        std::size_t piece = std::min(size, kChunk);
        out.put(data, piece);
        data += piece;
        size -= piece;
    }
}

// Where our writers cut a stream into units for the workers. Tests and
// fuzz targets shrink them so that paths which otherwise take megabytes of
// input run on a few kilobytes. Each codec object reads them once, when it
// is made; change them only while no other thread is making one.
struct Sizes {
    std::size_t gzip_member = std::size_t(1) << 20;     // input per gzip member
    std::size_t lzop_block = 256 * 1024;                // input per lzop block
    std::size_t lzop_blocks_per_job = 4;                // lzop blocks a worker takes at once
    // Output past which a bzip2 block is left to libbz2 reading its stream,
    // as a block that fails is: a fuzz target's bombs then cost no more
    // than the output it collects.
    std::size_t bzip2_block_output = ~std::size_t(0);
};
Sizes& sizes();

// The decoder factory of a Codec entry.
template <class D>
std::unique_ptr<Decoder> make_decoder() {
    return std::make_unique<D>();
}

extern const Codec gzip_codec;
extern const Codec bzip2_codec;
extern const Codec lzop_codec;
extern const Codec xz_codec;
extern const Codec lzma_codec;

// Maps a caller's level (negative meaning "the tool's default") onto the
// codec's accepted range, throwing CodecError for anything outside it.
int resolve_level(const char* codec, int level, int lowest, int highest, int fallback);

// Data after the last member or stream: zero bytes (tape blocking and the
// like) are accepted there, as the command-line tools accept them, and
// anything else is trailing garbage.
[[noreturn]] void trailing_garbage(const char* format);
void check_padding(const char* format, const unsigned char* p, std::size_t n);

// The loop every streaming library here is driven by: output through
// `buffer` (kChunk bytes) to `out` until the library has used all its input
// and has room to spare, or the stream ends. `code()` calls the library
// once and returns its return code; `ended(rc)` then says whether the
// stream is over, throwing on failure, after the output the call made has
// gone to the sink. `finishing` keeps going past empty input, for a
// library that is flushing. Returns true once the stream has ended.
template <class Stream, class Code, class Ended>
bool drive(Stream& s, char* buffer, Sink& out, Code code, Ended ended, bool finishing = false) {
    for (;;) {
        s.next_out = reinterpret_cast<decltype(s.next_out)>(buffer);
        s.avail_out = static_cast<decltype(s.avail_out)>(kChunk);
        auto rc = code();
        std::size_t produced = kChunk - s.avail_out;
        if (produced) out.put(buffer, produced);
        if (ended(rc)) return true;
        if (!finishing && s.avail_in == 0 && s.avail_out != 0) return false;
    }
}

// Hands `data` to `s` in pieces its 32-bit length fields can hold, calling
// `drive()` after each, until all is used or drive() says the stream has
// ended (`ended`). Returns how much of `data` was used.
template <class Stream, class Drive>
std::size_t feed_pieces(Stream& s, const void* data, std::size_t size, bool& ended, Drive drive) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t used = 0;
    ended = false;
    while (used < size && !ended) {
        std::size_t piece = std::min(size - used, kMaxFeed);
        s.next_in = reinterpret_cast<decltype(s.next_in)>(const_cast<unsigned char*>(bytes + used));
        s.avail_in = static_cast<decltype(s.avail_in)>(piece);
        ended = drive();
        used += piece - s.avail_in;
    }
    return used;
}

// What a library's return code means: the text after "<format>: " (null
// for "not in <format> format"), and the detail to add in parentheses when
// the caller has none.
struct Meaning {
    int code;
    const char* what;
    const char* detail;
};

// Throws the CodecError for `code` (OutOfMemory if it is `no_memory`); a
// code not in `meanings` is "<library> error <code>".
[[noreturn]] void throw_library_error(const char* format, int code, const char* detail,
                               std::initializer_list<Meaning> meanings, const char* library, int no_memory);

// zlib return code -> CodecError; shared by the gzip filter and the bare
// zlib stream helpers so both describe failures the same way. `message` is
// zlib's own explanation (z_stream::msg), possibly null. Defined in gzip.cpp.
[[noreturn]] void throw_zlib_error(const char* format, int code, const char* message);

// What inflate() returning `rc` means for a drive() loop over `zs`.
bool inflate_ended(const char* format, int rc, const z_stream_s& zs);

// liblzma return code -> CodecError, shared by the .xz and .lzma filters.
[[noreturn]] void throw_lzma_error(const char* format, int code, const char* detail = nullptr);

// One liblzma stream driven as encoder or decoder; `alone` selects the
// legacy .lzma container instead of .xz. Defined in xz.cpp.
std::unique_ptr<Encoder> make_lzma_encoder(const char* format, bool alone, int preset);
std::unique_ptr<Decoder> make_lzma_decoder(const char* format, bool alone);

}  // namespace ondrel::codecs::detail
