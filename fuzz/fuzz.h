// Shared pieces of the libFuzzer targets. They link ondrel/codecs/*.cpp
// directly; no interpreter is involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ondrel/codecs/codec.h"

namespace fuzz {

// A small input may legitimately expand to gigabytes (a decompression
// bomb); stop collecting there so the fuzzer explores instead of swapping.
struct OutputLimit {};

class CappedSink : public ondrel::codecs::Sink {
public:
    explicit CappedSink(std::size_t cap = 16u << 20) : cap_(cap) {}
    void put(const char* data, std::size_t size) override {
        if (size > cap_ - out.size()) throw OutputLimit();
        out.append(data, size);
    }
    std::string out;

private:
    std::size_t cap_;
};

// Outcome of one decode: the output when it succeeded, or which failure.
struct Result {
    enum Kind { ok, codec_error, too_big } kind;
    std::string out;
};

inline bool operator==(const Result& a, const Result& b) {
    return a.kind == b.kind && (a.kind != Result::ok || a.out == b.out);
}

[[noreturn]] inline void die(const char* what) {
    std::fprintf(stderr, "fuzz oracle: %s\n", what);
    std::abort();
}

// Whatever `decode` accepts must decode again, unchanged, after `encode`.
template <typename Decode, typename Encode>
void accepted_input_round_trips(std::string_view input, Decode decode, Encode encode) {
    std::string decoded;
    try {
        decoded = decode(input);
    } catch (const ondrel::codecs::CodecError&) {
        return;
    }
    if (decode(encode(decoded)) != decoded) die("accepted input does not round-trip");
}

// Feeds `data` in pieces: the whole buffer when `step` is 0, else at
// `split` and then every `step` bytes. Any exception other than
// CodecError or the size cap escapes and libFuzzer reports it.
template <typename Stream>
Result run(Stream& stream, const std::uint8_t* data, std::size_t size, std::size_t split,
           std::size_t step) {
    CappedSink sink;
    const char* p = reinterpret_cast<const char*>(data);
    try {
        if (step == 0) {
            stream.update(p, size, sink);
        } else {
            std::size_t at = split < size ? split : size;
            stream.update(p, at, sink);
            while (at < size) {
                std::size_t n = size - at < step ? size - at : step;
                stream.update(p + at, n, sink);
                at += n;
            }
        }
        stream.finish(sink);
    } catch (const ondrel::codecs::CodecError&) {
        return {Result::codec_error, {}};
    } catch (const OutputLimit&) {
        return {Result::too_big, {}};
    }
    return {Result::ok, std::move(sink.out)};
}

}  // namespace fuzz
