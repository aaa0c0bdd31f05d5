// Shared pieces of the libFuzzer targets. They link ondrel/codecs/*.cpp
// directly; no interpreter is involved.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ondrel/codecs/codec.h"

namespace fuzz {

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

// A small input may legitimately expand to gigabytes (a decompression bomb);
// collecting stops at 16 MiB (or `most`) so the fuzzer explores instead of
// swapping.
constexpr std::size_t kMaxOutput = std::size_t(16) << 20;
struct OutputLimit {};

// Outcome of one run: the output when it succeeded, or which failure.
struct Result {
    enum Kind { ok, codec_error, too_big } kind;
    std::string out;
    bool operator==(const Result& o) const { return kind == o.kind && (kind != ok || out == o.out); }
};

// Feeds `data` whole when `step` is 0, else cut at `split` and then every
// `step` bytes. Any exception but CodecError and the size cap escapes, and
// libFuzzer reports it.
template <typename Stream>
Result run(Stream& stream, const std::uint8_t* data, std::size_t size, std::size_t split, std::size_t step,
           std::size_t most = kMaxOutput) {
    struct CappedSink : ondrel::codecs::Sink {
        explicit CappedSink(std::size_t most) : most(most) {}
        std::string out;
        std::size_t most;
        void put(const char* p, std::size_t n) override {
            if (n > most - out.size()) throw OutputLimit();
            out.append(p, n);
        }
    } sink(most);
    const char* p = reinterpret_cast<const char*>(data);
    try {
        std::size_t at = step ? std::min(split, size) : size;
        stream.update(p, at, sink);
        for (std::size_t n; at < size; at += n) {
            n = std::min(step, size - at);
            stream.update(p + at, n, sink);
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
