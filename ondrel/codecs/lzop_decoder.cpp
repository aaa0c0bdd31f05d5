// Reading lzop: block records checked for sane sizes as they arrive, then
// decompressed and verified in batches on the worker threads.

#include <lzo/lzo1x.h>
#include <lzo/lzoconf.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bytes.h"
#include "lzop.h"

namespace ondrel::codecs::detail {

namespace {

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
            if (b.flags & F_ADLER32_D) want_adler_d = be32(p + head), head += 4;
            if (b.flags & F_CRC32_D) want_crc_d = be32(p + head), head += 4;
            const unsigned char* csums = p + head;
            if (!stored && (b.flags & F_ADLER32_C)) head += 4;
            if (!stored && (b.flags & F_CRC32_C)) head += 4;
            const unsigned char* body = p + head;
            if (!stored) {
                if (b.flags & F_ADLER32_C) {
                    if (be32(csums) != adler32(body, b.src_len))
                        throw_lzop_error(Problem::Corrupt, "compressed block checksum mismatch");
                    csums += 4;
                }
                if ((b.flags & F_CRC32_C) && be32(csums) != crc32(body, b.src_len))
                    throw_lzop_error(Problem::Corrupt, "compressed block checksum mismatch");
            }
            unsigned char* plain = out.bytes() + done;
            if (stored) {
                std::memcpy(plain, body, b.dst_len);
            } else {
                lzo_uint got = b.dst_len;
                int rc = lzo1x_decompress_safe(body, b.src_len, plain, &got, nullptr);
                if (rc != LZO_E_OK) throw_lzop_error(Problem::Corrupt, lzo_message(rc));
                if (got != b.dst_len) throw_lzop_error(Problem::Corrupt, "block decompressed to the wrong size");
            }
            if ((b.flags & F_ADLER32_D) && adler32(plain, b.dst_len) != want_adler_d)
                throw_lzop_error(Problem::Corrupt, "block checksum mismatch");
            if ((b.flags & F_CRC32_D) && crc32(plain, b.dst_len) != want_crc_d)
                throw_lzop_error(Problem::Corrupt, "block checksum mismatch");
            done += b.dst_len;
        }
    }

    Buffer records;
    std::vector<Block> blocks;
    std::size_t plain_size = 0;
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
        if (state_ == State::Magic && files_ == 0 && pending_.empty())
            throw_lzop_error(Problem::Truncated, "empty input");
        throw_lzop_error(Problem::Truncated, "truncated file");
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
                check_padding("lzop", in_, in_left_);
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
        if (files_) trailing_garbage("lzop");
        throw_lzop_error(Problem::NotLzop, "bad magic number");
    }

    // Works through the header in `p[0..have)`. Returns 0 when it is complete
    // and valid (and `have` is exactly its length), otherwise the total
    // number of bytes needed to get further.
    std::size_t parse_header(const unsigned char* p, std::size_t have) {
        std::size_t at = 0;
        auto need = [&](std::size_t n) { return at + n > have; };
        unsigned version = be16(p);
        at = 2;
        if (version < 0x0900) throw_lzop_error(Problem::Unsupported, "format version too old");
        bool modern = version >= 0x0940;
        std::size_t fixed = 2 + (modern ? 2 : 0) + 1 + (modern ? 1 : 0) + 4;
        if (need(fixed)) return at + fixed;
        at += 2;  // library version
        if (modern) {
            unsigned needed = be16(p + at);
            at += 2;
            if (needed > kVersion) throw_lzop_error(Problem::Unsupported, "written for a newer lzop");
            if (needed < 0x0900) throw_lzop_error(Problem::Corrupt, "bad header");
        }
        method_ = p[at++];
        if (method_ != M_LZO1X_1 && method_ != M_LZO1X_1_15 && method_ != M_LZO1X_999)
            throw_lzop_error(Problem::Unsupported, "compression method " + std::to_string(method_));
        if (modern) ++at;  // level: irrelevant for decoding
        flags_ = be32(p + at);
        at += 4;
        if (flags_ & F_RESERVED) throw_lzop_error(Problem::Unsupported, "unknown header flags");
        if (flags_ & F_H_FILTER)
            throw_lzop_error(Problem::Unsupported, "written with a filter (lzop --filter)");
        std::size_t rest = 4 + 4 + (modern ? 4 : 0) + 1;  // mode, mtime, name length
        if (need(rest)) return at + rest;
        at += rest;
        std::size_t name_len = p[at - 1];
        if (need(name_len + 4)) return at + name_len + 4;
        at += name_len;
        std::uint32_t sum = (flags_ & F_H_CRC32) ? crc32(p, at) : adler32(p, at);
        if (be32(p + at) != sum) throw_lzop_error(Problem::Corrupt, "header checksum mismatch");
        at += 4;
        if (flags_ & F_H_EXTRA_FIELD) {
            // An opaque field with its own checksum over length and body.
            if (need(4)) return at + 4;
            std::uint32_t len = be32(p + at);
            if (len > kMaxExtraField) throw_lzop_error(Problem::Unsupported, "oversized extra header field");
            std::size_t start = at;
            if (need(4 + std::size_t(len) + 4)) return at + 4 + len + 4;
            at += 4 + len;
            std::uint32_t esum = (flags_ & F_H_CRC32) ? crc32(p + start, at - start) : adler32(p + start, at - start);
            if (be32(p + at) != esum) throw_lzop_error(Problem::Corrupt, "extra field checksum mismatch");
            at += 4;
        }
        if (at != have) throw_lzop_error(Problem::Internal, "header length");
        return 0;
    }

    void collect(Sink& out, bool all) {
        pipeline_.drain(all, [&](std::unique_ptr<Job> done) { deliver(*done, out); });
    }

    void dispatch(Sink& out) {
        pipeline_.push_when_room(std::move(batch_), [&](std::unique_ptr<Job> done) { deliver(*done, out); });
    }

    static void deliver(Job& job, Sink& out) {
        auto& done = static_cast<UnpackJob&>(job);
        emit(done.out.data(), done.out.size(), out);
    }

    // Blocks are checked for sane sizes here, then gathered into batches
    // that the workers decompress and verify.
    bool read_block(Sink& out) {
        const unsigned char* p = peek(4);
        if (!p) return false;
        std::uint32_t dst_len = be32(p);
        if (dst_len == 0) {
            consume(4);
            state_ = State::Between;
            ++files_;
            return true;
        }
        if (dst_len > kMaxBlockSize)
            throw_lzop_error(Problem::Corrupt, "block size " + std::to_string(dst_len) + " exceeds the maximum");
        p = peek(8);
        if (!p) return false;
        std::uint32_t src_len = be32(p + 4);
        if (src_len == 0 || src_len > dst_len) throw_lzop_error(Problem::Corrupt, "bad compressed block size");
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

}  // namespace

std::unique_ptr<Decoder> make_lzop_decoder() { return std::make_unique<LzopDecoder>(); }

}  // namespace ondrel::codecs::detail
