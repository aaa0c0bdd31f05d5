// Large buffers, and the store of freed ones that the next jobs reuse.

#include "buffer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace ondrel::workers {

namespace {

constexpr std::size_t kHuge = std::size_t(2) << 20;

// Buffers that jobs freed, kept for the next jobs: fresh memory costs a
// page fault per 4 KiB touched, which for fast codecs (lzop, inflate) is a
// good part of the work. Bounded, so an idle process keeps little.
class Recycled {
public:
    // A kept block of at least `capacity` bytes (and not much more), or null.
    char* take(std::size_t capacity, std::size_t& got) {
        if (capacity < kSmallest || capacity > kLargest) return nullptr;
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < count_; ++i) {
            if (blocks_[i].capacity >= capacity && blocks_[i].capacity <= 2 * capacity) {
                Block block = blocks_[i];
                blocks_[i] = blocks_[--count_];
                bytes_ -= block.capacity;
                got = block.capacity;
                return block.data;
            }
        }
        return nullptr;
    }

    // Keeps the block if there is room; false if the caller is to free it.
    bool give(char* data, std::size_t capacity) {
        if (capacity < kSmallest || capacity > kLargest) return false;
        std::lock_guard<std::mutex> lock(mutex);
        if (count_ == kBlocks || bytes_ + capacity > kBytes) return false;
        blocks_[count_++] = Block{data, capacity};
        bytes_ += capacity;
        return true;
    }

    std::mutex mutex;  // also held across fork()

private:
    static constexpr std::size_t kSmallest = 64 * 1024;
    static constexpr std::size_t kLargest = std::size_t(8) << 20;
    static constexpr std::size_t kBytes = std::size_t(32) << 20;
    static constexpr std::size_t kBlocks = 32;
    struct Block {
        char* data;
        std::size_t capacity;
    };
    Block blocks_[kBlocks];
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

// Never destroyed, like the workers that may still free into it at exit.
Recycled& recycled() {
    static Recycled* const shared = new Recycled;
    return *shared;
}

}  // namespace

char* allocate(std::size_t& capacity, std::size_t huge_from) {
    if (char* kept = recycled().take(capacity, capacity)) return kept;
    void* p = nullptr;
    if (capacity >= huge_from) {
        p = std::aligned_alloc(kHuge, (capacity + kHuge - 1) / kHuge * kHuge);
        if (p) advise_huge(p, capacity);
    } else {
        p = std::malloc(capacity);
    }
    if (!p) throw std::bad_alloc();
    return static_cast<char*>(p);
}

void release(char* data, std::size_t capacity) {
    if (data && !recycled().give(data, capacity)) std::free(data);
}

namespace {
// Room before each unsized block for its capacity, keeping malloc's alignment.
constexpr std::size_t kPrefix = alignof(std::max_align_t);
}  // namespace

void* allocate_unsized(std::size_t size) noexcept {
    std::size_t capacity = size + kPrefix;
    char* p;
    try {
        // Never advised onto huge pages: a library may touch a few pages
        // of a large block (a dictionary sized for a file it never sees).
        p = allocate(capacity, ~std::size_t(0));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    std::memcpy(p, &capacity, sizeof capacity);
    return p + kPrefix;
}

void release_unsized(void* p) noexcept {
    if (!p) return;
    char* block = static_cast<char*>(p) - kPrefix;
    std::size_t capacity;
    std::memcpy(&capacity, block, sizeof capacity);
    release(block, capacity);
}

void lock_store() { recycled().mutex.lock(); }
void unlock_store() { recycled().mutex.unlock(); }

void advise_huge(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(kHuge - 1);
    // Advice only: if the kernel declines, pages come in the usual way.
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

Buffer::~Buffer() { release(data_, capacity_); }

Buffer::Buffer(Buffer&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        release(data_, capacity_);
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

void Buffer::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    capacity = std::max(capacity, capacity_ + capacity_ / 2);
    char* fresh = allocate(capacity);
    if (size_) std::memcpy(fresh, data_, size_);
    release(data_, capacity_);
    data_ = fresh;
    capacity_ = capacity;
}

void Buffer::append(const void* data, std::size_t size) {
    if (size == 0) return;
    reserve(size_ + size);
    std::memcpy(data_ + size_, data, size);
    size_ += size;
}

}  // namespace ondrel::workers
