#include "transfer.h"

#include <cerrno>
#include <new>
#include <system_error>
#include <vector>

namespace ondrel {

namespace {

// Below the gzip and lzop encoders' unit (1 MiB and more), so they copy
// each slice into work they own and keep both cores busy across reads
// instead of finishing every unit before the next read.
constexpr std::size_t kSlice = 256 * 1024;

// What the copy may lack where the whole-file steps, which hold one file
// open at a time, would not: a descriptor, memory, a thread.
bool short_of_resources(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::system_error& e) {
        const int code = e.code().value();
        return code == EMFILE || code == ENFILE || code == ENOMEM || code == EAGAIN;
    } catch (const std::bad_alloc&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

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
                   const codecs::Codec* decode, const codecs::Codec* encode) {
    try {
        out_ = std::make_unique<File>(destination, File::Access::replace, encode);
    } catch (const File::Declined&) {
        throw;
    } catch (const PythonError&) {
        throw;
    } catch (...) {
        if (short_of_resources(std::current_exception())) throw File::Declined();
        dest_failure_ = std::current_exception();  // reported once the source is read
    }
    try {
        // The decoder first: once the source is open, a FIFO's writer may
        // already have handed over data that only this copy will see.
        if (decode) decoder_ = decode->decoder();
        in_ = std::make_unique<File>(source, File::Access::read, nullptr);
    } catch (...) {
        abort();  // nothing is read yet, and an open output would commit as it is dropped
        if (short_of_resources(std::current_exception())) throw File::Declined();
        throw;
    }
}

Transfer::~Transfer() { abort(); }

void Transfer::run() {
    Output output(*this);
    std::vector<char> slice(kSlice);
    while (std::size_t got = in_->read_into(slice.data(), slice.size())) {
        if (decoder_)
            decoder_->update(slice.data(), got, output);
        else
            output.put(slice.data(), got);
    }
    if (decoder_) decoder_->finish(output);  // throws on a truncated source
}

void Transfer::commit() {
    if (dest_failure_) std::rethrow_exception(dest_failure_);
    out_->close();
}

void Transfer::abort() noexcept {
    if (out_) out_->abort();
}

}  // namespace ondrel
