// Writing bzip2: blocks compressed side by side and joined into one stream.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "bytes.h"
#include "bzip2.h"
#include "parallel.h"

namespace ondrel::codecs::detail {

namespace {

// Chunks far past a block's worth of raw input happen only for long runs
// of one byte; cutting them keeps memory bounded at a negligible cost.
constexpr std::size_t kMaxChunk = std::size_t(8) << 20;

// Compresses one chunk into a complete single-block stream, and finds
// where in it the block ends so the block can be joined to others.
class PackJob : public Job {
public:
    PackJob(Buffer&& in, int level) : in_(std::move(in)), level_(level) {}

    void run() override {
        bz_stream bz;
        init_stream(bz);
        int rc = BZ2_bzCompressInit(&bz, level_, 0, 0);
        if (rc != BZ_OK) throw_bzip2_error(rc);
        struct End {
            bz_stream& bz;
            ~End() { BZ2_bzCompressEnd(&bz); }
        } end{bz};
        out.resize(in_.size() + in_.size() / 64 + 1024);
        bz.next_in = in_.data();
        bz.avail_in = static_cast<unsigned>(in_.size());
        pump(bz, out, [&] {
            rc = BZ2_bzCompress(&bz, BZ_FINISH);
            if (rc != BZ_STREAM_END && rc != BZ_FINISH_OK) throw_bzip2_error(rc);
            return rc != BZ_STREAM_END;
        });
        locate();
    }

    // `out` holds "BZh<level>", the block and the stream's end.
    std::uint64_t block_bits = 0;  // the block's length, from out[4]
    std::uint32_t crc = 0;         // the block's CRC

private:
    // A chunk that somehow made two blocks fails here rather than being
    // joined with the wrong CRC.
    void locate() {
        block_bits = lone_block_bits(out.bytes(), out.size(), crc);
        if (!block_bits) throw_bzip2_error(BZ_SEQUENCE_ERROR, "compressed block not found where expected");
    }

    Buffer in_;
    int level_;
};

// One stream of many blocks, as bzip2 writes it. Each chunk is cut exactly
// where bzip2 would end a block and compressed on its own core as a stream
// of one block; the collecting thread then strips those streams' headers
// and ends and joins the blocks bit to bit (blocks are not byte-aligned).
// The output is then what bzip2 itself writes, and readers that stop after
// one stream (Python's bz2 module among them) see all of it.
class Bzip2Encoder : public ParallelEncoder {
public:
    explicit Bzip2Encoder(int level) : level_(level), limit_(std::size_t(level) * 100000 - 19) {}

    void update(const char* data, std::size_t size, Sink& out) override {
        const auto* p = reinterpret_cast<const unsigned char*>(data);
        while (size > 0) {
            std::size_t take = fill(p, size);
            chunk_.append(p, take);
            p += take;
            size -= take;
            if (size > 0 || chunk_.size() >= kMaxChunk) cut(out);
        }
    }

    void finish(Sink& out) override {
        submit_last(chunk_.empty() ? nullptr : std::make_unique<PackJob>(std::move(chunk_), level_), out);
        // The stream's header here only for empty input; then the end
        // magic and the combined CRC, padded to a byte.
        unsigned char tail[4 + 10 + 1];
        std::size_t n = 0;
        if (!header_out_) {
            put_stream_header(tail, level_);
            n = 4;
        }
        unsigned char end[10];
        put_be(end, kEndMagic, 6);
        put_be32(end + 6, combined_);
        n += shift_in(end, sizeof end, tail + n);
        if (nacc_) tail[n++] = static_cast<unsigned char>(acc_);
        out.put(reinterpret_cast<const char*>(tail), n);
    }

private:
    // How many of the next bytes still fit in the current block, following
    // libbz2's own accounting: runs of 4-255 equal bytes take 5 bytes.
    std::size_t fill(const unsigned char* p, std::size_t n) {
        std::size_t i = 0;
        std::size_t room = std::min(n, kMaxChunk - chunk_.size());
        while (i < room && used_ < limit_) {
            // Eight bytes each unlike the one before (p[i - 1] is the run's
            // byte) end the run and make seven more of one byte each: most
            // input goes this way, a word at a time, on the collecting
            // thread that every worker waits on. Far enough from the limit
            // that the block cannot end among them.
            if (i > 0 && room - i >= 8 && used_ + 5 + 8 < limit_) {
                std::uint64_t here, before;
                std::memcpy(&here, p + i, 8);
                std::memcpy(&before, p + i - 1, 8);
                const std::uint64_t same = here ^ before;  // a zero byte where two are equal
                if (((same - 0x0101010101010101u) & ~same & 0x8080808080808080u) == 0) {
                    used_ += (run_length_ < 4 ? run_length_ : 5) + 7;
                    run_byte_ = p[i + 7];
                    run_length_ = 1;
                    i += 8;
                    continue;
                }
            }
            for (const std::size_t stop = std::min(room, i + 8); i < stop && used_ < limit_; ++i) {
                unsigned c = p[i];
                if (c == run_byte_ && run_length_ < 255) {
                    ++run_length_;
                } else {
                    used_ += run_length_ < 4 ? run_length_ : 5;
                    run_byte_ = c;
                    run_length_ = 1;
                }
            }
        }
        return i;
    }

    void cut(Sink& out) {
        auto job = std::make_unique<PackJob>(std::move(chunk_), level_);
        chunk_ = Buffer();
        used_ = 0;
        run_byte_ = 256;
        run_length_ = 0;
        submit(std::move(job), out);
    }

    // Writes `count` whole bytes after the `nacc_` bits still pending, to
    // `dst`, which may be `src` itself or lie before it; returns the bytes
    // completed.
    std::size_t shift_in(const unsigned char* src, std::size_t count, unsigned char* dst) {
        if (nacc_ == 0) {
            if (dst != src) std::memmove(dst, src, count);
            return count;
        }
        const unsigned s = nacc_, back = 8 - nacc_;
        unsigned acc = acc_;
        for (std::size_t i = 0; i < count; ++i) {
            unsigned b = src[i];
            dst[i] = static_cast<unsigned char>(acc | (b >> s));
            acc = (b << back) & 0xff;
        }
        acc_ = acc;
        return count;
    }

    // Appends the job's block to the stream, shifting it in place over the
    // job's own buffer, and passes the whole bytes on.
    void put(Job& job, Sink& out) override {
        auto& done = static_cast<PackJob&>(job);
        unsigned char* q = done.out.bytes();
        const unsigned char* block = q + 4;
        // The first block keeps its stream's header, which is the one the
        // joined stream needs.
        unsigned char* dst = header_out_ ? q : q + 4;
        const std::size_t whole = static_cast<std::size_t>(done.block_bits / 8);
        const unsigned rest = unsigned(done.block_bits % 8);
        std::size_t n = shift_in(block, whole, dst);
        if (rest) {
            unsigned b = block[whole] & (0xff00u >> rest);
            unsigned acc = acc_ | (b >> nacc_);
            if (nacc_ + rest >= 8) {
                dst[n++] = static_cast<unsigned char>(acc);
                acc = (b << (8 - nacc_)) & 0xff;
            }
            acc_ = acc;
            nacc_ = (nacc_ + rest) % 8;
        }
        combined_ = ((combined_ << 1) | (combined_ >> 31)) ^ done.crc;
        out.put(done.out.data(), static_cast<std::size_t>(dst + n - q));
        header_out_ = true;
    }

    int level_;
    std::size_t limit_;
    std::size_t used_ = 0;
    unsigned run_byte_ = 256;
    unsigned run_length_ = 0;
    bool header_out_ = false;
    unsigned acc_ = 0, nacc_ = 0;  // bits not yet making a whole byte, at the top of acc_
    std::uint32_t combined_ = 0;   // the stream CRC, from the block CRCs in order
    Buffer chunk_;
};

}  // namespace

std::unique_ptr<Encoder> make_bzip2_encoder(int level) { return std::make_unique<Bzip2Encoder>(level); }

}  // namespace ondrel::codecs::detail
