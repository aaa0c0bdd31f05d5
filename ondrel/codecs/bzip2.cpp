// bzip2 through libbz2's low-level stream interface.

#include <bzlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

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
        throw OutOfMemory(code, text + "out of memory");
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

// libbz2 allocates megabytes for every stream it opens. Each thread keeps
// those blocks for its next stream instead of faulting in fresh memory;
// what it does not keep goes back to the workers' store.
class BlockCache {
public:
    ~BlockCache() {
        for (auto& e : entries_) workers::release(e.p, e.capacity);
    }
    void* get(std::size_t size) {
        for (auto& e : entries_)
            if (!e.used && e.size == size) {
                e.used = true;
                return e.p;
            }
        std::size_t capacity = size;
        char* p;
        try {
            p = workers::allocate(capacity);
        } catch (const std::bad_alloc&) {
            return nullptr;  // libbz2 reports BZ_MEM_ERROR
        }
        entries_.push_back({p, size, capacity, true});
        return p;
    }
    void put(void* p) {
        auto e = std::find_if(entries_.begin(), entries_.end(), [p](const Entry& e) { return e.p == p; });
        e->used = false;
        if (entries_.size() > kKept) {
            workers::release(e->p, e->capacity);
            entries_.erase(e);
        }
    }
    static BlockCache& mine() {
        thread_local BlockCache cache;
        return cache;
    }

private:
    static constexpr std::size_t kKept = 8;
    struct Entry {
        char* p;
        std::size_t size, capacity;
        bool used;
    };
    std::vector<Entry> entries_;
};

// A stream is opened and closed by the same thread, so its blocks go back
// to the cache they came from.
void* cache_alloc(void*, int n, int m) { return BlockCache::mine().get(std::size_t(n) * std::size_t(m)); }
void cache_free(void*, void* p) {
    if (p) BlockCache::mine().put(p);
}

void init_stream(bz_stream& bz) {
    std::memset(&bz, 0, sizeof bz);
    bz.bzalloc = cache_alloc;
    bz.bzfree = cache_free;
}

constexpr std::uint64_t kBlockMagic = 0x314159265359;
constexpr std::uint64_t kEndMagic = 0x177245385090;
constexpr std::uint64_t kMask48 = (std::uint64_t(1) << 48) - 1;

// Chunks far past a block's worth of raw input happen only for long runs
// of one byte; cutting them keeps memory bounded at a negligible cost.
constexpr std::size_t kMaxChunk = std::size_t(8) << 20;

// `n` <= 56 bits from bit `bit` of p[0, size); bytes past the end read as zero.
std::uint64_t read_bits(const unsigned char* p, std::size_t size, std::uint64_t bit, unsigned n) {
    std::size_t byte = static_cast<std::size_t>(bit / 8);
    std::uint64_t w = 0;
    for (std::size_t k = 0; k < 8; ++k) w = (w << 8) | (byte + k < size ? p[byte + k] : 0);
    return (w >> (64 - n - bit % 8)) & ((std::uint64_t(1) << n) - 1);
}

// Compresses one chunk into a complete single-block stream, and finds
// where in it the block ends so the block can be joined to others.
class PackJob : public Job {
public:
    PackJob(Buffer&& in, int level) : in_(std::move(in)), level_(level) {}

    void run() override {
        bz_stream bz;
        init_stream(bz);
        int rc = BZ2_bzCompressInit(&bz, level_, 0, 0);
        if (rc != BZ_OK) bzip2_fail(rc);
        struct End {
            bz_stream& bz;
            ~End() { BZ2_bzCompressEnd(&bz); }
        } end{bz};
        out.resize(in_.size() + in_.size() / 64 + 1024);
        bz.next_in = in_.data();
        bz.avail_in = static_cast<unsigned>(in_.size());
        for (;;) {
            std::size_t used = bz.total_out_lo32 | std::size_t(bz.total_out_hi32) << 32;
            if (out.size() - used < 4096) out.resize(out.size() * 2);
            bz.next_out = out.data() + used;
            bz.avail_out = static_cast<unsigned>(out.size() - used);
            rc = BZ2_bzCompress(&bz, BZ_FINISH);
            if (rc == BZ_STREAM_END) break;
            if (rc != BZ_FINISH_OK) bzip2_fail(rc);
        }
        out.resize(bz.total_out_lo32 | std::size_t(bz.total_out_hi32) << 32);
        in_ = Buffer();
        locate();
    }

    Buffer out;                  // "BZh<level>", the block, the stream's end
    std::uint64_t block_bits = 0;  // the block's length, from out[4]
    std::uint32_t crc = 0;         // the block's CRC

private:
    // The stream ends with the end magic, the stream CRC (the block's own,
    // for a stream of one block) and 0-7 zero bits. The magic overlaps
    // itself at no shift of 1-7 bits, so at most one padding width fits.
    // A chunk that somehow made two blocks fails here rather than being
    // joined with the wrong CRC.
    void locate() {
        const unsigned char* q = out.bytes();
        const std::size_t size = out.size();
        if (size >= 4 + 10 + 10 && read_bits(q, size, 32, 48) == kBlockMagic) {
            crc = static_cast<std::uint32_t>(read_bits(q, size, 80, 32));
            const std::uint64_t total = std::uint64_t(size) * 8;
            for (unsigned pad = 0; pad < 8; ++pad) {
                std::uint64_t end = total - pad - 80;
                if (read_bits(q, size, end, 48) == kEndMagic && read_bits(q, size, end + 48, 32) == crc &&
                    (q[size - 1] & ((1u << pad) - 1)) == 0) {
                    block_bits = end - 32;
                    return;
                }
            }
        }
        bzip2_fail(BZ_SEQUENCE_ERROR, "compressed block not found where expected");
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
class Bzip2Encoder : public Encoder {
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
        if (!chunk_.empty()) pipeline_.push(std::make_unique<PackJob>(std::move(chunk_), level_), true);
        collect(out, true);
        // The stream's header here only for empty input; then the end
        // magic and the combined CRC, padded to a byte.
        unsigned char tail[4 + 10 + 1];
        std::size_t n = 0;
        if (!header_out_) {
            tail[0] = 'B', tail[1] = 'Z', tail[2] = 'h', tail[3] = static_cast<unsigned char>('0' + level_);
            n = 4;
        }
        unsigned char end[10];
        for (int k = 0; k < 6; ++k) end[k] = static_cast<unsigned char>(kEndMagic >> (40 - 8 * k));
        for (int k = 0; k < 4; ++k) end[6 + k] = static_cast<unsigned char>(combined_ >> (24 - 8 * k));
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
            unsigned c = p[i];
            if (c == run_byte_ && run_length_ < 255) {
                ++run_length_;
            } else {
                used_ += run_length_ < 4 ? run_length_ : 5;
                run_byte_ = c;
                run_length_ = 1;
            }
            ++i;
        }
        return i;
    }

    void cut(Sink& out) {
        pipeline_.push_when_room(std::make_unique<PackJob>(std::move(chunk_), level_),
                                 [&](std::unique_ptr<Job> done) { put(std::move(done), out); });
        chunk_ = Buffer();
        used_ = 0;
        run_byte_ = 256;
        run_length_ = 0;
        collect(out, false);
    }

    void collect(Sink& out, bool all) {
        pipeline_.drain(all, [&](std::unique_ptr<Job> done) { put(std::move(done), out); });
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
    void put(std::unique_ptr<Job> job, Sink& out) {
        auto& done = static_cast<PackJob&>(*job);
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
    Pipeline pipeline_;
};

// Decodes one stream from its first byte with libbz2 as input arrives: the
// authority whenever the fast path meets something it doesn't expect.
class StreamInflater {
public:
    StreamInflater() : out_(new char[kChunk]) {
        std::memset(&bz_, 0, sizeof bz_);
        int rc = BZ2_bzDecompressInit(&bz_, 0, 0);
        if (rc != BZ_OK) bzip2_fail(rc);
    }
    ~StreamInflater() { BZ2_bzDecompressEnd(&bz_); }

    // Returns how much input was used; `ended` turns true at the stream's end.
    std::size_t feed(const char* data, std::size_t size, Sink& out, bool& ended) {
        std::size_t used = 0;
        ended = false;
        while (used < size && !ended) {
            std::size_t piece = std::min(size - used, kMaxFeed);
            bz_.next_in = const_cast<char*>(data + used);
            bz_.avail_in = static_cast<unsigned>(piece);
            ended = run(out);
            used += piece - bz_.avail_in;
        }
        return used;
    }

private:
    bool run(Sink& out) {
        for (;;) {
            bz_.next_out = out_.get();
            bz_.avail_out = static_cast<unsigned>(kChunk);
            int rc = BZ2_bzDecompress(&bz_);
            std::size_t produced = kChunk - bz_.avail_out;
            if (produced) out.put(out_.get(), produced);
            if (rc == BZ_STREAM_END) return true;
            if (rc != BZ_OK) bzip2_fail(rc);
            // libbz2 holds back a decoded block, so an exactly full output
            // buffer can mean more is pending even with no input left.
            if (bz_.avail_in == 0 && bz_.avail_out != 0) return false;
        }
    }

    bz_stream bz_;
    std::unique_ptr<char[]> out_;
};

// Passes output on after dropping what was already delivered.
struct SkipSink : Sink {
    SkipSink(Sink& out, std::uint64_t skip) : out(out), skip(skip) {}
    void put(const char* p, std::size_t n) override {
        if (skip >= n) {
            skip -= n;
            return;
        }
        p += skip;
        n -= static_cast<std::size_t>(skip);
        skip = 0;
        out.put(p, n);
    }
    Sink& out;
    std::uint64_t skip;
};

// For every 16-bit value, which of the 16 (pattern, bit shift) pairs could
// start at the byte before it: a magic starting at bit s of byte i fixes
// bytes i+1 and i+2 completely.
struct MagicTable {
    std::uint16_t bits[65536] = {};
    MagicTable() {
        const std::uint64_t magics[2] = {kBlockMagic, kEndMagic};
        for (int m = 0; m < 2; ++m)
            for (int s = 0; s < 8; ++s) {
                // The pattern placed at bit s of a 64-bit big-endian window.
                std::uint64_t w = magics[m] << (16 - s);
                unsigned v = unsigned(w >> 40) & 0xffff;  // bytes 1 and 2 of the window
                bits[v] |= std::uint16_t(1u << (m * 8 + s));
            }
    }
};

const MagicTable& magic_table() {
    static const MagicTable table;
    return table;
}

// Decodes one block, lifted out of its stream, as a stream of its own:
// libbz2 then checks its CRC as it would in place.
class BlockJob : public Job {
public:
    BlockJob(Buffer&& raw, unsigned shift, std::uint64_t bits, int level, std::uint32_t crc, std::uint64_t stream,
             std::uint64_t stream_start)
        : stream(stream), stream_start(stream_start), raw_(std::move(raw)), shift_(shift), bits_(bits),
          level_(level), crc_(crc) {}

    void run() override {
        Buffer packed(bits_ / 8 + 32);
        unsigned char* q = packed.bytes();
        q[0] = 'B', q[1] = 'Z', q[2] = 'h', q[3] = static_cast<unsigned char>('0' + level_);
        const unsigned char* r = raw_.bytes();
        std::size_t whole = bits_ / 8;
        if (shift_ == 0) {
            std::memcpy(q + 4, r, whole);
        } else {
            for (std::size_t i = 0; i < whole; ++i)
                q[4 + i] = static_cast<unsigned char>((r[i] << shift_) | (r[i + 1] >> (8 - shift_)));
        }
        // The leftover bits of the block, then the end marker and the CRC.
        std::size_t at = 4 + whole;
        unsigned left = unsigned(bits_ % 8);
        unsigned acc = 0, nacc = 0;
        if (left) {
            unsigned pair = (unsigned(r[whole]) << 8) | (whole + 1 < raw_.size() ? r[whole + 1] : 0);
            acc = (pair >> (16 - shift_ - left)) & ((1u << left) - 1);
            nacc = left;
        }
        auto push = [&](std::uint64_t v, unsigned n) {
            while (n--) {
                acc = (acc << 1) | unsigned((v >> n) & 1);
                if (++nacc == 8) {
                    q[at++] = static_cast<unsigned char>(acc);
                    acc = nacc = 0;
                }
            }
        };
        push(kEndMagic, 48);
        push(crc_, 32);
        if (nacc) q[at++] = static_cast<unsigned char>(acc << (8 - nacc));

        bz_stream bz;
        init_stream(bz);
        if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) {
            failed = true;
            return;
        }
        out.resize(std::size_t(level_) * 100000 + 4096);
        bz.next_in = packed.data();
        bz.avail_in = static_cast<unsigned>(at);
        int rc;
        for (;;) {
            std::size_t used = bz.total_out_lo32;
            if (out.size() - used < 4096) out.resize(out.size() * 2);
            bz.next_out = out.data() + used;
            bz.avail_out = static_cast<unsigned>(out.size() - used);
            rc = BZ2_bzDecompress(&bz);
            if (rc != BZ_OK) break;
            if (bz.avail_in == 0 && bz.avail_out != 0) break;
        }
        out.resize(bz.total_out_lo32);
        failed = rc != BZ_STREAM_END || bz.avail_in != 0;
        BZ2_bzDecompressEnd(&bz);
    }

    Buffer out;
    bool failed = false;
    std::uint64_t stream;
    std::uint64_t stream_start;

private:
    Buffer raw_;
    unsigned shift_;
    std::uint64_t bits_;
    int level_;
    std::uint32_t crc_;
};

// bzip2 -d decodes streams written back to back (ours, pbzip2's, `cat`'s).
// Within a stream, blocks are found by their 48-bit magic numbers, which
// sit at any bit position, and decoded side by side. A block that fails,
// or anything else unexpected, sends the whole stream through libbz2 the
// ordinary way, so errors, and the rare magic number that is really part
// of the data, get exactly bzip2's verdict.
class Bzip2Decoder : public Decoder {
public:
    void update(const char* data, std::size_t size, Sink& out) override {
        if (size == 0) return;
        seen_input_ = true;
        if (phase_ == Phase::Padding) return check_padding(data, size);
        if (phase_ == Phase::Fallback) {
            bool ended = false;
            std::size_t used = inflater_->feed(data, size, out, ended);
            base_ += used;
            if (!ended) return;
            stream_done(base_);
            data += used;
            size -= used;
            if (size == 0) return;
        }
        compact();
        in_.append(data, size);
        process(out, false);
        drain(out, false);
    }

    void finish(Sink& out) override {
        if (!seen_input_) bzip2_fail(BZ_UNEXPECTED_EOF, "empty input");
        for (;;) {
            if (phase_ == Phase::Fallback) bzip2_fail(BZ_UNEXPECTED_EOF, streams_ ? "truncated stream" : "truncated file");
            process(out, true);
            if (drain(out, true)) break;
        }
        if (phase_ == Phase::Fallback) bzip2_fail(BZ_UNEXPECTED_EOF, streams_ ? "truncated stream" : "truncated file");
    }

private:
    enum class Phase { Head, Magic, Scan, Padding, Fallback };

    std::uint64_t end() const { return base_ + in_.size(); }
    const unsigned char* at(std::uint64_t offset) const {
        return reinterpret_cast<const unsigned char*>(in_.data()) + (offset - base_);
    }

    // `n` <= 32 bits from absolute bit position `bit`; bytes past the end read as zero.
    std::uint64_t bits(std::uint64_t bit, unsigned n) const {
        std::uint64_t byte = bit / 8, w = 0;
        for (int k = 0; k < 8; ++k) w = (w << 8) | (byte + k < end() ? *at(byte + k) : 0);
        return (w >> (64 - n - bit % 8)) & ((std::uint64_t(1) << n) - 1);
    }
    std::uint64_t bits48(std::uint64_t bit) const { return (bits(bit, 24) << 24) | bits(bit + 24, 24); }

    void compact() {
        bool between = phase_ == Phase::Head || phase_ == Phase::Padding;
        std::uint64_t keep = !keep_.empty() ? keep_.front() : between ? at_ : stream_start_;
        std::size_t drop = static_cast<std::size_t>(keep - base_);
        if (drop < (std::size_t(1) << 20) || drop < in_.size() / 2) return;
        std::memmove(in_.data(), in_.data() + drop, in_.size() - drop);
        in_.resize(in_.size() - drop);
        base_ += drop;
    }

    void check_padding(const char* p, std::size_t n) {
        // Zero bytes after the last stream (block-padded media) are
        // tolerated, as bzip2 -d does; anything else is rejected.
        phase_ = Phase::Padding;
        if (std::any_of(p, p + n, [](char c) { return c != 0; }))
            bzip2_fail(BZ_DATA_ERROR, "trailing garbage after compressed data");
    }

    void process(Sink& out, bool final) {
        for (;;) {
            switch (phase_) {
            case Phase::Padding:
            case Phase::Fallback:
                return;
            case Phase::Head: {
                if (at_ == end()) return;
                const unsigned char* p = at(at_);
                std::size_t avail = static_cast<std::size_t>(end() - at_);
                if (streams_ > 0 && p[0] == 0) {
                    check_padding(reinterpret_cast<const char*>(p), avail);
                    at_ = end();
                    return;
                }
                static const char head[] = "BZh";
                for (std::size_t k = 0; k < std::min<std::size_t>(avail, 4); ++k)
                    if (k < 3 ? p[k] != head[k] : (p[k] < '1' || p[k] > '9')) {
                        if (streams_ > 0) bzip2_fail(BZ_DATA_ERROR, "trailing garbage after compressed data");
                        bzip2_fail(BZ_DATA_ERROR_MAGIC);
                    }
                if (avail < 4) {
                    if (final) bzip2_fail(BZ_UNEXPECTED_EOF, streams_ ? "truncated stream" : "truncated file");
                    return;
                }
                level_ = p[3] - '0';
                stream_start_ = at_;
                ++stream_id_;
                combined_ = 0;
                bit_ = (at_ + 4) * 8;
                phase_ = Phase::Magic;
                break;
            }
            case Phase::Magic: {
                if (bit_ + 80 > end() * 8) {
                    if (!final) return;
                    fallback_current(out);
                    break;
                }
                std::uint64_t magic = bits48(bit_);
                std::uint32_t crc = static_cast<std::uint32_t>(bits(bit_ + 48, 32));
                if (magic == kBlockMagic) {
                    block_bit_ = bit_;
                    block_crc_ = crc;
                    search_ = bit_ + 80;
                    phase_ = Phase::Scan;
                } else if (magic == kEndMagic && crc == combined_) {
                    stream_done((bit_ + 80 + 7) / 8);
                } else {
                    fallback_current(out);
                }
                break;
            }
            case Phase::Scan: {
                std::uint64_t found = scan(final);
                if (found == 0) {
                    // A block is at most about 1.1 MB; with no end in sight
                    // something is off, and libbz2 will say what.
                    if (!final && search_ - block_bit_ <= (std::uint64_t(level_) * 200000 + (1 << 20)) * 8) return;
                    fallback_current(out);
                    break;
                }
                if (!dispatch(found, out)) break;
                combined_ = ((combined_ << 1) | (combined_ >> 31)) ^ block_crc_;
                bit_ = found;
                phase_ = Phase::Magic;
                break;
            }
            }
        }
    }

    // The bit position of the next magic number at or after search_, or 0
    // if none is in the input yet.
    std::uint64_t scan(bool final) {
        const auto& table = magic_table().bits;
        const unsigned char* d = at(base_);
        std::size_t size = in_.size();
        // A full 8-byte window is needed, except at the very end of input
        // where the missing bytes read as zero.
        std::size_t limit = final ? size : (size >= 8 ? size - 7 : 0);
        std::size_t first = static_cast<std::size_t>(search_ / 8 - base_);
        auto byte = [&](std::size_t k) -> unsigned { return k < size ? d[k] : 0; };
        for (std::size_t i = first; i < limit; ++i) {
            unsigned m = table[(byte(i + 1) << 8) | byte(i + 2)];
            if (!m) continue;
            std::uint64_t w = 0;
            for (std::size_t k = 0; k < 8; ++k) w = (w << 8) | byte(i + k);
            for (unsigned s = 0; s < 8; ++s) {
                std::uint64_t bit = (base_ + i) * 8 + s;
                if (bit < search_ || bit + 48 > end() * 8) continue;
                std::uint64_t v48 = (w >> (16 - s)) & kMask48;
                if ((((m >> s) & 1) && v48 == kBlockMagic) || (((m >> (8 + s)) & 1) && v48 == kEndMagic)) return bit;
            }
        }
        search_ = std::max(search_, (base_ + limit) * 8);
        return 0;
    }

    // False if waiting for room sent a stream to libbz2 instead.
    bool dispatch(std::uint64_t block_end, Sink& out) {
        std::uint64_t from = block_bit_ / 8, to = (block_end + 7) / 8;
        Buffer raw(static_cast<std::size_t>(to - from) + 1);
        raw.append(at(from), static_cast<std::size_t>(to - from));
        while (pipeline_->full())
            if (!drain_one(out)) return false;
        // A block that ends its stream and the input with it is decoded on
        // this thread: a small file should not pay for starting workers.
        const bool last = bits48(block_end) == kEndMagic && (block_end + 80 + 7) / 8 >= end();
        pipeline_->push(std::make_unique<BlockJob>(std::move(raw), unsigned(block_bit_ % 8), block_end - block_bit_,
                                                   level_, block_crc_, stream_id_, stream_start_),
                        last);
        keep_.push_back(stream_start_);
        return true;
    }

    // Collects finished blocks in order; false if one failed and its
    // stream was handed to libbz2 (after which scanning resumes elsewhere).
    bool drain(Sink& out, bool all) {
        while (pipeline_->pending() > 0) {
            if (!all) {
                if (!drain_ready(out)) return false;
                return true;
            }
            if (!drain_one(out)) return false;
        }
        return true;
    }

    bool drain_ready(Sink& out) {
        while (auto job = pipeline_->pop(false))
            if (!deliver(std::move(job), out)) return false;
        return true;
    }

    bool drain_one(Sink& out) { return deliver(pipeline_->pop(true), out); }

    bool deliver(std::unique_ptr<Job> job, Sink& out) {
        auto& done = static_cast<BlockJob&>(*job);
        keep_.pop_front();
        if (done.stream != delivered_stream_) {
            delivered_stream_ = done.stream;
            delivered_ = 0;
        }
        if (done.failed) {
            fallback(done.stream_start, delivered_, out);
            return false;
        }
        for (std::size_t k = 0; k < done.out.size(); k += kChunk)
            out.put(done.out.data() + k, std::min(kChunk, done.out.size() - k));
        delivered_ += done.out.size();
        return true;
    }

    // Something unexpected in the stream being scanned.
    void fallback_current(Sink& out) {
        // Earlier blocks first; one of them may fail and fall back earlier.
        while (pipeline_->pending() > 0)
            if (!drain_one(out)) return;
        fallback(stream_start_, delivered_stream_ == stream_id_ ? delivered_ : 0, out);
    }

    // Decodes the stream starting at `start` with libbz2, skipping the
    // output already delivered from it.
    void fallback(std::uint64_t start, std::uint64_t skip, Sink& out) {
        pipeline_ = std::make_unique<Pipeline>();
        keep_.clear();
        inflater_ = std::make_unique<StreamInflater>();
        phase_ = Phase::Fallback;
        stream_start_ = start;
        SkipSink rest(out, skip);
        bool ended = false;
        std::size_t used = inflater_->feed(reinterpret_cast<const char*>(at(start)),
                                           static_cast<std::size_t>(end() - start), rest, ended);
        if (ended) {
            stream_done(start + used);
        } else {
            // The rest of the stream comes straight from update().
            base_ = end();
            in_.clear();
        }
    }

    void stream_done(std::uint64_t next) {
        ++streams_;
        inflater_.reset();
        at_ = next;
        phase_ = Phase::Head;
    }

    Buffer in_;
    std::uint64_t base_ = 0;   // absolute offset of in_[0]
    std::uint64_t at_ = 0;     // where the next stream starts (Head)
    std::uint64_t bit_ = 0;    // where the next magic number must be (Magic)
    std::uint64_t block_bit_ = 0, search_ = 0;
    std::uint32_t block_crc_ = 0, combined_ = 0;
    std::uint64_t stream_start_ = 0, stream_id_ = 0;
    std::uint64_t delivered_stream_ = ~std::uint64_t(0), delivered_ = 0;
    std::deque<std::uint64_t> keep_;  // stream start of each block in flight
    int level_ = 9;
    Phase phase_ = Phase::Head;
    unsigned long streams_ = 0;
    bool seen_input_ = false;
    std::unique_ptr<StreamInflater> inflater_;
    std::unique_ptr<Pipeline> pipeline_ = std::make_unique<Pipeline>();
};

std::unique_ptr<Encoder> make_encoder(int level) {
    return std::make_unique<Bzip2Encoder>(resolve_level("bzip2", level, 1, 9, 9));
}

std::unique_ptr<Decoder> make_decoder() { return std::make_unique<Bzip2Decoder>(); }

}  // namespace

const Codec bzip2_codec = {"bzip2", 9, make_encoder, make_decoder};

}  // namespace detail
}  // namespace ondrel::codecs
