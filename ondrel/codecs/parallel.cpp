// Worker threads and large buffers shared by the chunked codecs.

#include "parallel.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace ondrel::codecs::detail {

namespace {

constexpr std::size_t kHuge = std::size_t(2) << 20;
// Below this, ordinary malloc is as good and wastes nothing.
constexpr std::size_t kLarge = std::size_t(4) << 20;

char* allocate(std::size_t capacity) {
    void* p = nullptr;
    if (capacity >= kLarge) {
        p = std::aligned_alloc(kHuge, (capacity + kHuge - 1) / kHuge * kHuge);
        if (p) advise_huge(p, capacity);
    } else {
        p = std::malloc(capacity);
    }
    if (!p) throw std::bad_alloc();
    return static_cast<char*>(p);
}

}  // namespace

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

Buffer::~Buffer() { std::free(data_); }

Buffer::Buffer(Buffer&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
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
    std::free(data_);
    data_ = fresh;
    capacity_ = capacity;
}

void Buffer::append(const void* data, std::size_t size) {
    if (size == 0) return;
    reserve(size_ + size);
    std::memcpy(data_ + size_, data, size);
    size_ += size;
}

Pipeline::Pipeline(std::size_t depth) : depth_(depth ? depth : 2 * threads() + 2) {}

Pipeline::~Pipeline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
}

unsigned Pipeline::threads() {
    unsigned n = std::thread::hardware_concurrency();
    return std::clamp(n, 1u, 4u);
}

void Pipeline::start() {
    started_ = true;
    try {
        for (unsigned i = 0; i < threads(); ++i) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        // No threads to be had: whatever did start carries on, and with none
        // at all push() runs every job itself.
    }
}

void Pipeline::push(std::unique_ptr<Job> job, bool last) {
    if (!started_ && !(last && order_.empty())) start();
    if (workers_.empty()) {
        try {
            job->run();
        } catch (...) {
            job->error_ = std::current_exception();
        }
        job->done_ = true;
        order_.push_back(std::move(job));
        pending_ = order_.size();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(job.get());
        order_.push_back(std::move(job));
        pending_ = order_.size();
    }
    wake_.notify_one();
}

std::unique_ptr<Job> Pipeline::pop(bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (order_.empty()) return nullptr;
    if (!order_.front()->done_) {
        if (!wait) return nullptr;
        finished_.wait(lock, [this] { return order_.front()->done_; });
    }
    std::unique_ptr<Job> job = std::move(order_.front());
    order_.pop_front();
    pending_ = order_.size();
    lock.unlock();
    if (job->error_) std::rethrow_exception(job->error_);
    return job;
}

void Pipeline::discard() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.clear();
    finished_.wait(lock, [this] { return running_ == 0; });
    order_.clear();
    pending_ = 0;
}

void Pipeline::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        Job* job = queue_.front();
        queue_.pop_front();
        ++running_;
        lock.unlock();
        try {
            job->run();
        } catch (...) {
            job->error_ = std::current_exception();
        }
        lock.lock();
        job->done_ = true;
        --running_;
        finished_.notify_all();
    }
}

}  // namespace ondrel::codecs::detail
