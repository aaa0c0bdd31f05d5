// liblzma streams: the .xz container here, and the shared driver that the
// legacy .lzma filter reuses.

#include <lzma.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "internal.h"

namespace ondrel::codecs {
namespace detail {

void throw_lzma_error(const char* format, int code, const char* detail) {
    throw_library_error(format, code, detail,
                 {{LZMA_FORMAT_ERROR, nullptr, "unrecognised header"}, {LZMA_DATA_ERROR, "corrupt data", nullptr},
                  {LZMA_BUF_ERROR, "unexpected end of input", "truncated file"},
                  {LZMA_OPTIONS_ERROR, "unsupported options", nullptr},
                  {LZMA_UNSUPPORTED_CHECK, "unsupported integrity check", nullptr},
                  {LZMA_MEM_ERROR, "out of memory", nullptr}, {LZMA_MEMLIMIT_ERROR, "memory usage limit reached", nullptr},
                  {LZMA_PROG_ERROR, "invalid parameter or stream state", nullptr}},
                 "liblzma", LZMA_MEM_ERROR);
}

namespace {

// Input per .xz block: two dictionaries rather than liblzma's three, so a
// file of a few tens of megabytes has blocks for two workers to share.
// Shorter blocks would balance better but every restart of the model
// costs: with one dictionary per block output grows by several percent.
std::uint64_t block_size(int preset) {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, static_cast<std::uint32_t>(preset))) return 0;
    return std::max<std::uint64_t>(std::uint64_t(options.dict_size) * 2, std::uint64_t(1) << 20);
}

std::atomic<std::uint64_t> memory_limit{std::uint64_t(1600) << 20};

lzma_mt decoder_options() {
    lzma_mt mt{};
    mt.threads = Pipeline::threads();
    mt.flags = LZMA_CONCATENATED;
    mt.timeout = kWaitSlice;
    // Above this much memory for decoding side by side, liblzma decodes one
    // block at a time instead; only a file needing more than the limit
    // for a single block is refused.
    mt.memlimit_stop = memory_limit.load(std::memory_order_relaxed);
    mt.memlimit_threading =
        std::min(mt.memlimit_stop, std::max<std::uint64_t>(lzma_physmem() / 4, std::uint64_t(256) << 20));
    return mt;
}

std::string mebibytes(std::uint64_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

// Common loop for both directions: liblzma uses the same lzma_code() call
// for encoding and decoding, only the initialisation differs.
class LzmaStream {
public:
    explicit LzmaStream(const char* format) : format_(format), out_(kChunk) {}
    ~LzmaStream() {
        if (!orphaned()) lzma_end(&strm_);
    }

    // `threaded`: the coder runs threads of its own, which it starts on its
    // first input.
    void check_init(lzma_ret rc, bool threaded = false) {
        if (rc != LZMA_OK) throw_lzma_error(format_, rc);
        threaded_ = threaded;
    }

    // Returns true once the stream has ended.
    bool feed(const char* data, std::size_t size, Sink& out) {
        strm_.next_in = reinterpret_cast<const std::uint8_t*>(data);
        strm_.avail_in = size;
        return run(LZMA_RUN, out);
    }

    bool end(Sink& out) {
        strm_.next_in = nullptr;
        strm_.avail_in = 0;
        return run(LZMA_FINISH, out);
    }

    std::size_t unused() const { return strm_.avail_in; }
    lzma_stream& raw() { return strm_; }
    const char* format() const { return format_; }

private:
    // A threaded coder that had work before this process was forked off:
    // its threads stayed in the parent, so it can neither go on (it would
    // wait for them) nor be ended (lzma_end() takes locks they may have
    // held at the fork and joins them). Its memory is left as it is, still
    // shared with the parent's copy.
    bool orphaned() const { return started_ && generation_ != workers::generation(); }

    bool run(lzma_action action, Sink& out) {
        if (orphaned())
            throw CodecError(std::string(format_) +
                             ": a stream begun before fork() cannot go on in the child "
                             "(liblzma's threads for it stayed in the parent)");
        if (threaded_ && !started_) {
            started_ = true;
            generation_ = workers::generation();
        }
        const std::uint8_t* before = nullptr;
        auto code = [&] {
            before = strm_.next_in;
            return lzma_code(&strm_, action);
        };
        auto ended = [&](lzma_ret rc) {
            if (rc == LZMA_STREAM_END) return true;
            // The threaded coders give up after a time slice with nothing
            // done while their threads work on; the caller gets its turn.
            if (rc == LZMA_OK && strm_.avail_out == kChunk && strm_.next_in == before) waiting();
            if (rc == LZMA_MEMLIMIT_ERROR) {
                std::string need = "the data needs " + mebibytes(lzma_memusage(&strm_)) + ", the limit is " +
                                   mebibytes(lzma_memlimit_get(&strm_));
                throw_lzma_error(format_, rc, need.c_str());
            }
            if (rc != LZMA_OK) throw_lzma_error(format_, rc);
            return false;
        };
        return drive(strm_, out_.data(), out, code, ended, action != LZMA_RUN);
    }

    const char* format_;
    lzma_stream strm_ = LZMA_STREAM_INIT;
    Buffer out_;
    bool threaded_ = false;
    bool started_ = false;  // threaded, and its threads may have started
    unsigned long generation_ = 0;  // workers::generation() then
};

class LzmaEncoder : public Encoder {
public:
    LzmaEncoder(const char* format, bool alone, int preset) : stream_(format) {
        if (alone) {
            lzma_options_lzma options;
            if (lzma_lzma_preset(&options, static_cast<std::uint32_t>(preset)))
                throw_lzma_error(format, LZMA_OPTIONS_ERROR);
            stream_.check_init(lzma_alone_encoder(&stream_.raw(), &options));
        } else {
            // Blocks of a few megabytes, compressed side by side: the
            // dictionary restarting at each costs little next to the time
            // won, and every block header records the sizes the reader
            // needs to decode blocks side by side too.
            lzma_mt mt{};
            mt.threads = Pipeline::threads();
            mt.preset = static_cast<std::uint32_t>(preset);
            mt.check = LZMA_CHECK_CRC64;
            mt.block_size = block_size(preset);
            mt.timeout = kWaitSlice;
            stream_.check_init(lzma_stream_encoder_mt(&stream_.raw(), &mt), true);
        }
    }

    void update(const char* data, std::size_t size, Sink& out) override {
        if (size) stream_.feed(data, size, out);
    }

    void finish(Sink& out) override { stream_.end(out); }

private:
    LzmaStream stream_;
};

class LzmaDecoder : public Decoder {
public:
    LzmaDecoder(const char* format, bool alone) : stream_(format), alone_(alone) {
        if (alone) {
            stream_.check_init(lzma_alone_decoder(&stream_.raw(), memory_limit.load(std::memory_order_relaxed)));
        } else {
            const lzma_mt options = decoder_options();
            stream_.check_init(lzma_stream_decoder_mt(&stream_.raw(), &options), true);
        }
    }

    void update(const char* data, std::size_t size, Sink& out) override {
        if (size == 0) return;
        seen_input_ = true;
        if (!alone_) return pass(data, size, out);
        // A .lzma stream that states its size ends when that much is out,
        // and liblzma (5.4) then judges the bytes after it differently when
        // its input happens to stop within a few bytes of the end: damaged
        // data passed or failed by where a read ended. Holding the last
        // bytes back until more arrive (or finish) keeps every such decision
        // on the same input a single read of the whole file would give.
        if (size >= kTail) {
            pass(held_.data(), held_.size(), out);
            pass(data, size - kTail, out);
            held_.assign(data + size - kTail, kTail);
        } else {
            held_.append(data, size);
            if (held_.size() > kTail) {
                const std::size_t extra = held_.size() - kTail;
                pass(held_.data(), extra, out);
                held_.erase(0, extra);
            }
        }
    }

    void finish(Sink& out) override {
        if (!seen_input_) throw_lzma_error(stream_.format(), LZMA_BUF_ERROR, "empty input");
        pass(held_.data(), held_.size(), out);
        held_.clear();
        if (ended_) return;
        // Anything short of a clean end under LZMA_FINISH is a cut-off file;
        // liblzma reports that as LZMA_BUF_ERROR through throw_lzma_error.
        if (!stream_.end(out)) throw_lzma_error(stream_.format(), LZMA_BUF_ERROR);
    }

private:
    static constexpr std::size_t kTail = 16;

    void pass(const char* data, std::size_t size, Sink& out) {
        if (size == 0) return;
        if (ended_) trailing_garbage(stream_.format());
        if (stream_.feed(data, size, out)) {
            ended_ = true;
            // Only the legacy format can end here: .xz decoding with
            // LZMA_CONCATENATED waits for LZMA_FINISH.
            if (stream_.unused()) trailing_garbage(stream_.format());
        }
    }

    LzmaStream stream_;
    std::string held_;  // .lzma only: the input's last bytes, not yet passed on
    bool alone_;
    bool ended_ = false;
    bool seen_input_ = false;
};

std::unique_ptr<Encoder> make_encoder(int level) {
    return make_lzma_encoder("xz", false, resolve_level("xz", level, 0, 9, 6));
}

std::unique_ptr<Decoder> make_decoder() { return make_lzma_decoder("xz", false); }

}  // namespace

std::unique_ptr<Encoder> make_lzma_encoder(const char* format, bool alone, int preset) {
    return std::make_unique<LzmaEncoder>(format, alone, preset);
}

std::unique_ptr<Decoder> make_lzma_decoder(const char* format, bool alone) {
    return std::make_unique<LzmaDecoder>(format, alone);
}

const Codec xz_codec = {"xz", make_encoder, make_decoder};

}  // namespace detail

std::uint64_t decoder_memory_limit() { return detail::memory_limit.load(std::memory_order_relaxed); }

void set_decoder_memory_limit(std::uint64_t bytes) { detail::memory_limit.store(bytes, std::memory_order_relaxed); }

}  // namespace ondrel::codecs
