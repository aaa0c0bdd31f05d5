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

std::unique_ptr<Encoder> make_encoder(int level) {
    return make_bzip2_encoder(resolve_level("bzip2", level, 1, 9, 9));
}

const Codec bzip2_codec = {"bzip2", make_encoder, make_bzip2_decoder};

}  // namespace detail
}  // namespace ondrel::codecs
