// Encoders that cut their input into jobs for the worker threads and write
// the finished jobs' output in order.
#pragma once

#include <cstddef>
#include <memory>

#include "internal.h"

namespace ondrel::codecs::detail {

// The submit/collect plumbing every such encoder shares; a subclass cuts
// the input and says how a finished job's output reaches the sink.
class ParallelEncoder : public Encoder {
protected:
    // Queues a job once there is room, then passes on whatever is done.
    void submit(std::unique_ptr<Job> job, Sink& out);
    // Queues the last job, and waits for every job to hand on its output.
    void submit_last(std::unique_ptr<Job> job, Sink& out);
    void collect(Sink& out, bool all);
    virtual void put(Job& done, Sink& out) = 0;

    Pipeline pipeline_;
    bool any_ = false;  // a job was submitted
};

// A job over one cut of the input, either borrowed from the caller (which
// waits for it) or owned, and the output it makes.
class ChunkJob : public Job {
public:
    void borrow(const char* data, std::size_t size) {
        data_ = data;
        size_ = size;
    }
    void own(Buffer&& chunk) {
        owned_ = std::move(chunk);
        borrow(owned_.data(), owned_.size());
    }

protected:
    const char* data_ = nullptr;
    std::size_t size_ = 0;

private:
    Buffer owned_;
};

// Cuts the input into pieces of `unit` bytes, one job each.
class ChunkedEncoder : public ParallelEncoder {
public:
    void update(const char* data, std::size_t size, Sink& out) override;

protected:
    explicit ChunkedEncoder(std::size_t unit) : unit_(unit) {}
    virtual std::unique_ptr<ChunkJob> make_job() = 0;
    // Sends what is left as the last job (an empty one if `at_least_one`
    // and there was none before) and waits for all of them.
    void flush(Sink& out, bool at_least_one);
    void put(Job& done, Sink& out) override;

private:
    const std::size_t unit_;
    Buffer chunk_;
};

}  // namespace ondrel::codecs::detail
