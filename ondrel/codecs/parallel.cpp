// The plumbing shared by the encoders that compress on the worker threads.

#include "parallel.h"

#include <algorithm>

namespace ondrel::codecs::detail {

void ParallelEncoder::submit(std::unique_ptr<Job> job, Sink& out) {
    pipeline_.push_when_room(std::move(job), [&](std::unique_ptr<Job> done) { put(*done, out); });
    any_ = true;
    collect(out, false);
}

void ParallelEncoder::submit_last(std::unique_ptr<Job> job, Sink& out) {
    if (job) {
        pipeline_.push(std::move(job), true);
        any_ = true;
    }
    collect(out, true);
}

void ParallelEncoder::collect(Sink& out, bool all) {
    pipeline_.drain(all, [&](std::unique_ptr<Job> done) { put(*done, out); });
}

void ChunkedEncoder::update(const char* data, std::size_t size, Sink& out) {
    if (!chunk_.empty()) {
        std::size_t take = std::min(size, unit_ - chunk_.size());
        chunk_.append(data, take);
        data += take;
        size -= take;
        if (chunk_.size() < unit_) return;
        auto job = make_job();
        job->own(std::move(chunk_));
        chunk_ = Buffer();
        submit(std::move(job), out);
    }
    // Whole units straight from the caller's memory, which must be done
    // with before returning, a failure included: the caller may free it
    // at once.
    if (size >= unit_) {
        pipeline_.lending([&] {
            for (; size >= unit_; data += unit_, size -= unit_) {
                auto job = make_job();
                job->borrow(data, unit_);
                submit(std::move(job), out);
            }
            collect(out, true);
        });
    }
    if (size) {
        chunk_.reserve(unit_);
        chunk_.append(data, size);
    }
}

void ChunkedEncoder::flush(Sink& out, bool at_least_one) {
    std::unique_ptr<ChunkJob> job;
    if (!chunk_.empty() || (at_least_one && !any_)) {
        job = make_job();
        job->own(std::move(chunk_));
        chunk_ = Buffer();
    }
    submit_last(std::move(job), out);
}

void ChunkedEncoder::put(Job& done, Sink& out) {
    auto& job = static_cast<ChunkJob&>(done);
    out.put(job.out.data(), job.out.size());
}

}  // namespace ondrel::codecs::detail
