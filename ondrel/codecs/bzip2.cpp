// bzip2 through libbz2's low-level stream interface: what the writer
// (bzip2_encoder.cpp), the reader (bzip2_decoder.cpp) and the block
// scanner (bzip2_scan.cpp) share.

#include "bzip2.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace ondrel::codecs {
namespace detail {

void throw_bzip2_error(int code, const char* detail) {
    throw_library_error("bzip2", code, detail,
                 {{BZ_DATA_ERROR_MAGIC, nullptr, "bad magic number"}, {BZ_DATA_ERROR, "corrupt data", "integrity check failed"},
                  {BZ_UNEXPECTED_EOF, "unexpected end of input", "truncated file"}, {BZ_MEM_ERROR, "out of memory", nullptr},
                  {BZ_PARAM_ERROR, "invalid parameter", nullptr},
                  {BZ_CONFIG_ERROR, "libbz2 was miscompiled for this platform", nullptr},
                  {BZ_SEQUENCE_ERROR, "invalid stream state", nullptr}},
                 "libbz2", BZ_MEM_ERROR);
}

namespace {

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
            // Huge pages from 2 MiB: libbz2 touches its blocks (3.6 MB
            // each at level 9) through and through at once.
            p = workers::allocate(capacity, std::size_t(2) << 20);
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

}  // namespace

void init_stream(bz_stream& bz) {
    std::memset(&bz, 0, sizeof bz);
    bz.bzalloc = cache_alloc;
    bz.bzfree = cache_free;
}

Buffer resume_prefix(int level, unsigned shift, std::uint32_t combined, std::size_t& skip) {
    Buffer prefix(1024);
    prefix.resize(4);
    put_stream_header(prefix.bytes(), level);
    skip = 0;
    if (shift == 0 && combined == 0) return prefix;
    // Four bytes after the filler are xored into the CRC register and
    // shifted through 32 steps of the polynomial: undoing those steps from
    // the register that gives `combined` says which four. The filler's
    // length moves where the compressed block ends; tiny blocks end at
    // every bit of a byte within a few lengths.
    constexpr std::uint32_t kPoly = 0x04c11db7;
    for (std::size_t n = 0; n < 64; ++n) {
        char data[64 + 4];
        std::uint32_t reg = ~0u;
        for (std::size_t k = 0; k < n; ++k) {
            data[k] = static_cast<char>('a' + k % 26);
            reg ^= std::uint32_t(static_cast<unsigned char>(data[k])) << 24;
            for (int b = 0; b < 8; ++b) reg = reg & 0x80000000u ? (reg << 1) ^ kPoly : reg << 1;
        }
        std::uint32_t want = ~combined;
        for (int b = 0; b < 32; ++b) want = want & 1 ? ((want ^ kPoly) >> 1) | 0x80000000u : want >> 1;
        want ^= reg;
        for (int k = 0; k < 4; ++k) data[n + k] = static_cast<char>(want >> (24 - 8 * k));
        char packed[1024];
        unsigned size = sizeof packed;
        int rc = BZ2_bzBuffToBuffCompress(packed, &size, data, static_cast<unsigned>(n + 4), 1, 0, 0);
        if (rc != BZ_OK) throw_bzip2_error(rc);
        std::uint32_t crc = 0;
        const auto* q = reinterpret_cast<const unsigned char*>(packed);
        const std::uint64_t bits = lone_block_bits(q, size, crc);
        if (!bits || crc != combined) break;
        if (bits % 8 != shift) continue;
        // The block starts at bit 32 in both streams: its bytes go as they are.
        const std::size_t bytes = static_cast<std::size_t>((bits + 7) / 8);
        prefix.append(q + 4, bytes);
        if (shift) prefix.bytes()[3 + bytes] &= static_cast<unsigned char>(0xff00u >> shift);
        skip = n + 4;
        return prefix;
    }
    throw_bzip2_error(BZ_SEQUENCE_ERROR, "no block to resume the stream with");
}

std::unique_ptr<Encoder> make_encoder(int level) {
    return make_bzip2_encoder(resolve_level("bzip2", level, 1, 9, 9));
}

const Codec bzip2_codec = {"bzip2", make_encoder, make_bzip2_decoder};

}  // namespace detail
}  // namespace ondrel::codecs
