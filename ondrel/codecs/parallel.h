// Worker threads for the codecs that cut their data into independent
// chunks, and the large buffers those chunks live in.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace ondrel::codecs::detail {

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

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class Pipeline;

// One unit of work for a Pipeline; subclasses hold their input and output.
class Job {
public:
    virtual ~Job() = default;
    virtual void run() = 0;  // on a worker thread; may throw

private:
    friend class Pipeline;
    Pipeline* owner_ = nullptr;  // null once its pipeline has let it go
    std::exception_ptr error_;
    bool started_ = false;
    bool done_ = false;
};

// Runs jobs on worker threads and hands them back in the order they were
// pushed, so a stream cut into chunks comes out in one piece. The workers
// are shared by every pipeline in the process: they start with the first
// job that needs them and then stay, so a file of a few units pays for no
// thread start, and what the libraries keep per thread is kept. A lone
// final job runs on the caller's thread.
class Pipeline {
public:
    // `depth` bounds the jobs pushed but not yet popped, and with it memory.
    explicit Pipeline(std::size_t depth = 0);
    // Drops unstarted jobs and lets running ones finish on their own: they
    // own what they read (borrowed input is discard()ed before its owner
    // returns), so an owner giving up, on Ctrl-C say, does not wait for
    // the slowest of them.
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // Queues a job. `last` says no more will follow, which lets a job that
    // would be the only one run inline.
    void push(std::unique_ptr<Job> job, bool last = false);

    // The oldest job once it has finished (waiting for it if `wait`), or null
    // if there is none or it is still running. A job that threw rethrows
    // here, in order: output before it has been collected, none after it.
    std::unique_ptr<Job> pop(bool wait);

    // Hands finished jobs, oldest first, to `take`: every job, waiting for
    // each, when `wait`; otherwise only those already done.
    template <typename Take>
    void drain(bool wait, Take&& take) {
        while (auto job = pop(wait)) take(std::move(job));
    }

    // push() once there is room, handing the oldest jobs to `take` as they
    // finish to make it.
    template <typename Take>
    void push_when_room(std::unique_ptr<Job> job, Take&& take, bool last = false) {
        while (full()) take(pop(true));
        push(std::move(job), last);
    }

    // Drops the jobs not yet started and waits for the running ones, leaving
    // the pipeline empty and usable: for an owner that gives up (its sink
    // failed) while jobs still read memory that is not theirs.
    void discard() noexcept;

    // Runs `body`, which pushes jobs that read the caller's memory in place
    // and collects every one of them before it returns. If it throws, those
    // jobs are discard()ed before the exception goes on, so none outlives
    // the memory it reads.
    template <typename Body>
    void lending(Body&& body) {
        try {
            body();
        } catch (...) {
            discard();
            throw;
        }
    }

    bool full() const { return pending_ >= depth_; }
    std::size_t pending() const { return pending_; }

    // Worker threads: the cores, within reason.
    static unsigned threads();

private:
    static void work();
    // Both with the pool's lock held.
    void unqueue();     // takes our jobs no worker has started off the queue
    bool busy() const;  // a worker is running one of our jobs

    std::condition_variable finished_;  // owner: one of its jobs is done
    std::deque<std::unique_ptr<Job>> order_;
    std::size_t depth_;
    std::size_t pending_ = 0;  // order_.size(), readable without the lock by the owner
    bool threaded_ = false;    // workers are there to take our jobs
};

}  // namespace ondrel::codecs::detail
