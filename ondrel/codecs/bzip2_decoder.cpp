// Reading bzip2: the blocks of a stream decoded side by side, with libbz2
// itself as the judge of anything unexpected.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>

#include "bzip2.h"

namespace ondrel::codecs::detail {

namespace {

// Decodes one stream from its first byte with libbz2 as input arrives: the
// authority whenever the fast path meets something it doesn't expect.
class StreamInflater {
public:
    // libbz2's megabytes for the stream come from the buffer store, not
    // from a per-thread cache: this stream may be ended on another thread.
    StreamInflater() : out_(kChunk) {
        std::memset(&bz_, 0, sizeof bz_);
        bz_.bzalloc = [](void*, int n, int m) { return workers::allocate_unsized(std::size_t(n) * std::size_t(m)); };
        bz_.bzfree = [](void*, void* p) { workers::release_unsized(p); };
        int rc = BZ2_bzDecompressInit(&bz_, 0, 0);
        if (rc != BZ_OK) throw_bzip2_error(rc);
    }
    ~StreamInflater() { BZ2_bzDecompressEnd(&bz_); }

    // Returns how much input was used; `ended` turns true at the stream's end.
    std::size_t feed(const char* data, std::size_t size, Sink& out, bool& ended) {
        // libbz2 holds back a decoded block, so an exactly full output
        // buffer can mean more is pending even with no input left.
        return feed_pieces(bz_, data, size, ended, [&] {
            return drive(bz_, out_.data(), out, [&] { return BZ2_bzDecompress(&bz_); }, [&](int rc) {
                if (rc != BZ_OK && rc != BZ_STREAM_END) throw_bzip2_error(rc);
                return rc == BZ_STREAM_END;
            });
        });
    }

private:
    bz_stream bz_;
    Buffer out_;
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

// A block boundary of a stream, and what reading on from there needs.
struct Mark {
    std::uint64_t bit;        // absolute bit position of the magic number
    std::uint32_t combined;   // the stream's CRC over the blocks before it
    int level;
    unsigned long streams;    // streams ended before this one
};

// Decodes one block, lifted out of its stream, as a stream of its own:
// libbz2 then checks its CRC as it would in place.
class BlockJob : public Job {
public:
    BlockJob(Buffer&& raw, const Mark& from, std::uint64_t cut, std::uint32_t crc)
        : from(from), cut(cut), raw_(std::move(raw)), shift_(unsigned(from.bit % 8)),
          bits_(cut - from.bit), level_(from.level), crc_(crc) {}

    void run() override {
        Buffer packed(bits_ / 8 + 32);
        unsigned char* q = packed.bytes();
        put_stream_header(q, level_);
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
        // Room for what the block's input usually gives; pump() doubles it
        // for the rare block that gives more.
        out.resize(std::min(std::size_t(level_) * 100000, 8 * at) + 4096);
        bz.next_in = packed.data();
        bz.avail_in = static_cast<unsigned>(at);
        int rc = BZ_OK;
        pump(bz, out, [&] {
            // No further than a byte past the most, however much room is free.
            if (const std::uint64_t left = most_ - total_out(bz); left < bz.avail_out)
                bz.avail_out = static_cast<unsigned>(left + 1);
            rc = BZ2_bzDecompress(&bz);
            return rc == BZ_OK && !(bz.avail_in == 0 && bz.avail_out != 0) && total_out(bz) <= most_;
        });
        failed = rc != BZ_STREAM_END || bz.avail_in != 0;
        // libbz2 takes a byte only when it needs its bits.
        const bool before_cut = std::uint64_t(bz.total_in_lo32) * 8 <= 32 + bits_;
        past_recutting = failed && (total_out(bz) > 0 || before_cut);
        BZ2_bzDecompressEnd(&bz);
    }

    bool failed = false;
    // Failed on the block's own bits, before reaching the cut, or after
    // giving output, which libbz2 gives none of before it has read all of
    // the block's symbols: a longer cut would fail the same way.
    bool past_recutting = false;
    const Mark from;
    const std::uint64_t cut;  // where the scanner ended the block
    std::uint32_t block_crc() const { return crc_; }

private:
    Buffer raw_;
    unsigned shift_;
    std::uint64_t bits_;
    int level_;
    std::uint32_t crc_;
    // Past this, the block is left to libbz2 reading its stream.
    const std::size_t most_ = sizes().bzip2_block_output;
};

// bzip2 -d decodes streams written back to back (ours, pbzip2's, `cat`'s).
// Within a stream, blocks are found by their 48-bit magic numbers, which
// sit at any bit position, and decoded side by side. A block cut short at
// a magic number that is really part of the data always fails: its bits
// end where libbz2 still expects more. So every cut, and an end of stream
// found by the scanner, is only a guess until the blocks before it come
// back, and no verdict on what follows is given while any is out. A block
// that fails is cut again at the next magic number after, until it decodes
// or is longer than any block can be; anything else unexpected goes to
// libbz2 the ordinary way, so errors get exactly bzip2's verdict. Either
// way the reading resumes at the start of the oldest block not yet
// delivered, a boundary every block before it has confirmed, so only the
// input from there on is kept: a few blocks, however long the stream.
class Bzip2Decoder : public Decoder {
public:
    void update(const char* data, std::size_t size, Sink& out) override {
        if (size == 0) return;
        seen_input_ = true;
        // Padding waits with the blocks still out: the end it follows may
        // be one the scanner misjudged.
        if (phase_ == Phase::Padding && pipeline_->pending() == 0)
            return check_padding("bzip2", reinterpret_cast<const unsigned char*>(data), size);
        if (phase_ == Phase::Fallback) {
            bool ended = false;
            std::size_t used = inflate(data, size, out, ended);
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
        if (!seen_input_) throw_bzip2_error(BZ_UNEXPECTED_EOF, "empty input");
        for (;;) {
            if (phase_ == Phase::Fallback)
                throw_bzip2_error(BZ_UNEXPECTED_EOF, streams_ ? "truncated stream" : "truncated file");
            process(out, true);
            if (drain(out, true)) break;
        }
        if (phase_ == Phase::Fallback)
            throw_bzip2_error(BZ_UNEXPECTED_EOF, streams_ ? "truncated stream" : "truncated file");
    }

private:
    enum class Phase { Head, Magic, Scan, Padding, Fallback };

    std::uint64_t end() const { return base_ + in_.size(); }
    const unsigned char* at(std::uint64_t offset) const {
        return reinterpret_cast<const unsigned char*>(in_.data()) + (offset - base_);
    }

    // `n` <= 32 bits from absolute bit position `bit`; bytes past the end read as zero.
    std::uint64_t bits(std::uint64_t bit, unsigned n) const {
        return read_bits(reinterpret_cast<const unsigned char*>(in_.data()), in_.size(), bit - base_ * 8, n);
    }
    std::uint64_t bits48(std::uint64_t bit) const { return (bits(bit, 24) << 24) | bits(bit + 24, 24); }

    Mark mark(std::uint64_t bit) const { return {bit, combined_, level_, streams_}; }

    // Drops the input before the first block that may yet be read again.
    void compact() {
        std::uint64_t keep = !keep_.empty()              ? keep_.front()
                             : phase_ == Phase::Magic    ? bit_ / 8
                             : phase_ == Phase::Scan     ? block_bit_ / 8
                                                         : at_;
        std::size_t drop = static_cast<std::size_t>(keep - base_);
        if (drop < (std::size_t(1) << 20) || drop < in_.size() / 2) return;
        std::memmove(in_.data(), in_.data() + drop, in_.size() - drop);
        in_.resize(in_.size() - drop);
        base_ += drop;
    }

    void process(Sink& out, bool final) {
        for (;;) {
            switch (phase_) {
            case Phase::Fallback:
                return;
            case Phase::Padding: {
                const unsigned char* p = at(at_);
                std::size_t avail = static_cast<std::size_t>(end() - at_);
                if (std::any_of(p, p + avail, [](unsigned char c) { return c != 0; }) && !settled(out)) break;
                check_padding("bzip2", p, avail);
                at_ = end();
                return;
            }
            case Phase::Head: {
                if (at_ == end()) return;
                const unsigned char* p = at(at_);
                std::size_t avail = static_cast<std::size_t>(end() - at_);
                if (streams_ > 0 && p[0] == 0) {
                    phase_ = Phase::Padding;
                    break;
                }
                static const char head[] = "BZh";
                bool bad = false;
                for (std::size_t k = 0; k < std::min<std::size_t>(avail, 4); ++k)
                    bad |= k < 3 ? p[k] != head[k] : (p[k] < '1' || p[k] > '9');
                if ((bad || (avail < 4 && final)) && !settled(out)) break;
                if (bad) {
                    if (streams_ > 0) trailing_garbage("bzip2");
                    throw_bzip2_error(BZ_DATA_ERROR_MAGIC);
                }
                if (avail < 4) {
                    if (final) throw_bzip2_error(BZ_UNEXPECTED_EOF, streams_ ? "truncated stream" : "truncated file");
                    return;
                }
                level_ = p[3] - '0';
                combined_ = 0;
                bit_ = (at_ + 4) * 8;
                phase_ = Phase::Magic;
                break;
            }
            case Phase::Magic: {
                if (bit_ + 80 > end() * 8) {
                    if (!final) return;
                    fallback_current(bit_, out);
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
                    fallback_current(bit_, out);
                }
                break;
            }
            case Phase::Scan: {
                std::uint64_t found = scan(final);
                if (found == 0) {
                    // A block is at most about 1.1 MB; with no end in sight
                    // something is off, and libbz2 will say what.
                    if (!final && search_ - block_bit_ <= (std::uint64_t(level_) * 200000 + (1 << 20)) * 8) return;
                    fallback_current(block_bit_, out);
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
        std::uint64_t from = search_ - base_ * 8;
        std::uint64_t found = find_magic(in_.bytes(), in_.size(), from, final);
        search_ = base_ * 8 + from;
        return found == kNotFound ? 0 : base_ * 8 + found;
    }

    // False if waiting for room had the scanning resume elsewhere.
    bool dispatch(std::uint64_t block_end, Sink& out) {
        // A block that ends its stream and the input with it is decoded on
        // this thread: a small file should not pay for starting workers.
        const bool last = bits48(block_end) == kEndMagic && (block_end + 80 + 7) / 8 >= end();
        // A stream of that one block has nothing to share out: libbz2 reads
        // it where it lies, with no copy lifted out and no second reading
        // should the end found be data that only looks like one.
        if (last && block_bit_ == (at_ + 4) * 8) {
            fallback_current(block_bit_, out);
            return false;
        }
        std::uint64_t from = block_bit_ / 8, to = (block_end + 7) / 8;
        Buffer raw(static_cast<std::size_t>(to - from) + 1);
        raw.append(at(from), static_cast<std::size_t>(to - from));
        while (pipeline_->full())
            if (!drain_one(out)) return false;
        pipeline_->push(std::make_unique<BlockJob>(std::move(raw), mark(block_bit_), block_end, block_crc_), last);
        keep_.push_back(from);
        return true;
    }

    // Collects finished blocks in order; false if one failed and the
    // scanning resumed at its start.
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

    // Waits for every block in flight; false if one failed, which undoes
    // whatever the scanner found after its start, ends of streams included.
    bool settled(Sink& out) {
        while (pipeline_->pending() > 0)
            if (!drain_one(out)) return false;
        return true;
    }

    bool deliver(std::unique_ptr<Job> job, Sink& out) {
        auto& done = static_cast<BlockJob&>(*job);
        keep_.pop_front();
        if (done.past_recutting) {
            fallback(done.from, out);
            return false;
        }
        if (done.failed) {
            // Every block before it came back whole, so it starts where a
            // block really does: it only ends later, or is damaged, which
            // the scanning from there finds out.
            resume(done.from);
            block_bit_ = done.from.bit;
            block_crc_ = done.block_crc();
            search_ = done.cut + 1;
            phase_ = Phase::Scan;
            return false;
        }
        emit(done.out.data(), done.out.size(), out);
        return true;
    }

    // Back to the block boundary `m`, dropping the blocks in flight after it.
    void resume(const Mark& m) {
        // Those already running are waited for: none outlives the reading
        // it belongs to, and their memory is back before more is taken.
        pipeline_->discard();
        keep_.clear();
        combined_ = m.combined;
        level_ = m.level;
        streams_ = m.streams;
    }

    // Something unexpected at `bit`, a block boundary once the blocks
    // before it are back.
    void fallback_current(std::uint64_t bit, Sink& out) {
        // Earlier blocks first; one of them may fail and resume earlier.
        if (!settled(out)) return;
        fallback(mark(bit), out);
    }

    // Reads the stream on from the boundary `m` with libbz2, behind a
    // header and a block that give it the stream's CRC so far and the bit
    // alignment of the input, whose bytes then go to it as they are.
    void fallback(const Mark& m, Sink& out) {
        resume(m);
        inflater_ = std::make_unique<StreamInflater>();
        phase_ = Phase::Fallback;
        const unsigned shift = unsigned(m.bit % 8);
        std::size_t skip = 0;
        Buffer prefix = resume_prefix(m.level, shift, m.combined, skip);
        skip_ = skip;
        std::uint64_t from = m.bit / 8;
        if (shift) {
            unsigned char& last = prefix.bytes()[prefix.size() - 1];
            last = static_cast<unsigned char>(last | (*at(from) & (0xffu >> shift)));
            ++from;
        }
        bool ended = false;
        inflate(prefix.data(), prefix.size(), out, ended);
        std::size_t used = 0;
        if (!ended)
            used = inflate(reinterpret_cast<const char*>(at(from)), static_cast<std::size_t>(end() - from), out, ended);
        if (ended) {
            stream_done(from + used);
        } else {
            // The rest of the stream comes straight from update().
            base_ = end();
            in_.clear();
        }
    }

    // Feeds libbz2, whose first `skip_` bytes of output are the resuming
    // block's.
    std::size_t inflate(const char* data, std::size_t size, Sink& out, bool& ended) {
        SkipSink rest(out, skip_);
        std::size_t used = inflater_->feed(data, size, rest, ended);
        skip_ = rest.skip;
        return used;
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
    std::deque<std::uint64_t> keep_;  // first byte of each block in flight
    int level_ = 9;
    Phase phase_ = Phase::Head;
    unsigned long streams_ = 0;
    bool seen_input_ = false;
    std::uint64_t skip_ = 0;
    std::unique_ptr<StreamInflater> inflater_;
    std::unique_ptr<Pipeline> pipeline_ = std::make_unique<Pipeline>();
};

}  // namespace

std::unique_ptr<Decoder> make_bzip2_decoder() { return std::make_unique<Bzip2Decoder>(); }

}  // namespace ondrel::codecs::detail
