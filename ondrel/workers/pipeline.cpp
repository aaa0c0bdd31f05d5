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
}  // namespace

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
// parent's jobs), and starts its own when it needs them.
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

}  // namespace ondrel::workers
