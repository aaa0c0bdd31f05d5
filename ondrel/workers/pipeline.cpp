// The worker threads shared by every pipeline, and the wait hook.

#include "pipeline.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "buffer.h"

namespace ondrel::workers {

namespace {
std::atomic<void (*)()> wait_hook{nullptr};
std::atomic<unsigned long> forks{0};
}  // namespace

unsigned long generation() { return forks.load(std::memory_order_relaxed); }

void set_wait_hook(void (*hook)()) { wait_hook.store(hook, std::memory_order_relaxed); }

void waiting() {
    if (auto hook = wait_hook.load(std::memory_order_relaxed)) hook();
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
// parent's jobs, which their pipelines reclaim()), and starts its own
// when it needs them. Every job is, at the fork, queued, running or done
// as far as the lock shows, since workers change that only under it.
void before_fork() {
    pool().mutex.lock();
    lock_store();
}
void after_fork_parent() {
    unlock_store();
    pool().mutex.unlock();
}
void after_fork_child() {
    unlock_store();
    Pool& p = pool();
    p.queue.clear();
    p.workers = 0;
    new (&p.wake) std::condition_variable;  // no waiters left to account for
    forks.fetch_add(1, std::memory_order_relaxed);
    p.mutex.unlock();
}

// At load, not at the first job: generation() must count every fork,
// including those of a process whose liblzma threads are all it has.
const bool fork_handlers = pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
#endif

}  // namespace

Pipeline::Pipeline(std::size_t depth) : depth_(depth ? depth : 2 * threads() + 2) {}

Pipeline::~Pipeline() {
    Pool& p = pool();
    std::unique_lock<std::mutex> lock(p.mutex);
    if (!threaded_) return;
    reclaim(lock, false);
    unqueue();
    for (auto& job : order_)
        if (job->started_ && !job->done_) {
            job->owner_ = nullptr;
            job.release();  // the worker deletes it when it is done
        }
}

bool Pipeline::start_workers() {
    Pool& p = pool();
    try {
        for (; p.workers < threads(); ++p.workers) std::thread(work).detach();
    } catch (const std::system_error&) {
        // No more threads to be had: whatever did start carries on.
    }
    return p.workers > 0;
}

unsigned Pipeline::threads() {
    // Asked once: the C library reads the count from /proc or /sys on
    // every call, and this is consulted at every stream's setup and job.
    static const unsigned n = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    return n;
}

void Pipeline::push(std::unique_ptr<Job> job, bool last) {
    Pool& p = pool();
    if (threaded_ || !(last && order_.empty())) {
        std::unique_lock<std::mutex> lock(p.mutex);
        reclaim(lock, true);
        // Checked at every push: a child of fork() starts again with none.
        // With none at all the job runs here.
        if (start_workers()) {
            threaded_ = true;
            generation_ = generation();
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
    reclaim(lock, true);
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
        reclaim(lock, false);
        unqueue();
        finished_.wait(lock, [this] { return !busy(); });
    }
    auto dropped = std::move(order_);
    order_.clear();
    pending_ = 0;
    lock.unlock();
}

void Pipeline::reclaim(std::unique_lock<std::mutex>& lock, bool resume) {
    if (!threaded_ || generation_ == generation()) return;
    generation_ = generation();
    Pool& p = pool();
    std::deque<Job*> again;
    for (auto& job : order_) {
        if (job->done_) continue;
        if (job->started_) {
            // Whatever the vanished worker had made of it is dropped unfreed:
            // it may have been between two steps of a reallocation.
            job->out.forget();
            job->error_ = nullptr;
            job->started_ = false;
        }
        again.push_back(job.get());
    }
    if (!resume || again.empty()) return;
    if (start_workers()) {
        p.queue.insert(p.queue.end(), again.begin(), again.end());
        p.wake.notify_all();
        return;
    }
    // No thread to be had in the child: done here, oldest first, with the
    // lock released as a worker would.
    lock.unlock();
    for (Job* job : again) {
        try {
            job->run();
        } catch (...) {
            job->error_ = std::current_exception();
        }
    }
    lock.lock();
    for (Job* job : again) job->done_ = true;
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

}  // namespace ondrel::workers
