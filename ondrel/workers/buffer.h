// Large byte buffers for the worker pool's jobs and anyone else who fills
// megabytes at a time: aligned for and advised onto huge pages, and kept
// for reuse when freed. No Python here: the C++ tests and fuzz targets
// link this folder with the codecs.
#pragma once

#include <cstddef>

namespace ondrel::workers {
// Asks the kernel to back [p, p+n) with huge pages where a whole aligned
// 2 MiB fits. On virtual machines the first touch of each 4 KiB page can
// cost more than compressing it, and multi-megabyte buffers are touched
// exactly once. A no-op where unsupported.
void advise_huge(void* p, std::size_t n);

// A growable byte buffer without zero-filling, whose large allocations are
// aligned for and advised to use huge pages.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(std::size_t capacity) { reserve(capacity); }
    ~Buffer();
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    void reserve(std::size_t capacity);  // keeps the contents
    void resize(std::size_t size) {      // new bytes are left unset
        reserve(size);
        size_ = size;
    }
    void append(const void* data, std::size_t size);
    void clear() { size_ = 0; }
    char* data() { return data_; }
    const char* data() const { return data_; }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(data_); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }

    // Lets go of the memory without freeing it: for a buffer that a thread
    // which did not come through fork() may have left half-reallocated.
    void forget() noexcept {
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Raw blocks from the same store as Buffer's: `capacity` is raised to what
// was got, and that figure goes back to release(). Never null (throws
// std::bad_alloc); release() takes null. The memory is malloc()'s, so a
// block released elsewhere may also go to std::free(). Fresh blocks of
// `huge_from` bytes or more are aligned for and advised onto huge pages.
// Buffer's: below this, ordinary malloc is as good and wastes nothing.
constexpr std::size_t kHugeFrom = std::size_t(4) << 20;
char* allocate(std::size_t& capacity, std::size_t huge_from = kHugeFrom);
void release(char* data, std::size_t capacity);

// The same store for a C library's allocator hooks, which free without a
// size: what a stream's setup takes (libbz2's megabytes of tables) comes
// back for the next stream instead of being faulted in afresh.
// Aligned as malloc's; null when there is no memory. Any thread may
// release what another took.
void* allocate_unsized(std::size_t size) noexcept;
void release_unsized(void* p) noexcept;

// For the pool's fork handlers: the store's lock, held across fork().
void lock_store();
void unlock_store();
}  // namespace ondrel::workers
