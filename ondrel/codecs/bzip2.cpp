// bzip2 through libbz2's low-level stream interface.

#include <bzlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "internal.h"

namespace ondrel::codecs {
namespace detail {
namespace {

[[noreturn]] void bzip2_fail(int code, const char* detail = nullptr) {
    std::string text = "bzip2: ";
    switch (code) {
    case BZ_DATA_ERROR_MAGIC:
        text += "not in bzip2 format";
        if (!detail) detail = "bad magic number";
        break;
    case BZ_DATA_ERROR:
        text += "corrupt data";
        if (!detail) detail = "integrity check failed";
        break;
    case BZ_UNEXPECTED_EOF:
        text += "unexpected end of input";
        if (!detail) detail = "truncated file";
        break;
    case BZ_MEM_ERROR:
        text += "out of memory";
        break;
    case BZ_PARAM_ERROR:
        text += "invalid parameter";
        break;
    case BZ_CONFIG_ERROR:
        text += "libbz2 was miscompiled for this platform";
        break;
    case BZ_SEQUENCE_ERROR:
        text += "invalid stream state";
        break;
    default:
        text += "libbz2 error " + std::to_string(code);
        break;
    }
    if (detail) text += std::string(" (") + detail + ")";
    throw CodecError(code, text);
}

class Bzip2Encoder : public Encoder {
public:
    explicit Bzip2Encoder(int level) : out_(new char[kChunk]) {
        std::memset(&bz_, 0, sizeof bz_);
        int rc = BZ2_bzCompressInit(&bz_, level, 0, 0);
        if (rc != BZ_OK) bzip2_fail(rc);
    }
    ~Bzip2Encoder() override { BZ2_bzCompressEnd(&bz_); }

    void update(const char* data, std::size_t size, Sink& out) override {
        while (size > 0) {
            std::size_t piece = std::min(size, kMaxFeed);
            bz_.next_in = const_cast<char*>(data);
            bz_.avail_in = static_cast<unsigned>(piece);
            while (bz_.avail_in > 0) {
                bz_.next_out = out_.get();
                bz_.avail_out = static_cast<unsigned>(kChunk);
                int rc = BZ2_bzCompress(&bz_, BZ_RUN);
                if (rc != BZ_RUN_OK) bzip2_fail(rc);
                emit(out);
            }
            data += piece;
            size -= piece;
        }
    }

    void finish(Sink& out) override {
        bz_.next_in = nullptr;
        bz_.avail_in = 0;
        for (;;) {
            bz_.next_out = out_.get();
            bz_.avail_out = static_cast<unsigned>(kChunk);
            int rc = BZ2_bzCompress(&bz_, BZ_FINISH);
            if (rc != BZ_FINISH_OK && rc != BZ_STREAM_END) bzip2_fail(rc);
            emit(out);
            if (rc == BZ_STREAM_END) return;
        }
    }

private:
    void emit(Sink& out) {
        std::size_t produced = kChunk - bz_.avail_out;
        if (produced) out.put(out_.get(), produced);
    }

    bz_stream bz_;
    std::unique_ptr<char[]> out_;
};

// bzip2 -d decodes streams written back to back (e.g. by pbzip2 or `cat`),
// so a stream end only means "another stream may follow".
class Bzip2Decoder : public Decoder {
public:
    Bzip2Decoder() : out_(new char[kChunk]) { start(); }
    ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&bz_); }

    void update(const char* data, std::size_t size, Sink& out) override {
        while (size > 0) {
            if (padding_ || (!open_ && *data == 0)) {
                // Zero bytes after the last stream (block-padded media) are
                // tolerated, as bzip2 -d does; anything else is rejected.
                padding_ = true;
                if (std::any_of(data, data + size, [](char c) { return c != 0; }))
                    bzip2_fail(BZ_DATA_ERROR, "trailing garbage after compressed data");
                return;
            }
            if (!open_) {
                BZ2_bzDecompressEnd(&bz_);
                start();
            }
            std::size_t piece = std::min(size, kMaxFeed);
            bz_.next_in = const_cast<char*>(data);
            bz_.avail_in = static_cast<unsigned>(piece);
            started_ = true;
            run(out);
            std::size_t used = piece - bz_.avail_in;
            data += used;
            size -= used;
        }
    }

    void finish(Sink&) override {
        if (started_) bzip2_fail(BZ_UNEXPECTED_EOF, streams_ ? "truncated stream" : "truncated file");
        if (streams_ == 0) bzip2_fail(BZ_UNEXPECTED_EOF, "empty input");
    }

private:
    void start() {
        std::memset(&bz_, 0, sizeof bz_);
        int rc = BZ2_bzDecompressInit(&bz_, 0, 0);
        if (rc != BZ_OK) bzip2_fail(rc);
        open_ = true;
        started_ = false;
    }

    void run(Sink& out) {
        for (;;) {
            bz_.next_out = out_.get();
            bz_.avail_out = static_cast<unsigned>(kChunk);
            int rc = BZ2_bzDecompress(&bz_);
            std::size_t produced = kChunk - bz_.avail_out;
            if (produced) out.put(out_.get(), produced);
            if (rc == BZ_STREAM_END) {
                open_ = false;
                started_ = false;
                ++streams_;
                return;
            }
            if (rc == BZ_DATA_ERROR_MAGIC && streams_ > 0)
                bzip2_fail(BZ_DATA_ERROR, "trailing garbage after compressed data");
            if (rc != BZ_OK) bzip2_fail(rc);
            // libbz2 holds back a decoded block, so an exactly full output
            // buffer can mean more is pending even with no input left.
            if (bz_.avail_in == 0 && bz_.avail_out != 0) return;
        }
    }

    bz_stream bz_;
    std::unique_ptr<char[]> out_;
    bool open_ = false;
    bool started_ = false;
    bool padding_ = false;
    unsigned long streams_ = 0;
};

std::unique_ptr<Encoder> make_encoder(int level) {
    return std::make_unique<Bzip2Encoder>(resolve_level("bzip2", level, 1, 9, 9));
}

std::unique_ptr<Decoder> make_decoder() { return std::make_unique<Bzip2Decoder>(); }

}  // namespace

const Codec bzip2_codec = {"bzip2", 9, make_encoder, make_decoder};

}  // namespace detail
}  // namespace ondrel::codecs
