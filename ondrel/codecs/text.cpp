// Base64 and bare zlib streams for bstream.

#include "text.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "internal.h"

namespace ondrel::codecs {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLine = 76;  // characters per line, as MIME mandates

[[noreturn]] void throw_base64_error(const std::string& why) {
    throw CodecError("base64: invalid input (" + why + ")");
}

int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Characters gathered a few kilobytes at a time on their way to a sink.
class Staged {
public:
    explicit Staged(Sink& out) : out_(out) {}
    void push_back(char c) {
        if (used_ == sizeof buffer_) flush();
        buffer_[used_++] = c;
    }
    void flush() {
        if (used_) out_.put(buffer_, used_);
        used_ = 0;
    }

private:
    Sink& out_;
    char buffer_[16 * 1024];
    std::size_t used_ = 0;
};

template <class Transform>
std::string to_string(Transform transform) {
    std::string out;
    StringSink sink(out);
    transform(sink);
    return out;
}

}  // namespace

void base64_encode(std::string_view data, Sink& sink) {
    std::size_t groups = data.size() / 3 + (data.size() % 3 != 0);
    if (groups > (SIZE_MAX - 1) / 5) throw CodecError("base64: input too large");
    Staged out(sink);
    std::size_t column = 0;
    auto put = [&](char c) {
        out.push_back(c);
        if (++column == kLine) {
            out.push_back('\n');
            column = 0;
        }
    };
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        put(kAlphabet[v >> 18]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
        put(kAlphabet[v & 63]);
    }
    if (i < n) {
        std::uint32_t v = p[i] << 16;
        if (i + 1 < n) v |= p[i + 1] << 8;
        put(kAlphabet[v >> 18]);
        put(kAlphabet[(v >> 12) & 63]);
        put(i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=');
        put('=');
    }
    if (column != 0) out.push_back('\n');
    out.flush();
}

void base64_decode(std::string_view text, Sink& sink) {
    Staged out(sink);
    std::uint32_t acc = 0;
    int have = 0;     // sextets in the current group
    int padding = 0;  // '=' seen; once non-zero only more '=' may follow
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\r') continue;
        if (c == '=') {
            // Padding only completes a group that already holds 2 or 3
            // sextets, and never more than the group needs.
            if (have + padding < 2 || have + padding >= 4) throw_base64_error("misplaced padding");
            ++padding;
            if (have + padding == 4) {
                if (have == 2) out.push_back(static_cast<char>(acc >> 4));
                else {
                    out.push_back(static_cast<char>(acc >> 10));
                    out.push_back(static_cast<char>(acc >> 2));
                }
            }
            continue;
        }
        int v = sextet(c);
        if (v < 0) throw_base64_error("character " + std::to_string(c) + " at offset " + std::to_string(i));
        if (padding) throw_base64_error("data after padding");
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        if (++have == 4) {
            out.push_back(static_cast<char>(acc >> 16));
            out.push_back(static_cast<char>(acc >> 8));
            out.push_back(static_cast<char>(acc));
            acc = 0;
            have = 0;
        }
    }
    if (padding ? have + padding != 4 : have != 0) throw_base64_error("incomplete final group");
    out.flush();
}

void zlib_encode(std::string_view data, int level, Sink& out) {
    if (level < -1 || level > 9)
        throw CodecError("zlib: invalid compression level " + std::to_string(level) + " (expected 0-9)");
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    int rc = deflateInit(&zs, level);
    if (rc != Z_OK) detail::throw_zlib_error("zlib", rc, zs.msg);
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&zs, deflateEnd);
    const char* in = data.data();
    std::size_t left = data.size();
    std::unique_ptr<char[]> buf(new char[detail::kChunk]);
    for (;;) {
        std::size_t piece = std::min(left, detail::kMaxFeed);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
        zs.avail_in = static_cast<uInt>(piece);
        int flush = piece == left ? Z_FINISH : Z_NO_FLUSH;
        auto ended = [&](int rc) {
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) detail::throw_zlib_error("zlib", rc, zs.msg);
            return rc == Z_STREAM_END;
        };
        detail::drive(zs, buf.get(), out, [&] { return deflate(&zs, flush); }, ended, flush == Z_FINISH);
        in += piece;
        left -= piece;
        if (flush == Z_FINISH) return;
    }
}

void zlib_decode(std::string_view data, Sink& out) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    int rc = inflateInit(&zs);
    if (rc != Z_OK) detail::throw_zlib_error("zlib", rc, zs.msg);
    std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&zs, inflateEnd);
    std::unique_ptr<char[]> buf(new char[detail::kChunk]);
    bool ended = false;
    std::size_t used = detail::feed_pieces(zs, data.data(), data.size(), ended, [&] {
        return detail::drive(zs, buf.get(), out, [&] { return inflate(&zs, Z_NO_FLUSH); },
                             [&](int rc) { return detail::inflate_ended("zlib", rc, zs); });
    });
    if (!ended) detail::throw_zlib_error("zlib", Z_BUF_ERROR, data.empty() ? "empty input" : "truncated stream");
    if (used != data.size()) detail::trailing_garbage("zlib");
}

std::string base64_encode(std::string_view data) {
    return to_string([&](Sink& out) { base64_encode(data, out); });
}
std::string base64_decode(std::string_view text) {
    return to_string([&](Sink& out) { base64_decode(text, out); });
}
std::string zlib_encode(std::string_view data, int level) {
    return to_string([&](Sink& out) { zlib_encode(data, level, out); });
}
std::string zlib_decode(std::string_view data) {
    return to_string([&](Sink& out) { zlib_decode(data, out); });
}

}  // namespace ondrel::codecs
