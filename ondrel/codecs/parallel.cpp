// Worker threads and large buffers shared by the chunked codecs.

#include "parallel.h"

#include "internal.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#ifdef __linux__
#include <sys/mman.h>
#endif
#ifndef _WIN32
#include <pthread.h>
#endif

namespace ondrel::codecs::detail {

namespace {

constexpr std::size_t kHuge = std::size_t(2) << 20;
// Below this, ordinary malloc is as good and wastes nothing.
constexpr std::size_t kLarge = std::size_t(4) << 20;

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

char* allocate(std::size_t& capacity) {
    if (char* kept = recycled().take(capacity, capacity)) return kept;
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

void release(char* data, std::size_t capacity) {
    if (data && !recycled().give(data, capacity)) std::free(data);
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

namespace {

// The workers and the jobs waiting for them, shared by all pipelines. One
// lock covers them and every pipeline's bookkeeping: jobs take milliseconds,
// so it is never held for long.
struct Pool {
    std::mutex mutex;
    std::condition_variable wake;  // workers: a job is queued
    std::deque<Job*> queue;
    unsigned workers = 0;
};

// Never destroyed: idle workers still wait on it when the process exits.
Pool& pool() {
    static Pool* const shared = new Pool;
    return *shared;
}

#ifndef _WIN32
// A child of fork() has none of the workers. It takes the lock as the
// thread that forked held it, forgets the workers and their queue (the
// parent's jobs), and starts its own when it needs them.
void before_fork() {
    pool().mutex.lock();
    recycled().mutex.lock();
}
void after_fork_parent() {
    recycled().mutex.unlock();
    pool().mutex.unlock();
}
void after_fork_child() {
    recycled().mutex.unlock();
    Pool& p = pool();
    p.queue.clear();
    p.workers = 0;
    new (&p.wake) std::condition_variable;  // no waiters left to account for
    p.mutex.unlock();
}
#endif

}  // namespace

Pipeline::Pipeline(std::size_t depth) : depth_(depth ? depth : 2 * threads() + 2) {}

Pipeline::~Pipeline() {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    if (!threaded_) return;
    unqueue();
    for (auto& job : order_)
        if (job->started_ && !job->done_) {
            job->owner_ = nullptr;
            job.release();  // the worker deletes it when it is done
        }
}

unsigned Pipeline::threads() {
    unsigned n = std::thread::hardware_concurrency();
    return std::clamp(n, 1u, 4u);
}

void Pipeline::push(std::unique_ptr<Job> job, bool last) {
    Pool& p = pool();
    if (threaded_ || !(last && order_.empty())) {
        std::unique_lock<std::mutex> lock(p.mutex);
#ifndef _WIN32
        static const bool registered = pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
        (void)registered;
#endif
        // Checked at every push: a child of fork() starts again with none.
        try {
            for (; p.workers < threads(); ++p.workers) std::thread(work).detach();
        } catch (const std::system_error&) {
            // No more threads to be had: whatever did start carries on, and
            // with none at all the job runs here.
        }
        if (p.workers > 0) {
            threaded_ = true;
            job->owner_ = this;
            p.queue.push_back(job.get());
            order_.push_back(std::move(job));
            pending_ = order_.size();
            lock.unlock();
            p.wake.notify_one();
            return;
        }
    }
    try {
        job->run();
    } catch (...) {
        job->error_ = std::current_exception();
    }
    job->done_ = true;
    std::lock_guard<std::mutex> lock(p.mutex);
    order_.push_back(std::move(job));
    pending_ = order_.size();
}

std::unique_ptr<Job> Pipeline::pop(bool wait) {
    std::unique_lock<std::mutex> lock(pool().mutex);
    if (order_.empty()) return nullptr;
    if (!order_.front()->done_) {
        if (!wait) return nullptr;
        // In slices, so the caller's wait hook (Ctrl-C) gets its turn.
        while (!finished_.wait_for(lock, std::chrono::milliseconds(kWaitSlice),
                                   [this] { return order_.front()->done_; })) {
            lock.unlock();
            waiting();
            lock.lock();
        }
    }
    std::unique_ptr<Job> job = std::move(order_.front());
    order_.pop_front();
    pending_ = order_.size();
    lock.unlock();
    if (job->error_) std::rethrow_exception(job->error_);
    return job;
}

void Pipeline::unqueue() {
    auto& queue = pool().queue;
    queue.erase(std::remove_if(queue.begin(), queue.end(), [this](Job* job) { return job->owner_ == this; }),
                queue.end());
}

bool Pipeline::busy() const {
    return std::any_of(order_.begin(), order_.end(), [](const auto& job) { return job->started_ && !job->done_; });
}

void Pipeline::discard() noexcept {
    Pool& p = pool();
    std::unique_lock<std::mutex> lock(p.mutex);
    if (threaded_) {
        unqueue();
        finished_.wait(lock, [this] { return !busy(); });
    }
    auto dropped = std::move(order_);
    order_.clear();
    pending_ = 0;
    lock.unlock();
}

void Pipeline::work() {
    Pool& p = pool();
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        p.wake.wait(lock, [&p] { return !p.queue.empty(); });
        Job* job = p.queue.front();
        p.queue.pop_front();
        job->started_ = true;
        lock.unlock();
        try {
            job->run();
        } catch (...) {
            job->error_ = std::current_exception();
        }
        lock.lock();
        Pipeline* owner = job->owner_;
        if (owner == nullptr) {
            lock.unlock();
            delete job;
            lock.lock();
            continue;
        }
        job->done_ = true;
        // Under the lock: the owner cannot be gone before it sees this.
        owner->finished_.notify_all();
    }
}

}  // namespace ondrel::codecs::detail
