// Test data and command-line plumbing shared by the codec tests.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ondrel/codecs/codec.h"

namespace testutil {

using ondrel::codecs::Codec;

inline const Codec& codec(const char* name) {
    const Codec* c = ondrel::codecs::find_codec(name);
    if (!c) throw std::runtime_error(std::string("no codec ") + name);
    return *c;
}

inline std::string flip(std::string s, std::size_t at, int bit = 0) {
    s[at] = char(s[at] ^ (1 << bit));
    return s;
}

// Records every put so tests can check output arrives in bounded pieces.
struct ChunkSink : ondrel::codecs::Sink {
    std::string data;
    std::size_t largest = 0;
    void put(const char* p, std::size_t n) override {
        data.append(p, n);
        largest = std::max(largest, n);
    }
};

// Feeds `in` through a fresh encoder or decoder in pieces cycling through
// `sizes`, after an empty write that must change nothing.
template <typename Stream>
std::string feed(std::unique_ptr<Stream> stream, const std::string& in, std::vector<std::size_t> sizes,
                 std::size_t* largest = nullptr) {
    ChunkSink sink;
    stream->update(in.data(), 0, sink);
    std::size_t at = 0, k = 0;
    while (at < in.size()) {
        std::size_t n = std::min(sizes[k++ % sizes.size()], in.size() - at);
        stream->update(in.data() + at, n, sink);
        at += n;
    }
    stream->finish(sink);
    if (largest) *largest = sink.largest;
    return sink.data;
}

// What feeding `in` to a fresh decoder gives: "ok: " and the output, or
// "error: " and the message.
inline std::string outcome(const Codec& codec, const std::string& in, std::vector<std::size_t> sizes) {
    try {
        return "ok: " + feed(codec.decoder(), in, sizes);
    } catch (const ondrel::codecs::CodecError& e) {
        return std::string("error: ") + e.what();
    }
}

// Alternating runs of repetitive text and random bytes, so every codec sees
// both material it squeezes and material it has to store.
inline std::string mixed_data(std::size_t size, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::string out;
    out.reserve(size);
    bool text = true;
    while (out.size() < size) {
        std::size_t run = 1000 + rng() % 60000;
        for (std::size_t i = 0; i < run && out.size() < size; ++i)
            out.push_back(text ? "the quick brown fox jumps\n"[(i + seed) % 26] : char(rng()));
        text = !text;
    }
    return out;
}

inline std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out;
    while (out.size() < size) out.push_back(char(rng()));
    return out;
}

// Runs a shell command in which IN names a file holding `input`; returns
// what it wrote to stdout, or throws when it exits non-zero.
inline std::string run_tool(std::string command, const std::string& input) {
    char dir[] = "/tmp/codectest.XXXXXX";
    if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    const std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out";
    std::ofstream(in, std::ios::binary) << input;
    command.replace(command.find("IN"), 2, in);
    const int status = std::system(("(" + command + ") > " + out + " 2>/dev/null").c_str());
    std::ifstream result(out, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(result), {});
    std::system(("rm -rf " + std::string(dir)).c_str());
    if (status != 0) throw std::runtime_error(command + " failed");
    return bytes;
}

}  // namespace testutil
