// gzip (RFC 1952) on top of zlib's deflate/inflate with the gzip wrapper.

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "internal.h"

namespace ondrel::codecs {
namespace detail {

void zlib_fail(const char* format, int code, const char* message) {
    std::string detail = message ? message : "";
    std::string text = std::string(format) + ": ";
    switch (code) {
    case Z_DATA_ERROR:
        // inflate reports a wrong magic number as a header check failure; at
        // the start of a member that simply means the input isn't this format.
        if (detail == "incorrect header check" || detail == "not a gzip header")
            text += std::string("not in ") + format + " format";
        else
            text += "corrupt data";
        break;
    case Z_BUF_ERROR:
        text += "unexpected end of input";
        if (detail.empty()) detail = "truncated file";
        break;
    case Z_MEM_ERROR:
        text += "out of memory";
        break;
    case Z_VERSION_ERROR:
        text += "incompatible zlib library version";
        break;
    case Z_STREAM_ERROR:
        text += "invalid parameter or stream state";
        break;
    case Z_NEED_DICT:
        text += "corrupt data";
        if (detail.empty()) detail = "preset dictionary required";
        break;
    default:
        text += "zlib error " + std::to_string(code);
        break;
    }
    if (!detail.empty()) text += " (" + detail + ")";
    throw CodecError(code, text);
}

namespace {

// deflateInit2/inflateInit2 window bits: 15 plus 16 selects the gzip wrapper
// with a header carrying no name, mtime 0 and the local OS code.
constexpr int kGzipWindow = 15 + 16;

class GzipEncoder : public Encoder {
public:
    explicit GzipEncoder(int level) : out_(new char[kChunk]) {
        std::memset(&zs_, 0, sizeof zs_);
        int rc = deflateInit2(&zs_, level, Z_DEFLATED, kGzipWindow, 8, Z_DEFAULT_STRATEGY);
        if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
    }
    ~GzipEncoder() override { deflateEnd(&zs_); }

    void update(const char* data, std::size_t size, Sink& out) override {
        while (size > 0) {
            std::size_t piece = std::min(size, kMaxFeed);
            zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
            zs_.avail_in = static_cast<uInt>(piece);
            run(Z_NO_FLUSH, out);
            data += piece;
            size -= piece;
        }
    }

    void finish(Sink& out) override {
        zs_.next_in = nullptr;
        zs_.avail_in = 0;
        run(Z_FINISH, out);
    }

private:
    void run(int flush, Sink& out) {
        for (;;) {
            zs_.next_out = reinterpret_cast<Bytef*>(out_.get());
            zs_.avail_out = static_cast<uInt>(kChunk);
            int rc = deflate(&zs_, flush);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                zlib_fail("gzip", rc, zs_.msg);
            std::size_t produced = kChunk - zs_.avail_out;
            if (produced) out.put(out_.get(), produced);
            if (rc == Z_STREAM_END) return;
            if (zs_.avail_out != 0 && zs_.avail_in == 0 && flush != Z_FINISH) return;
        }
    }

    z_stream zs_;
    std::unique_ptr<char[]> out_;
};

class GzipDecoder : public Decoder {
public:
    GzipDecoder() : out_(new char[kChunk]) {
        std::memset(&zs_, 0, sizeof zs_);
        int rc = inflateInit2(&zs_, kGzipWindow);
        if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
    }
    ~GzipDecoder() override { inflateEnd(&zs_); }

    void update(const char* data, std::size_t size, Sink& out) override {
        while (size > 0) {
            if (state_ == State::Padding || (state_ == State::Between && *data == 0)) {
                // gzip -d accepts zero bytes after the last member (tape
                // blocking and the like) but nothing else.
                state_ = State::Padding;
                if (std::any_of(data, data + size, [](char c) { return c != 0; }))
                    throw CodecError(Z_DATA_ERROR, "gzip: corrupt data (trailing garbage after compressed data)");
                return;
            }
            if (state_ == State::Between) {
                int rc = inflateReset(&zs_);
                if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
            }
            state_ = State::Member;
            std::size_t piece = std::min(size, kMaxFeed);
            zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
            zs_.avail_in = static_cast<uInt>(piece);
            bool ended = run(out);
            std::size_t used = piece - zs_.avail_in;
            data += used;
            size -= used;
            if (ended) {
                state_ = State::Between;
                ++members_;
            }
        }
    }

    void finish(Sink&) override {
        if (state_ == State::Start) zlib_fail("gzip", Z_BUF_ERROR, "empty input");
        if (state_ == State::Member)
            zlib_fail("gzip", Z_BUF_ERROR, members_ ? "truncated member" : "truncated file");
    }

private:
    enum class State { Start, Member, Between, Padding };

    // Inflates until the input is used up or the member ends; true on end.
    bool run(Sink& out) {
        for (;;) {
            zs_.next_out = reinterpret_cast<Bytef*>(out_.get());
            zs_.avail_out = static_cast<uInt>(kChunk);
            int rc = inflate(&zs_, Z_NO_FLUSH);
            std::size_t produced = kChunk - zs_.avail_out;
            if (produced) out.put(out_.get(), produced);
            if (rc == Z_STREAM_END) return true;
            if (rc == Z_BUF_ERROR) {
                // No progress possible: with output room to spare that just
                // means inflate wants more input.
                if (zs_.avail_in == 0) return false;
                zlib_fail("gzip", rc, zs_.msg);
            }
            if (rc == Z_DATA_ERROR && members_ > 0 && zs_.total_out == 0 && zs_.msg &&
                std::strcmp(zs_.msg, "incorrect header check") == 0)
                zlib_fail("gzip", rc, "trailing garbage after compressed data");
            if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
            if (zs_.avail_in == 0 && zs_.avail_out != 0) return false;
        }
    }

    z_stream zs_;
    std::unique_ptr<char[]> out_;
    State state_ = State::Start;
    unsigned long members_ = 0;
};

std::unique_ptr<Encoder> make_encoder(int level) {
    return std::make_unique<GzipEncoder>(resolve_level("gzip", level, 1, 9, 6));
}

std::unique_ptr<Decoder> make_decoder() { return std::make_unique<GzipDecoder>(); }

}  // namespace

const Codec gzip_codec = {"gzip", 6, make_encoder, make_decoder};

}  // namespace detail
}  // namespace ondrel::codecs
