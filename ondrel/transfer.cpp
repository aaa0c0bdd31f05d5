#include "transfer.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ondrel/codecs/parallel.h"

namespace ondrel {

namespace {

// Below the gzip and lzop encoders' unit (1 MiB and more), so they copy
// each slice into work they own and keep both cores busy across reads
// instead of finishing every unit before the next read.
constexpr std::size_t kSlice = 256 * 1024;

// Decoded output goes to the writer in blocks of this size, at most
// kQueued of them waiting: 4 MiB in flight, enough to ride out a slow write.
constexpr std::size_t kBlock = 1 << 20;
constexpr std::size_t kQueued = 4;

}  // namespace

// Writes plain output on a thread of its own, so that a decoder working on
// the caller's thread never waits for write(2), nor write(2) for it: with a
// fast decoder the copy into the page cache is a good part of the time.
class Transfer::Writer {
public:
    explicit Writer(File& out) : out_(out), thread_([this] { work(); }) {}
    ~Writer() { stop(false); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // False once a write has failed: the rest is dropped.
    bool put(const char* data, std::size_t size) {
        while (size > 0) {
            if (block_.capacity() == 0) block_.reserve(kBlock);
            const std::size_t take = std::min(size, kBlock - block_.size());
            block_.append(data, take);
            data += take;
            size -= take;
            if (block_.size() == kBlock && !hand_over()) return false;
        }
        return true;
    }

    // Writes what is left and waits for it: the first failure, or null.
    std::exception_ptr finish() {
        if (!block_.empty()) hand_over();
        stop(true);
        return failure_;
    }

private:
    bool hand_over() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (queue_.size() >= kQueued && !failure_) {
            // Ctrl-C must not wait for a stalled disk.
            room_.wait_for(lock, std::chrono::milliseconds(10));
            lock.unlock();
            check_interrupt();
            lock.lock();
        }
        if (failure_) return false;
        queue_.push_back(std::move(block_));
        block_ = codecs::detail::Buffer();
        ready_.notify_one();
        return true;
    }

    // Ends the thread, after the queued blocks if `drain`.
    void stop(bool drain) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!drain) queue_.clear();
            done_ = true;
        }
        ready_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return done_ || !queue_.empty(); });
            if (queue_.empty()) return;
            codecs::detail::Buffer block = std::move(queue_.front());
            queue_.pop_front();
            room_.notify_one();
            if (failure_) continue;
            lock.unlock();
            std::exception_ptr failed;
            try {
                out_.write(block.data(), block.size());
            } catch (...) {
                failed = std::current_exception();
            }
            block = codecs::detail::Buffer();
            lock.lock();
            if (failed) {
                failure_ = failed;
                queue_.clear();
                room_.notify_one();
            }
        }
    }

    File& out_;
    codecs::detail::Buffer block_;  // being filled by the caller's thread
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<codecs::detail::Buffer> queue_;
    bool done_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: starts once the rest exists
};

// The destination as a sink that never throws a destination failure into
// the decoder (which would then be spoilt for the rest of the source): the
// failure is kept, the destination abandoned, later output dropped. An
// interruption still goes through, since it ends everything.
class Transfer::Output final : public codecs::Sink {
public:
    explicit Output(Transfer& owner) : owner_(owner) {}
    void put(const char* data, std::size_t size) override {
        if (!owner_.out_) {
            check_interrupt();
            return;
        }
        if (owner_.writer_) {
            check_interrupt();
            if (!owner_.writer_->put(data, size)) owner_.give_up_writing(owner_.writer_->finish());
            return;
        }
        try {
            owner_.out_->write(data, size);
        } catch (const PythonError&) {
            throw;
        } catch (...) {
            owner_.dest_failure_ = std::current_exception();
            owner_.out_->abort();
            owner_.out_.reset();
        }
    }

private:
    Transfer& owner_;
};

Transfer::Transfer(const std::string& source, const std::string& destination,
                   const codecs::Codec* decode, const codecs::Codec* encode)
    : in_(source, File::Access::read, nullptr), encoding_(encode != nullptr) {
    if (decode) decoder_ = decode->decoder();
    try {
        out_ = std::make_unique<File>(destination, File::Access::replace, encode);
    } catch (const File::Declined&) {
        throw;
    } catch (...) {
        dest_failure_ = std::current_exception();
    }
}

Transfer::~Transfer() { abort(); }

void Transfer::give_up_writing(std::exception_ptr failure) {
    writer_.reset();
    dest_failure_ = failure;
    out_->abort();
    out_.reset();
}

void Transfer::run() {
    if (out_ && !encoding_) writer_ = std::make_unique<Writer>(*out_);
    Output output(*this);
    std::vector<char> slice(kSlice);
    while (std::size_t got = in_.read_into(slice.data(), slice.size())) {
        if (decoder_)
            decoder_->update(slice.data(), got, output);
        else
            output.put(slice.data(), got);
    }
    if (decoder_) decoder_->finish(output);  // throws on a truncated source
    if (writer_) {
        if (std::exception_ptr failure = writer_->finish()) give_up_writing(failure);
        writer_.reset();
    }
}

void Transfer::commit() {
    if (dest_failure_) std::rethrow_exception(dest_failure_);
    out_->close();
}

void Transfer::abort() noexcept {
    writer_.reset();  // before the file it writes to goes
    if (out_) out_->abort();
}

}  // namespace ondrel
