// gzip (RFC 1952). Writing cuts the input into chunks that the worker
// threads deflate with libdeflate, one gzip member each, and every member
// records its own length in an extra header field, so that reading can
// hand whole members to the workers without first inflating its way to the
// next one. That field is a hint and no more: members from other writers,
// members too large to hold, and any member of ours that libdeflate will
// not decode as its field says are inflated as their input arrives
// (gzip_inflate.h), so every member gets the verdict gzip would give it.

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "bytes.h"
#include "gzip_inflate.h"
#include "internal.h"
#include "parallel.h"

namespace ondrel::codecs::detail {

void throw_zlib_error(const char* format, int code, const char* message) {
    // inflate reports a wrong magic number as a header check failure; at
    // the start of a member that simply means the input isn't this format.
    std::string detail = message ? message : "";
    if (code == Z_DATA_ERROR && (detail == "incorrect header check" || detail == "not a gzip header"))
        throw_library_error(format, code, message, {{Z_DATA_ERROR, nullptr, nullptr}}, "zlib", Z_MEM_ERROR);
    throw_library_error(format, code, message,
                 {{Z_DATA_ERROR, "corrupt data", nullptr}, {Z_BUF_ERROR, "unexpected end of input", "truncated file"},
                  {Z_MEM_ERROR, "out of memory", nullptr}, {Z_VERSION_ERROR, "incompatible zlib library version", nullptr},
                  {Z_STREAM_ERROR, "invalid parameter or stream state", nullptr},
                  {Z_NEED_DICT, "corrupt data", "preset dictionary required"}},
                 "zlib", Z_MEM_ERROR);
}

bool inflate_ended(const char* format, int rc, const z_stream& zs) {
    if (rc == Z_STREAM_END) return true;
    // No progress possible: with output room to spare that just means
    // inflate wants more input.
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) return false;
    if (rc != Z_OK) throw_zlib_error(format, rc, zs.msg);
    return false;
}

namespace {

// Input per member (Sizes::gzip_member, 1 MiB): big enough that the 32 KiB
// window lost at each cut costs well under a percent, small enough to keep
// both cores busy.

// Our header: the fixed ten bytes with FEXTRA set, then one 8-byte extra
// field ("ON", length 4) holding the member's total size.
constexpr std::size_t kHeader = kExtraAt + 8;
constexpr std::size_t kSizeAt = kExtraAt + 4;
constexpr std::size_t kTrailer = 8;
constexpr unsigned char kFieldId[2] = {'O', 'N'};

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
        if (!cached.c) throw_zlib_error("gzip", Z_MEM_ERROR, nullptr);
    }
    return cached.c;
}

libdeflate_decompressor* thread_decompressor() {
    struct Cached {
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        ~Cached() { libdeflate_free_decompressor(d); }
    };
    thread_local Cached cached;
    if (!cached.d) throw_zlib_error("gzip", Z_MEM_ERROR, nullptr);
    return cached.d;
}

class DeflateJob : public ChunkJob {
public:
    explicit DeflateJob(int level) : level_(level) {}

    void run() override {
        libdeflate_compressor* c = thread_compressor(level_);
        std::size_t bound = libdeflate_deflate_compress_bound(c, size_);
        out.resize(kHeader + bound + kTrailer);
        unsigned char* p = out.bytes();
        const unsigned char head[kHeader] = {
            kId1, kId2, kDeflate, kFlagExtra, 0, 0, 0, 0,
            // XFL and OS as gzip writes them: best/fastest marks, Unix.
            static_cast<unsigned char>(level_ == 9 ? 2 : level_ == 1 ? 4 : 0), kOsUnix,
            8, 0, kFieldId[0], kFieldId[1], 4, 0, 0, 0, 0, 0};
        std::memcpy(p, head, kHeader);
        std::size_t packed = libdeflate_deflate_compress(c, data_, size_, p + kHeader, bound);
        if (packed == 0) throw CodecError("gzip: internal error (compressed data exceeds its bound)");
        unsigned char* tail = p + kHeader + packed;
        put_le32(tail, libdeflate_crc32(0, data_, size_));
        put_le32(tail + 4, static_cast<std::uint32_t>(size_));
        std::size_t total = kHeader + packed + kTrailer;
        put_le32(p + kSizeAt, static_cast<std::uint32_t>(total));
        out.resize(total);
    }

private:
    int level_;
};

class GzipEncoder : public ChunkedEncoder {
public:
    explicit GzipEncoder(int level) : ChunkedEncoder(sizes().gzip_member), level_(level) {}

    // Even empty input makes one (empty) member: a gzip file has at least one.
    void finish(Sink& out) override { flush(out, true); }

private:
    std::unique_ptr<ChunkJob> make_job() override { return std::make_unique<DeflateJob>(level_); }

    int level_;
};

std::unique_ptr<Encoder> make_encoder(int level) {
    return std::make_unique<GzipEncoder>(resolve_level("gzip", level, 1, 9, 6));
}

// Whether the fixed header and any extra field have arrived.
bool header_present(const unsigned char* p, std::size_t avail) {
    if (avail < kExtraAt) return false;
    return !(p[kFlagsAt] & kFlagExtra) || avail >= kExtraAt + le16(p + kXlenAt);
}

// Finds our size field in a header whose first 12 bytes are present;
// returns 0 for a member written elsewhere.
std::size_t declared_size(const unsigned char* p, std::size_t avail) {
    if (!(p[kFlagsAt] & kFlagExtra)) return 0;
    std::size_t xlen = le16(p + kXlenAt);
    if (avail < kExtraAt + xlen) return 0;
    const unsigned char* f = p + kExtraAt;
    const unsigned char* end = f + xlen;
    while (end - f >= 4) {
        std::size_t len = le16(f + 2);
        if (f[0] == kFieldId[0] && f[1] == kFieldId[1] && len == 4 && end - f >= 8) return le32(f + 4);
        f += 4 + len;
    }
    return 0;
}

// The most a member handed to a worker may take, compressed and again
// inflated: ours take 1 MiB of input each, so this leaves room to spare,
// while the jobs in flight stay within some tens of MiB whatever a header
// claims. Anything larger is inflated as it arrives, like a member from
// elsewhere, in a fixed amount of memory.
constexpr std::size_t kLargestJob = std::size_t(4) << 20;
// Header flags libdeflate checks as zlib does.
constexpr unsigned char kFlagsForJobs = kFlagText | kFlagExtra | kFlagName | kFlagComment;

// Decodes a whole member with libdeflate. It either succeeds exactly as
// the size field and the trailer say, or leaves the member to be read
// again by the streaming inflater, whose verdict is then the one given.
class InflateJob : public Job {
public:
    explicit InflateJob(Buffer&& member) : in(std::move(member)) {}

    void run() override {
        std::size_t n = in.size();
        std::uint32_t isize = le32(in.bytes() + n - 4);
        std::size_t used_in = 0, used_out = 0;
        out.resize(isize);
        // A member over 4 GiB records its size modulo 2^32 and so fails here
        // for want of room, to be read in full by the streaming inflater.
        ok = libdeflate_gzip_decompress_ex(thread_decompressor(), in.data(), n, out.data(), isize, &used_in,
                                           &used_out) == LIBDEFLATE_SUCCESS &&
             used_in == n && used_out == isize;
    }

    Buffer in;
    bool ok = false;
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
        if (padding_) return check_padding("gzip", p, size);
        if (pos_ > 0 && pos_ >= in_.size() / 2) {
            std::size_t rest = in_.size() - pos_;
            std::memmove(in_.data(), in_.data() + pos_, rest);
            in_.resize(rest);
            pos_ = 0;
        }
        in_.append(p, size);
        advance(out, false);
    }

    void finish(Sink& out) override {
        if (streaming_) truncated();
        if (!seen_input_) throw_zlib_error("gzip", Z_BUF_ERROR, "empty input");
        advance(out, true);
    }

private:
    // Works through the buffer and passes on what the workers have done;
    // a member they could not decode puts its bytes back to be read again.
    void advance(Sink& out, bool final) {
        do {
            process(out, final);
            collect(out, final);
        } while (reread_);
    }

    void collect(Sink& out, bool all) {
        pipeline_.drain(all, [&](std::unique_ptr<Job> job) { deliver(std::move(job), out); });
    }

    void deliver(std::unique_ptr<Job> job, Sink& out) {
        auto& done = static_cast<InflateJob&>(*job);
        if (done.ok) {
            emit(done.out.data(), done.out.size(), out);
            ++members_;
            return;
        }
        // Its size field was wrong (it may belong to another writer's
        // extra field of the same name), the member is over 4 GiB, or the
        // data is damaged: this member and every byte after it go back to
        // the buffer, to be read as gzip reads them, whatever they claim.
        Buffer again(done.in.size() + (in_.size() - pos_));
        again.append(done.in.data(), done.in.size());
        pipeline_.drain(true, [&](std::unique_ptr<Job> later) {
            const Buffer& in = static_cast<InflateJob&>(*later).in;
            again.append(in.data(), in.size());
        });
        again.append(in_.data() + pos_, in_.size() - pos_);
        in_ = std::move(again);
        pos_ = 0;
        reread_ = true;
        // One field that lied is enough: the rest of the input streams,
        // rather than being decoded twice on the workers' word.
        trust_fields_ = false;
    }

    [[noreturn]] void truncated() {
        throw_zlib_error("gzip", Z_BUF_ERROR, members_ ? "truncated member" : "truncated file");
    }

    // The size field of the member at `p` if the workers may take it whole:
    // 0 sends it to the streaming inflater. libdeflate skips the header
    // checksum, which zlib checks, so a member with one streams.
    std::size_t job_size(const unsigned char* p, std::size_t avail) const {
        if (!trust_fields_ || (p[kFlagsAt] & ~kFlagsForJobs)) return 0;
        std::size_t size = declared_size(p, avail);
        return size >= kHeader + 2 + kTrailer && size <= kLargestJob ? size : 0;
    }

    // Hands every complete member of ours in the buffer to the workers and
    // starts inflating the first one that is not, once those before it are
    // done: their verdicts may yet send their bytes back to be read again.
    void process(Sink& out, bool final) {
        for (;;) {
            if (reread_) {
                reread_ = false;
                if (!stream_member(out)) {
                    if (final) truncated();
                    return;
                }
                continue;
            }
            std::size_t avail = in_.size() - pos_;
            if (avail == 0) return;
            const unsigned char* p = in_.bytes() + pos_;
            const bool header = p[0] == kId1 && (avail < 2 || p[1] == kId2);
            const bool whole_header = header && header_present(p, avail);
            if (header && !whole_header && !final) return;
            std::size_t size = whole_header ? job_size(p, avail) : 0;
            if (size != 0 && avail < size && !final) return;
            if (size != 0 && avail >= size && le32(p + size - 4) <= kLargestJob) {
                if (pipeline_.full()) {
                    deliver(pipeline_.pop(true), out);
                    continue;
                }
                Buffer member(size);
                member.append(p, size);
                // A member that is all the input there is runs on this
                // thread: a small file should not pay for starting workers.
                pipeline_.push(std::make_unique<InflateJob>(std::move(member)), avail == size);
                pos_ += size;
                continue;
            }
            // Whatever comes next is judged in order, after what is in flight.
            if (pipeline_.pending()) {
                collect(out, true);
                continue;
            }
            if (!header) {
                if (members_ > 0 && p[0] == 0) {
                    padding_ = true;
                    check_padding("gzip", p, avail);
                    pos_ = in_.size();
                    return;
                }
                not_gzip();
            }
            if (!stream_member(out)) {
                if (final) truncated();
                return;
            }
        }
    }

    [[noreturn]] void not_gzip() {
        if (members_ > 0) trailing_garbage("gzip");
        throw_zlib_error("gzip", Z_DATA_ERROR, "incorrect header check");
    }

    // Inflates the member at pos_ from the buffer; false if it goes on past
    // what has arrived, and is left streaming.
    bool stream_member(Sink& out) {
        if (!inflater_) inflater_ = std::make_unique<MemberInflater>();
        inflater_->restart();
        bool ended = false;
        std::size_t used = inflater_->feed(in_.bytes() + pos_, in_.size() - pos_, out, ended);
        pos_ += used;
        if (ended) {
            ++members_;
            return true;
        }
        streaming_ = true;
        pos_ = 0;
        in_ = Buffer();
        return false;
    }

    Buffer in_;
    std::size_t pos_ = 0;
    unsigned long members_ = 0;
    bool seen_input_ = false;
    bool padding_ = false;
    bool streaming_ = false;      // inflater_ is inside a member
    bool reread_ = false;         // the member at pos_ streams, whatever its header says
    bool trust_fields_ = true;    // no size field has been wrong yet
    std::unique_ptr<MemberInflater> inflater_;
    Pipeline pipeline_;
};

}  // namespace

const Codec gzip_codec = {"gzip", make_encoder, make_decoder<GzipDecoder>};

}  // namespace ondrel::codecs::detail
