// The lzop file format over liblzo2's LZO1X.
//
// A file is a magic number, a header, then blocks of at most 256 KiB of
// input, each with both sizes and checksums, closed by a zero length. A
// block whose compressed form is no smaller is stored as is; the reader
// tells the two apart by comparing the sizes.

#include <libdeflate.h>
#include <lzo/lzo1x.h>
#include <lzo/lzoconf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "internal.h"

namespace ondrel::codecs {
namespace detail {
namespace {

constexpr unsigned char kMagic[9] = {0x89, 'L', 'Z', 'O', 0x00, 0x0d, 0x0a, 0x1a, 0x0a};

// lzop refuses blocks above this when reading; so do we, which also keeps a
// hostile size field from making us allocate gigabytes.
constexpr std::uint32_t kMaxBlockSize = 64 * 1024 * 1024;
constexpr std::uint32_t kMaxExtraField = 1024 * 1024;

// The format version we write and the newest we claim to understand.
constexpr unsigned kVersion = 0x1040;
constexpr unsigned kNeededToExtract = 0x0940;

// Header flags.
constexpr std::uint32_t F_ADLER32_D = 0x00000001;
constexpr std::uint32_t F_ADLER32_C = 0x00000002;
constexpr std::uint32_t F_H_EXTRA_FIELD = 0x00000040;
constexpr std::uint32_t F_CRC32_D = 0x00000100;
constexpr std::uint32_t F_CRC32_C = 0x00000200;
constexpr std::uint32_t F_H_FILTER = 0x00000800;
constexpr std::uint32_t F_H_CRC32 = 0x00001000;
constexpr std::uint32_t F_MASK = 0x00003fff;
constexpr std::uint32_t F_OS_MASK = 0xff000000;
constexpr std::uint32_t F_CS_MASK = 0x00f00000;
constexpr std::uint32_t F_RESERVED = ~(F_MASK | F_OS_MASK | F_CS_MASK);
constexpr std::uint32_t F_OS_UNIX = 0x03000000;

// Methods, as lzop numbers them; all three decode with LZO1X.
constexpr unsigned M_LZO1X_1 = 1;
constexpr unsigned M_LZO1X_1_15 = 2;
constexpr unsigned M_LZO1X_999 = 3;

enum class Problem { NotLzop, Truncated, Corrupt, Unsupported, Internal };

const char* lzo_message(int code) {
    switch (code) {
    case LZO_E_OUT_OF_MEMORY: return "out of memory";
    case LZO_E_INPUT_OVERRUN: return "input overrun";
    case LZO_E_OUTPUT_OVERRUN: return "output overrun";
    case LZO_E_LOOKBEHIND_OVERRUN: return "lookbehind overrun";
    case LZO_E_EOF_NOT_FOUND: return "end of block not found";
    case LZO_E_INPUT_NOT_CONSUMED: return "input not consumed";
    default: return "liblzo2 error";
    }
}

[[noreturn]] void lzop_fail(Problem problem, const std::string& detail, int code = LZO_E_ERROR) {
    std::string text = "lzop: ";
    switch (problem) {
    case Problem::NotLzop: text += "not in lzop format"; break;
    case Problem::Truncated: text += "unexpected end of input"; break;
    case Problem::Corrupt: text += "corrupt data"; break;
    case Problem::Unsupported: text += "unsupported file"; break;
    case Problem::Internal: text += "internal error"; break;
    }
    if (!detail.empty()) text += " (" + detail + ")";
    throw CodecError(code, text);
}

void ensure_lzo() {
    static const int status = lzo_init();
    if (status != LZO_E_OK) lzop_fail(Problem::Internal, "lzo_init failed", status);
}

std::uint32_t get32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
unsigned get16(const unsigned char* p) { return (unsigned(p[0]) << 8) | p[1]; }

void put32(std::string& s, std::uint32_t v) {
    char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    s.append(b, 4);
}
void put16(std::string& s, unsigned v) {
    s.push_back(char(v >> 8));
    s.push_back(char(v));
}

// The same sums as liblzo2's own, from libdeflate, whose vectorised loops
// take a fraction of the time: liblzo2's Adler-32 alone was a sixth of a
// round trip.
std::uint32_t adler32(const unsigned char* p, std::size_t n) { return libdeflate_adler32(1, p, n); }
std::uint32_t crc32(const unsigned char* p, std::size_t n) { return libdeflate_crc32(0, p, n); }

// Work memory for the LZO compressors, one per thread and method.
unsigned char* thread_work(std::size_t size) {
    thread_local std::vector<unsigned char> work;
    if (work.size() < size) work.resize(size);
    return work.data();
}

// Blocks of Sizes::lzop_block (256 KiB) input, Sizes::lzop_blocks_per_job
// (4) at a time to a worker: enough work to outweigh the hand-off.

// Compresses a run of whole blocks into their finished records.
class PackJob : public Job {
public:
    PackJob(const char* data, std::size_t size, std::size_t block, unsigned method, int level)
        : data_(data), size_(size), block_(block), method_(method), level_(level) {}
    PackJob(Buffer&& owned, std::size_t block, unsigned method, int level)
        : owned_(std::move(owned)), data_(owned_.data()), size_(owned_.size()), block_(block), method_(method),
          level_(level) {}

    void run() override {
        std::size_t blocks = (size_ + block_ - 1) / block_;
        out.resize(size_ + blocks * (12 + block_ / 16 + 64 + 3));
        std::size_t at = 0;
        for (std::size_t done = 0; done < size_; done += block_) {
            const auto* src = reinterpret_cast<const unsigned char*>(data_ + done);
            std::size_t n = std::min(block_, size_ - done);
            unsigned char* head = out.bytes() + at;
            unsigned char* body = head + 12;
            lzo_uint packed = 0;
            int rc;
            if (method_ == M_LZO1X_999)
                rc = lzo1x_999_compress_level(src, n, body, &packed, thread_work(LZO1X_999_MEM_COMPRESS), nullptr,
                                              0, nullptr, level_);
            else if (method_ == M_LZO1X_1)
                rc = lzo1x_1_compress(src, n, body, &packed, thread_work(LZO1X_1_MEM_COMPRESS));
            else
                rc = lzo1x_1_15_compress(src, n, body, &packed, thread_work(LZO1X_1_15_MEM_COMPRESS));
            if (rc != LZO_E_OK) lzop_fail(Problem::Internal, lzo_message(rc), rc);
            bool stored = packed >= n;
            if (stored) std::memcpy(body, src, n);
            put32(head, static_cast<std::uint32_t>(n));
            put32(head + 4, static_cast<std::uint32_t>(stored ? n : packed));
            put32(head + 8, adler32(src, n));
            at += 12 + (stored ? n : packed);
        }
        out.resize(at);
    }

    Buffer out;

private:
    static void put32(unsigned char* p, std::uint32_t v) {
        p[0] = static_cast<unsigned char>(v >> 24);
        p[1] = static_cast<unsigned char>(v >> 16);
        p[2] = static_cast<unsigned char>(v >> 8);
        p[3] = static_cast<unsigned char>(v);
    }

    Buffer owned_;
    const char* data_;
    std::size_t size_;
    std::size_t block_;
    unsigned method_;
    int level_;
};

class LzopEncoder : public Encoder {
public:
    explicit LzopEncoder(int level)
        : level_(level), block_(sizes().lzop_block), job_(block_ * sizes().lzop_blocks_per_job) {
        ensure_lzo();
        method_ = level_ >= 7 ? M_LZO1X_999 : level_ >= 2 ? M_LZO1X_1 : M_LZO1X_1_15;
    }

    void update(const char* data, std::size_t size, Sink& out) override {
        const std::size_t job = job_;
        if (!chunk_.empty()) {
            std::size_t take = std::min(size, job - chunk_.size());
            chunk_.append(data, take);
            data += take;
            size -= take;
            if (chunk_.size() < job) return;
            submit(std::make_unique<PackJob>(std::move(chunk_), block_, method_, level_), out);
            chunk_ = Buffer();
        }
        // Whole jobs straight from the caller's memory, which must be done
        // with before returning, a failure included: the caller may free it
        // at once.
        if (size >= job) {
            pipeline_.lending([&] {
                for (; size >= job; data += job, size -= job)
                    submit(std::make_unique<PackJob>(data, job, block_, method_, level_), out);
                collect(out, true);
            });
        }
        if (size) {
            chunk_.reserve(job);
            chunk_.append(data, size);
        }
    }

    void finish(Sink& out) override {
        if (!chunk_.empty()) {
            pipeline_.push(std::make_unique<PackJob>(std::move(chunk_), block_, method_, level_), true);
            chunk_ = Buffer();
        }
        collect(out, true);
        std::string tail;
        if (!header_written_) tail = header();
        header_written_ = true;
        put32(tail, 0);
        out.put(tail.data(), tail.size());
    }

private:
    void submit(std::unique_ptr<Job> job, Sink& out) {
        pipeline_.push_when_room(std::move(job), [&](std::unique_ptr<Job> done) { put(std::move(done), out); });
        collect(out, false);
    }

    void collect(Sink& out, bool all) {
        pipeline_.drain(all, [&](std::unique_ptr<Job> done) { put(std::move(done), out); });
    }

    void put(std::unique_ptr<Job> job, Sink& out) {
        if (!header_written_) {
            std::string h = header();
            out.put(h.data(), h.size());
            header_written_ = true;
        }
        auto& done = static_cast<PackJob&>(*job);
        out.put(done.out.data(), done.out.size());
    }

    std::string header() const {
        std::string h;
        put16(h, kVersion);
        put16(h, lzo_version() & 0xffff);
        put16(h, kNeededToExtract);
        h.push_back(char(method_));
        // lzop records 5 for everything LZO1X-1 compresses, whatever the -N.
        h.push_back(char(method_ == M_LZO1X_1 ? 5 : level_));
        put32(h, F_ADLER32_D | F_OS_UNIX);
        put32(h, 0100644);  // mode, for `lzop -d` to give the file
        put32(h, 0);        // mtime low: zero keeps output reproducible
        put32(h, 0);        // mtime high
        h.push_back(0);     // no file name
        put32(h, adler32(reinterpret_cast<const unsigned char*>(h.data()), h.size()));
        return std::string(reinterpret_cast<const char*>(kMagic), sizeof kMagic) + h;
    }

    int level_;
    std::size_t block_, job_;
    unsigned method_;
    bool header_written_ = false;
    Buffer chunk_;
    Pipeline pipeline_;
};

// A run of complete block records, checked and decompressed on a worker.
class UnpackJob : public Job {
public:
    struct Block {
        std::size_t at;  // offset of the record in `records`
        std::uint32_t dst_len, src_len;
        std::uint32_t flags;
    };

    void run() override {
        out.resize(plain_size);
        std::size_t done = 0;
        for (const Block& b : blocks) {
            const unsigned char* p = records.bytes() + b.at;
            bool stored = b.src_len == b.dst_len;
            std::size_t head = 8;
            std::uint32_t want_adler_d = 0, want_crc_d = 0;
            if (b.flags & F_ADLER32_D) want_adler_d = get32(p + head), head += 4;
            if (b.flags & F_CRC32_D) want_crc_d = get32(p + head), head += 4;
            const unsigned char* csums = p + head;
            if (!stored && (b.flags & F_ADLER32_C)) head += 4;
            if (!stored && (b.flags & F_CRC32_C)) head += 4;
            const unsigned char* body = p + head;
            if (!stored) {
                if (b.flags & F_ADLER32_C) {
                    if (get32(csums) != adler32(body, b.src_len))
                        lzop_fail(Problem::Corrupt, "compressed block checksum mismatch");
                    csums += 4;
                }
                if ((b.flags & F_CRC32_C) && get32(csums) != crc32(body, b.src_len))
                    lzop_fail(Problem::Corrupt, "compressed block checksum mismatch");
            }
            unsigned char* plain = out.bytes() + done;
            if (stored) {
                std::memcpy(plain, body, b.dst_len);
            } else {
                lzo_uint got = b.dst_len;
                int rc = lzo1x_decompress_safe(body, b.src_len, plain, &got, nullptr);
                if (rc != LZO_E_OK) lzop_fail(Problem::Corrupt, lzo_message(rc), rc);
                if (got != b.dst_len) lzop_fail(Problem::Corrupt, "block decompressed to the wrong size");
            }
            if ((b.flags & F_ADLER32_D) && adler32(plain, b.dst_len) != want_adler_d)
                lzop_fail(Problem::Corrupt, "block checksum mismatch");
            if ((b.flags & F_CRC32_D) && crc32(plain, b.dst_len) != want_crc_d)
                lzop_fail(Problem::Corrupt, "block checksum mismatch");
            done += b.dst_len;
        }
    }

    Buffer records;
    std::vector<Block> blocks;
    std::size_t plain_size = 0;
    Buffer out;
};

class LzopDecoder : public Decoder {
public:
    LzopDecoder() { ensure_lzo(); }

    void update(const char* data, std::size_t size, Sink& out) override {
        in_ = reinterpret_cast<const unsigned char*>(data);
        in_left_ = size;
        while (step(out)) {
        }
        collect(out, false);
    }

    void finish(Sink& out) override {
        // Whatever was read before the input ran out goes out first.
        if (batch_) pipeline_.push(std::move(batch_), true);
        collect(out, true);
        if (state_ == State::Padding || (state_ == State::Between && files_ > 0)) return;
        if (state_ == State::Magic && files_ == 0 && pending_.empty()) lzop_fail(Problem::Truncated, "empty input");
        lzop_fail(Problem::Truncated, "truncated file");
    }

private:
    enum class State { Magic, Header, Block, Between, Padding };

    // Returns n contiguous bytes without consuming them, or null until that
    // many have arrived. Whole items are served straight from the caller's
    // buffer when possible; otherwise they are gathered in `pending_`.
    const unsigned char* peek(std::size_t n) {
        if (pending_.empty() && in_left_ >= n) {
            from_input_ = true;
            return in_;
        }
        if (pending_.size() < n) {
            std::size_t take = std::min(n - pending_.size(), in_left_);
            pending_.insert(pending_.end(), in_, in_ + take);
            in_ += take;
            in_left_ -= take;
            if (pending_.size() < n) return nullptr;
        }
        from_input_ = false;
        return pending_.data();
    }

    void consume(std::size_t n) {
        if (from_input_) {
            in_ += n;
            in_left_ -= n;
        } else {
            pending_.erase(pending_.begin(), pending_.begin() + n);
        }
    }

    bool step(Sink& out) {
        switch (state_) {
        case State::Between:
        case State::Padding: {
            if (in_left_ == 0) return false;
            // lzop -d reads files written back to back, and silently skips
            // zero bytes after the last one.
            if (state_ == State::Padding || *in_ == 0) {
                state_ = State::Padding;
                if (std::any_of(in_, in_ + in_left_, [](unsigned char c) { return c != 0; }))
                    lzop_fail(Problem::Corrupt, "trailing garbage after compressed data");
                in_left_ = 0;
                return false;
            }
            state_ = State::Magic;
            return true;
        }
        case State::Magic: {
            const unsigned char* p = peek(sizeof kMagic);
            if (!p) {
                if (!std::equal(pending_.begin(), pending_.end(), kMagic)) not_lzop();
                return false;
            }
            if (std::memcmp(p, kMagic, sizeof kMagic) != 0) not_lzop();
            consume(sizeof kMagic);
            state_ = State::Header;
            return true;
        }
        case State::Header: {
            std::size_t need = 2;
            for (;;) {
                const unsigned char* p = peek(need);
                if (!p) return false;
                std::size_t more = parse_header(p, need);
                if (more == 0) break;
                need = more;
            }
            consume(need);
            state_ = State::Block;
            return true;
        }
        case State::Block:
            return read_block(out);
        }
        return false;
    }

    [[noreturn]] void not_lzop() {
        lzop_fail(files_ ? Problem::Corrupt : Problem::NotLzop,
                  files_ ? "trailing garbage after compressed data" : "bad magic number");
    }

    // Works through the header in `p[0..have)`. Returns 0 when it is complete
    // and valid (and `have` is exactly its length), otherwise the total
    // number of bytes needed to get further.
    std::size_t parse_header(const unsigned char* p, std::size_t have) {
        std::size_t at = 0;
        auto need = [&](std::size_t n) { return at + n > have; };
        unsigned version = get16(p);
        at = 2;
        if (version < 0x0900) lzop_fail(Problem::Unsupported, "format version too old");
        bool modern = version >= 0x0940;
        std::size_t fixed = 2 + (modern ? 2 : 0) + 1 + (modern ? 1 : 0) + 4;
        if (need(fixed)) return at + fixed;
        at += 2;  // library version
        if (modern) {
            unsigned needed = get16(p + at);
            at += 2;
            if (needed > kVersion) lzop_fail(Problem::Unsupported, "written for a newer lzop");
            if (needed < 0x0900) lzop_fail(Problem::Corrupt, "bad header");
        }
        method_ = p[at++];
        if (method_ != M_LZO1X_1 && method_ != M_LZO1X_1_15 && method_ != M_LZO1X_999)
            lzop_fail(Problem::Unsupported, "compression method " + std::to_string(method_));
        if (modern) ++at;  // level: irrelevant for decoding
        flags_ = get32(p + at);
        at += 4;
        if (flags_ & F_RESERVED) lzop_fail(Problem::Unsupported, "unknown header flags");
        if (flags_ & F_H_FILTER)
            lzop_fail(Problem::Unsupported, "written with a filter (lzop --filter)");
        std::size_t rest = 4 + 4 + (modern ? 4 : 0) + 1;  // mode, mtime, name length
        if (need(rest)) return at + rest;
        at += rest;
        std::size_t name_len = p[at - 1];
        if (need(name_len + 4)) return at + name_len + 4;
        at += name_len;
        std::uint32_t sum = (flags_ & F_H_CRC32) ? crc32(p, at) : adler32(p, at);
        if (get32(p + at) != sum) lzop_fail(Problem::Corrupt, "header checksum mismatch");
        at += 4;
        if (flags_ & F_H_EXTRA_FIELD) {
            // An opaque field with its own checksum over length and body.
            if (need(4)) return at + 4;
            std::uint32_t len = get32(p + at);
            if (len > kMaxExtraField) lzop_fail(Problem::Unsupported, "oversized extra header field");
            std::size_t start = at;
            if (need(4 + std::size_t(len) + 4)) return at + 4 + len + 4;
            at += 4 + len;
            std::uint32_t esum = (flags_ & F_H_CRC32) ? crc32(p + start, at - start) : adler32(p + start, at - start);
            if (get32(p + at) != esum) lzop_fail(Problem::Corrupt, "extra field checksum mismatch");
            at += 4;
        }
        if (at != have) lzop_fail(Problem::Internal, "header length");
        return 0;
    }

    void collect(Sink& out, bool all) {
        pipeline_.drain(all, [&](std::unique_ptr<Job> done) { emit(std::move(done), out); });
    }

    void dispatch(Sink& out) {
        pipeline_.push_when_room(std::move(batch_), [&](std::unique_ptr<Job> done) { emit(std::move(done), out); });
    }

    static void emit(std::unique_ptr<Job> job, Sink& out) {
        auto& done = static_cast<UnpackJob&>(*job);
        for (std::size_t at = 0; at < done.out.size(); at += kChunk)
            out.put(done.out.data() + at, std::min(kChunk, done.out.size() - at));
    }

    // Blocks are checked for sane sizes here, then gathered into batches
    // that the workers decompress and verify.
    bool read_block(Sink& out) {
        const unsigned char* p = peek(4);
        if (!p) return false;
        std::uint32_t dst_len = get32(p);
        if (dst_len == 0) {
            consume(4);
            state_ = State::Between;
            ++files_;
            return true;
        }
        if (dst_len > kMaxBlockSize)
            lzop_fail(Problem::Corrupt, "block size " + std::to_string(dst_len) + " exceeds the maximum");
        p = peek(8);
        if (!p) return false;
        std::uint32_t src_len = get32(p + 4);
        if (src_len == 0 || src_len > dst_len) lzop_fail(Problem::Corrupt, "bad compressed block size");
        bool stored = src_len == dst_len;
        std::size_t head = 8;
        if (flags_ & F_ADLER32_D) head += 4;
        if (flags_ & F_CRC32_D) head += 4;
        // Stored blocks carry no separate checksum of the compressed form.
        if (!stored && (flags_ & F_ADLER32_C)) head += 4;
        if (!stored && (flags_ & F_CRC32_C)) head += 4;
        p = peek(head + src_len);
        if (!p) return false;
        if (!batch_) batch_ = std::make_unique<UnpackJob>();
        batch_->blocks.push_back({batch_->records.size(), dst_len, src_len, flags_});
        batch_->records.append(p, head + src_len);
        batch_->plain_size += dst_len;
        consume(head + src_len);
        if (batch_->blocks.size() >= per_job_ || batch_->plain_size >= job_plain_)
            dispatch(out);
        return true;
    }

    State state_ = State::Magic;
    const unsigned char* in_ = nullptr;
    std::size_t in_left_ = 0;
    bool from_input_ = false;
    std::vector<unsigned char> pending_;
    unsigned method_ = 0;
    std::uint32_t flags_ = 0;
    unsigned long files_ = 0;
    const std::size_t per_job_ = sizes().lzop_blocks_per_job;
    const std::size_t job_plain_ = per_job_ * sizes().lzop_block;
    std::unique_ptr<UnpackJob> batch_;
    Pipeline pipeline_;
};

std::unique_ptr<Encoder> make_encoder(int level) {
    return std::make_unique<LzopEncoder>(resolve_level("lzop", level, 1, 9, 3));
}

std::unique_ptr<Decoder> make_decoder() { return std::make_unique<LzopDecoder>(); }

}  // namespace

const Codec lzop_codec = {"lzop", 3, make_encoder, make_decoder};

}  // namespace detail
}  // namespace ondrel::codecs
