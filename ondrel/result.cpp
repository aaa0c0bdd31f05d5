#include "result.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ondrel/workers/buffer.h"

namespace ondrel {

namespace {

constexpr std::size_t kHuge = std::size_t(2) << 20;
// Below this a block is not worth aligning or advising.
constexpr std::size_t kLarge = std::size_t(4) << 20;

}  // namespace

ResultBuffer::ResultBuffer(std::size_t header, std::size_t expected) : header_(header) {
    if (expected) reserve(expected);
}

ResultBuffer::~ResultBuffer() { std::free(block_); }

void ResultBuffer::reserve(std::size_t size) {
    if (size <= capacity_) return;
    std::size_t capacity = std::max(size, capacity_ + capacity_ / 2);
    const std::size_t bytes = header_ + capacity + 1;
    if (block_ == nullptr && bytes >= kLarge) {
        // Aligned so that the huge pages start at the block, and advised
        // before the first touch: afterwards the advice comes too late.
        void* fresh = std::aligned_alloc(kHuge, (bytes + kHuge - 1) / kHuge * kHuge);
        if (!fresh) throw std::bad_alloc();
        workers::advise_huge(fresh, bytes);
        block_ = static_cast<char*>(fresh);
    } else {
        void* grown = std::realloc(block_, bytes);
        if (!grown) throw std::bad_alloc();
        block_ = static_cast<char*>(grown);
        if (bytes >= kLarge) workers::advise_huge(block_, bytes);
    }
    capacity_ = capacity;
}

void ResultBuffer::put(const char* data, std::size_t size) {
    if (capacity_ - size_ < size) reserve(size_ + size);
    std::memcpy(block_ + header_ + size_, data, size);
    size_ += size;
}

void* ResultBuffer::release() {
    if (block_ == nullptr) reserve(1);
    if (capacity_ > size_ + size_ / 8 + 4096) {
        // Large blocks shrink in place; a failure only wastes the slack.
        if (void* trimmed = std::realloc(block_, header_ + size_ + 1)) {
            block_ = static_cast<char*>(trimmed);
            capacity_ = size_;
        }
    }
    block_[header_ + size_] = '\0';
    void* block = block_;
    block_ = nullptr;
    size_ = capacity_ = 0;
    return block;
}

}  // namespace ondrel
