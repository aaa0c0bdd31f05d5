// Worker threads shared by everything that cuts its data into independent
// jobs: the codecs' chunks, and whoever else has such work. No Python here.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

#include "buffer.h"

namespace ondrel::workers {

// Long waits (for a job, for a library's own threads) call the hook set
// here every kWaitSlice milliseconds on the waiting thread; whatever it
// throws ends the wait. Process-wide; null, the default, does nothing.
void set_wait_hook(void (*hook)());
void waiting();  // runs the hook, if any; may throw
constexpr unsigned kWaitSlice = 10;

// Counts the fork()s this process descends from: whatever threads started
// under an earlier count did not come along, and state they own (a
// library's own thread pool) can be neither used nor waited for.
unsigned long generation();

class Pipeline;

// One unit of work for a Pipeline; subclasses hold their input. run() reads
// that input without changing it and makes `out` (plus plain values it sets
// afresh every time), so that a child of fork() can run a job again that a
// worker of its parent had started.
class Job {
public:
    virtual ~Job() = default;
    virtual void run() = 0;  // on a worker thread; may throw

    Buffer out;

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
    // With the pool's lock held: as many workers as threads(), or as many
    // as the system gives; false if there are none to take a job.
    static bool start_workers();
    // Both with the pool's lock held.
    void unqueue();     // takes our jobs no worker has started off the queue
    bool busy() const;  // a worker is running one of our jobs
    // In a child of fork(), takes back the jobs our parent's workers had
    // queued or were running, and (if `resume`) gets them done again.
    // May release the lock while it runs them itself.
    void reclaim(std::unique_lock<std::mutex>& lock, bool resume);

    std::condition_variable finished_;  // owner: one of its jobs is done
    std::deque<std::unique_ptr<Job>> order_;
    std::size_t depth_;
    std::size_t pending_ = 0;  // order_.size(), readable without the lock by the owner
    bool threaded_ = false;    // workers are there to take our jobs
    unsigned long generation_ = 0;  // generation() when they were
};

}  // namespace ondrel::workers
