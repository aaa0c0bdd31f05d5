// A file copied through a codec in bounded memory: read in slices, decoded
// and/or encoded on the way, written to a temporary that replaces the
// destination only when everything succeeded. No Python in here; fstream
// drives it with the interpreter lock released.
//
// The result is what reading the whole source and then writing it whole
// would leave, failures included: a failing source is reported in
// preference to a failing destination (the destination's failure is kept
// while the source is read and decoded to its end), and a failure leaves
// the destination as it was.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "ondrel/codecs/codec.h"
#include "ondrel/fileio.h"

namespace ondrel {

class Transfer {
public:
    // Opens the destination in File::Access::replace mode first, keeping
    // its failure for later, and then the source, throwing its failure.
    // Throws File::Declined, with nothing left behind and the source not
    // opened, where the destination is not a file that can be replaced that
    // way; also where the source cannot be opened for lack of a descriptor
    // or memory, which the whole-file steps may still have. Declining
    // before the source is opened matters: a FIFO's data cannot be read
    // twice. `decode`/`encode` may be null.
    Transfer(const std::string& source, const std::string& destination,
             const codecs::Codec* decode, const codecs::Codec* encode);
    ~Transfer();  // aborts unless committed
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Reads and converts the whole source. Throws only for the source (or
    // an interruption); a destination failure is kept in dest_failure()
    // and the rest of the output discarded.
    void run();

    // Set when the destination could not be opened or written.
    std::exception_ptr dest_failure() const { return dest_failure_; }

    // Ends the output and puts it in place; throws the destination's
    // failure, including one kept from run().
    void commit();

    // Leaves the destination as it was.
    void abort() noexcept;

private:
    class Output;
    std::unique_ptr<File> out_;
    std::exception_ptr dest_failure_;
    std::unique_ptr<File> in_;
    std::unique_ptr<codecs::Decoder> decoder_;
};

}  // namespace ondrel
