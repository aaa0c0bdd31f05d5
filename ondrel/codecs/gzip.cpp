// gzip (RFC 1952). Writing cuts the input into chunks that the worker
// threads deflate with libdeflate, one gzip member each, and every member
// records its own length in an extra header field, so that reading can
// hand whole members to the workers without first inflating its way to the
// next one. Members from other writers are inflated as their input arrives
// (gzip_inflate.h), and zlib pinpoints what is wrong with a member of ours
// that libdeflate refused.

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "gzip_inflate.h"
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
    if (code == Z_MEM_ERROR) throw OutOfMemory(code, text);
    throw CodecError(code, text);
}

namespace {

// Input per member (Sizes::gzip_member, 1 MiB): big enough that the 32 KiB
// window lost at each cut costs well under a percent, small enough to keep
// both cores busy.

// Our header: the fixed ten bytes with FEXTRA set, then one 8-byte extra
// field ("ON", length 4) holding the member's total size.
constexpr std::size_t kHeader = 10 + 2 + 8;
constexpr std::size_t kTrailer = 8;
constexpr unsigned char kFieldId[2] = {'O', 'N'};

// Deflate cannot expand more than 1032:1; a member claiming more is lying.
constexpr std::uint64_t kMaxRatio = 1032;

std::uint32_t get_le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
void put_le32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// libdeflate state is not thread-safe, so each thread keeps its own.
libdeflate_compressor* thread_compressor(int level) {
    struct Cached {
        libdeflate_compressor* c = nullptr;
        int level = 0;
        ~Cached() { libdeflate_free_compressor(c); }
    };
    thread_local Cached cached;
    if (!cached.c || cached.level != level) {
        libdeflate_free_compressor(cached.c);
        cached.c = libdeflate_alloc_compressor(level);
        cached.level = level;
        if (!cached.c) zlib_fail("gzip", Z_MEM_ERROR, nullptr);
    }
    return cached.c;
}

libdeflate_decompressor* thread_decompressor() {
    struct Cached {
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        ~Cached() { libdeflate_free_decompressor(d); }
    };
    thread_local Cached cached;
    if (!cached.d) zlib_fail("gzip", Z_MEM_ERROR, nullptr);
    return cached.d;
}

void emit(const char* data, std::size_t size, Sink& out) {
    while (size > 0) {
        std::size_t piece = std::min(size, kChunk);
        out.put(data, piece);
        data += piece;
        size -= piece;
    }
}

struct DiscardSink : Sink {
    void put(const char*, std::size_t) override {}
};

class DeflateJob : public Job {
public:
    DeflateJob(const char* data, std::size_t size, int level) : data_(data), size_(size), level_(level) {}
    DeflateJob(Buffer&& owned, int level)
        : owned_(std::move(owned)), data_(owned_.data()), size_(owned_.size()), level_(level) {}

    void run() override {
        libdeflate_compressor* c = thread_compressor(level_);
        std::size_t bound = libdeflate_deflate_compress_bound(c, size_);
        out.resize(kHeader + bound + kTrailer);
        unsigned char* p = out.bytes();
        const unsigned char head[kHeader] = {
            0x1f, 0x8b, 8, 4, 0, 0, 0, 0,
            // XFL and OS as gzip writes them: best/fastest marks, Unix.
            static_cast<unsigned char>(level_ == 9 ? 2 : level_ == 1 ? 4 : 0), 3,
            8, 0, kFieldId[0], kFieldId[1], 4, 0, 0, 0, 0, 0};
        std::memcpy(p, head, kHeader);
        std::size_t packed = libdeflate_deflate_compress(c, data_, size_, p + kHeader, bound);
        if (packed == 0) throw CodecError(Z_BUF_ERROR, "gzip: internal error (compressed data exceeds its bound)");
        unsigned char* tail = p + kHeader + packed;
        put_le32(tail, libdeflate_crc32(0, data_, size_));
        put_le32(tail + 4, static_cast<std::uint32_t>(size_));
        std::size_t total = kHeader + packed + kTrailer;
        put_le32(p + 16, static_cast<std::uint32_t>(total));
        out.resize(total);
    }

    Buffer out;

private:
    Buffer owned_;
    const char* data_;
    std::size_t size_;
    int level_;
};

class GzipEncoder : public Encoder {
public:
    explicit GzipEncoder(int level) : level_(level), member_(sizes().gzip_member) {}

    void update(const char* data, std::size_t size, Sink& out) override {
        if (!chunk_.empty()) {
            std::size_t take = std::min(size, member_ - chunk_.size());
            chunk_.append(data, take);
            data += take;
            size -= take;
            if (chunk_.size() < member_) return;
            submit(std::make_unique<DeflateJob>(std::move(chunk_), level_), out);
            chunk_ = Buffer();
        }
        // Whole members straight from the caller's memory, which must be
        // done with before returning, a failure included: the caller may
        // free it at once.
        if (size >= member_) {
            pipeline_.lending([&] {
                for (; size >= member_; data += member_, size -= member_)
                    submit(std::make_unique<DeflateJob>(data, member_, level_), out);
                collect(out, true);
            });
        }
        if (size) {
            chunk_.reserve(member_);
            chunk_.append(data, size);
        }
    }

    void finish(Sink& out) override {
        // Even empty input makes one (empty) member: a gzip file has at least one.
        if (!chunk_.empty() || !any_) {
            any_ = true;
            pipeline_.push(std::make_unique<DeflateJob>(std::move(chunk_), level_), true);
            chunk_ = Buffer();
        }
        collect(out, true);
    }

private:
    void submit(std::unique_ptr<Job> job, Sink& out) {
        pipeline_.push_when_room(std::move(job), [&](std::unique_ptr<Job> done) { put(std::move(done), out); });
        any_ = true;
        collect(out, false);
    }

    void collect(Sink& out, bool all) {
        pipeline_.drain(all, [&](std::unique_ptr<Job> done) { put(std::move(done), out); });
    }

    static void put(std::unique_ptr<Job> job, Sink& out) {
        auto& done = static_cast<DeflateJob&>(*job);
        out.put(done.out.data(), done.out.size());
    }

    int level_;
    std::size_t member_;
    Buffer chunk_;
    bool any_ = false;
    Pipeline pipeline_;
};

// Finds our size field in a header whose first 12 bytes are present;
// returns 0 for a member written elsewhere.
std::size_t declared_size(const unsigned char* p, std::size_t avail) {
    if (!(p[3] & 4)) return 0;  // no FEXTRA
    std::size_t xlen = p[10] | std::size_t(p[11]) << 8;
    if (avail < 12 + xlen) return 0;
    const unsigned char* f = p + 12;
    const unsigned char* end = f + xlen;
    while (end - f >= 4) {
        std::size_t len = f[2] | std::size_t(f[3]) << 8;
        if (f[0] == kFieldId[0] && f[1] == kFieldId[1] && len == 4 && end - f >= 8) return get_le32(f + 4);
        f += 4 + len;
    }
    return 0;
}

class InflateJob : public Job {
public:
    explicit InflateJob(Buffer&& member) : in_(std::move(member)) {}

    void run() override {
        std::size_t n = in_.size();
        std::uint32_t isize = get_le32(in_.bytes() + n - 4);
        bool ok = isize <= kMaxRatio * n;
        std::size_t used_in = 0, used_out = 0;
        if (ok) {
            out.resize(isize);
            ok = libdeflate_gzip_decompress_ex(thread_decompressor(), in_.data(), n, out.data(), isize, &used_in,
                                               &used_out) == LIBDEFLATE_SUCCESS &&
                 used_in == n && used_out == isize;
        }
        if (ok) return;
        // Let zlib say what is wrong; if it finds nothing, the size field lied.
        DiscardSink discard;
        MemberInflater inflater;
        bool ended = false;
        inflater.feed(in_.bytes(), n, discard, ended);
        zlib_fail("gzip", Z_DATA_ERROR, "member size mismatch");
    }

    Buffer out;

private:
    Buffer in_;
};

class GzipDecoder : public Decoder {
public:
    void update(const char* data, std::size_t size, Sink& out) override {
        if (size == 0) return;
        seen_input_ = true;
        const auto* p = reinterpret_cast<const unsigned char*>(data);
        if (streaming_) {
            bool ended = false;
            std::size_t used = inflater_->feed(p, size, out, ended);
            if (!ended) return;
            streaming_ = false;
            ++members_;
            p += used;
            size -= used;
        }
        if (padding_) return check_padding(p, size);
        if (pos_ > 0 && pos_ >= in_.size() / 2) {
            std::size_t rest = in_.size() - pos_;
            std::memmove(in_.data(), in_.data() + pos_, rest);
            in_.resize(rest);
            pos_ = 0;
        }
        in_.append(p, size);
        process(out, false);
        collect(out, false);
    }

    void finish(Sink& out) override {
        if (streaming_) zlib_fail("gzip", Z_BUF_ERROR, members_ ? "truncated member" : "truncated file");
        if (!seen_input_) zlib_fail("gzip", Z_BUF_ERROR, "empty input");
        process(out, true);
        collect(out, true);
    }

private:
    void collect(Sink& out, bool all) {
        pipeline_.drain(all, [&](std::unique_ptr<Job> job) { deliver(std::move(job), out); });
    }

    void deliver(std::unique_ptr<Job> job, Sink& out) {
        auto& done = static_cast<InflateJob&>(*job);
        emit(done.out.data(), done.out.size(), out);
    }

    void check_padding(const unsigned char* p, std::size_t n) {
        // gzip -d accepts zero bytes after the last member (tape blocking
        // and the like) but nothing else.
        padding_ = true;
        if (std::any_of(p, p + n, [](unsigned char c) { return c != 0; }))
            zlib_fail("gzip", Z_DATA_ERROR, "trailing garbage after compressed data");
    }

    [[noreturn]] void truncated() {
        zlib_fail("gzip", Z_BUF_ERROR, members_ ? "truncated member" : "truncated file");
    }

    // Hands every complete member of ours in the buffer to the workers and
    // starts inflating the first one from elsewhere.
    void process(Sink& out, bool final) {
        for (;;) {
            std::size_t avail = in_.size() - pos_;
            if (avail == 0) return;
            const unsigned char* p = in_.bytes() + pos_;
            if (members_ > 0 && p[0] == 0) {
                check_padding(p, avail);
                pos_ = in_.size();
                return;
            }
            if (p[0] != 0x1f || (avail >= 2 && p[1] != 0x8b)) not_gzip();
            if (avail < 12) {
                if (final) truncated();
                return;
            }
            std::size_t size = declared_size(p, avail);
            if (size == 0 && (p[3] & 4) && avail < 12 + (p[10] | std::size_t(p[11]) << 8) && !final) return;
            if (size != 0) {
                if (size < kHeader + 2 + kTrailer) zlib_fail("gzip", Z_DATA_ERROR, "bad member size");
                if (avail < size) {
                    if (final) truncated();
                    return;
                }
                Buffer member(size);
                member.append(p, size);
                // A member that is all the input there is runs on this
                // thread: a small file should not pay for starting workers.
                pipeline_.push_when_room(std::make_unique<InflateJob>(std::move(member)),
                                         [&](std::unique_ptr<Job> job) { deliver(std::move(job), out); },
                                         avail == size);
                pos_ += size;
                ++members_;
                continue;
            }
            // The inflater writes straight to `out`: earlier members first.
            collect(out, true);
            stream_rest(out);
            if (streaming_) {
                if (final) truncated();
                return;
            }
        }
    }

    [[noreturn]] void not_gzip() {
        if (members_ > 0) zlib_fail("gzip", Z_DATA_ERROR, "trailing garbage after compressed data");
        zlib_fail("gzip", Z_DATA_ERROR, "incorrect header check");
    }

    // Inflates the buffered member and leaves it streaming if the member
    // goes on past what has arrived.
    void stream_rest(Sink& out) {
        if (!inflater_) inflater_ = std::make_unique<StreamInflater>();
        inflater_->restart();
        bool ended = false;
        std::size_t used = inflater_->feed(in_.bytes() + pos_, in_.size() - pos_, out, ended);
        pos_ += used;
        if (ended) {
            ++members_;
        } else {
            streaming_ = true;
            pos_ = 0;
            in_ = Buffer();
        }
    }

    Buffer in_;
    std::size_t pos_ = 0;
    unsigned long members_ = 0;
    bool seen_input_ = false;
    bool padding_ = false;
    bool streaming_ = false;  // inflater_ is inside a member
    std::unique_ptr<StreamInflater> inflater_;
    Pipeline pipeline_;
};

std::unique_ptr<Encoder> make_encoder(int level) {
    return std::make_unique<GzipEncoder>(resolve_level("gzip", level, 1, 9, 6));
}

std::unique_ptr<Decoder> make_decoder() { return std::make_unique<GzipDecoder>(); }

}  // namespace

const Codec gzip_codec = {"gzip", 6, make_encoder, make_decoder};

}  // namespace detail
}  // namespace ondrel::codecs
