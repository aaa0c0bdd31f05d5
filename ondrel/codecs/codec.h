// The one interface every compression filter implements.
//
// Nothing in this folder knows about Python: fstream drives these classes,
// and so do the unit tests, benchmarks and fuzz targets, which link the
// codec sources alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ondrel::codecs {

// A library failure: bad or truncated input, a format mismatch, no memory.
// `what()` is a complete sentence naming the format and the cause.
class CodecError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A library could not get the memory it needed: no verdict on the data.
class OutOfMemory : public CodecError {
public:
    using CodecError::CodecError;
};

// Receives output as it is produced. Implementations append to a buffer or
// write to a file descriptor; a sink may throw (e.g. on a failed write) and
// codecs must let that propagate untouched.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void put(const char* data, std::size_t size) = 0;
};

class StringSink : public Sink {
public:
    explicit StringSink(std::string& out) : out_(out) {}
    void put(const char* data, std::size_t size) override {
        if (out_.capacity() - out_.size() < size) grow(size);
        out_.append(data, size);
    }

private:
    void grow(std::size_t more);  // doubles, with large buffers on huge pages
    std::string& out_;
};

// Streaming compressor. `update` may be called any number of times;
// `finish` is called exactly once and writes the trailer. `update` never
// keeps a pointer into `data` once it returns or throws. After a throw the
// stream is broken and the encoder is only fit to be destroyed.
class Encoder {
public:
    virtual ~Encoder() = default;
    virtual void update(const char* data, std::size_t size, Sink& out) = 0;
    virtual void finish(Sink& out) = 0;
};

// Streaming decompressor. Accepts input in pieces of any size, including
// several concatenated members/streams as the command-line tools write them.
// `finish` throws CodecError if the input ended inside a member (truncation)
// or held no valid member at all.
class Decoder {
public:
    virtual ~Decoder() = default;
    virtual void update(const char* data, std::size_t size, Sink& out) = 0;
    virtual void finish(Sink& out) = 0;
};

struct Codec {
    const char* name;           // canonical filter name: "gzip", "bzip2", ...
    std::unique_ptr<Encoder> (*encoder)(int level);
    std::unique_ptr<Decoder> (*decoder)();
};

// Looks up a filter by canonical name or alias ("gz", "bz2", "lzo").
// Returns nullptr for any other name, and for a codec this build lacks.
const Codec* find_codec(std::string_view name);

// The most memory one xz or lzma decoder may take, in bytes. A file names
// the dictionary it needs in its header, and a header of a few bytes can
// ask for gigabytes; past this limit decoding fails with a CodecError that
// gives both figures. The default, 1600 MiB, reads every file the xz and
// lzma tools can write (their largest dictionary is 1.5 GiB).
std::uint64_t decoder_memory_limit();
void set_decoder_memory_limit(std::uint64_t bytes);

// Long waits inside a codec (for a worker's chunk, for liblzma's own
// threads) call `hook` every few milliseconds on the thread that called
// the codec; whatever it throws ends the operation as a failed sink would.
// This lets a caller stay interruptible without the codecs knowing who it
// is. Process-wide; null, the default, does nothing.
void set_wait_hook(void (*hook)());

// Whole-buffer conveniences over the streaming classes.
std::string compress(const Codec& codec, std::string_view data, int level = -1);
std::string decompress(const Codec& codec, std::string_view data);

}  // namespace ondrel::codecs
