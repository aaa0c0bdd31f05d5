// The memory of a bstream-to-be, filled with the interpreter lock released
// and then turned into the object in place: a whole file is never copied
// from a buffer of ours into the result.
//
// The block is laid out as the string object will be (header room, bytes,
// a terminating NUL) and comes from malloc, which is where the interpreter
// itself gets blocks of that size and how it frees them. Large blocks are
// advised onto huge pages before anything touches them, and grow with
// realloc, which for such blocks remaps pages instead of copying them.
#pragma once

#include <cstddef>

#include "ondrel/codecs/codec.h"

namespace ondrel {

class ResultBuffer final : public codecs::Sink {
public:
    // `header` is the room the object's fields need in front of the bytes.
    ResultBuffer(std::size_t header, std::size_t expected);
    ~ResultBuffer() override;
    ResultBuffer(ResultBuffer&& other) noexcept
        : block_(other.block_), header_(other.header_), size_(other.size_), capacity_(other.capacity_) {
        other.block_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    ResultBuffer(const ResultBuffer&) = delete;
    ResultBuffer& operator=(const ResultBuffer&) = delete;

    void put(const char* data, std::size_t size) override;

    // Room for at least `size` bytes in all; the new bytes are unset.
    void reserve(std::size_t size);
    char* data() { return block_ + header_; }
    std::size_t size() const { return size_; }
    void resize(std::size_t size) {
        reserve(size);
        size_ = size;
    }

    // The block, trimmed to its size and NUL-terminated, handed over to
    // the caller (who frees it with free()); the buffer is then empty.
    void* release();

private:
    char* block_ = nullptr;
    std::size_t header_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace ondrel
