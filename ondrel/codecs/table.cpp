// The filter table and the whole-buffer helpers built on the streaming API.

#include <algorithm>
#include <string>

#include "codec.h"
#include "internal.h"

namespace ondrel::codecs {

namespace detail {

Sizes& sizes() {
    static Sizes current;
    return current;
}

int resolve_level(const char* codec, int level, int lowest, int highest, int fallback) {
    if (level < 0) return fallback;
    if (level < lowest || level > highest)
        throw CodecError(std::string(codec) + ": invalid compression level " +
                                 std::to_string(level) + " (expected " +
                                 std::to_string(lowest) + "-" + std::to_string(highest) + ")");
    return level;
}

void throw_library_error(const char* format, int code, const char* detail, std::initializer_list<Meaning> meanings,
                  const char* library, int no_memory) {
    std::string text = std::string(format) + ": ";
    auto m = std::find_if(meanings.begin(), meanings.end(), [code](const Meaning& m) { return m.code == code; });
    if (m == meanings.end()) {
        text += std::string(library) + " error " + std::to_string(code);
    } else {
        text += m->what ? std::string(m->what) : std::string("not in ") + format + " format";
        if (!detail || !*detail) detail = m->detail;
    }
    if (detail && *detail) text += std::string(" (") + detail + ")";
    if (code == no_memory) throw OutOfMemory(text);
    throw CodecError(text);
}

void trailing_garbage(const char* format) {
    throw CodecError(std::string(format) + ": corrupt data (trailing garbage after compressed data)");
}

void check_padding(const char* format, const unsigned char* p, std::size_t n) {
    if (std::any_of(p, p + n, [](unsigned char c) { return c != 0; })) trailing_garbage(format);
}

}  // namespace detail

void set_wait_hook(void (*hook)()) { workers::set_wait_hook(hook); }

const Codec* find_codec(std::string_view name) {
    // Aliases are the usual file-name suffixes, so a caller can pass an
    // extension straight through.
    static const struct {
        std::string_view name;
        const Codec* codec;
    } table[] = {
        {"gzip", &detail::gzip_codec}, {"gz", &detail::gzip_codec},
        {"bzip2", &detail::bzip2_codec}, {"bz2", &detail::bzip2_codec},
        {"lzop", &detail::lzop_codec}, {"lzo", &detail::lzop_codec},
        {"xz", &detail::xz_codec},
        {"lzma", &detail::lzma_codec},
    };
    for (const auto& entry : table)
        if (entry.name == name) return entry.codec;
    return nullptr;
}

void StringSink::grow(std::size_t more) {
    std::size_t capacity = std::max(out_.size() + more, 2 * out_.capacity());
    if (capacity < (std::size_t(4) << 20)) {
        out_.reserve(capacity);
        return;
    }
    // A fresh buffer advised before anything touches it, so even the copy
    // of what is already there lands on huge pages.
    std::string bigger;
    bigger.reserve(capacity);
    workers::advise_huge(&bigger[0], capacity);
    bigger.append(out_);
    out_.swap(bigger);
}

std::string compress(const Codec& codec, std::string_view data, int level) {
    std::string out;
    StringSink sink(out);
    auto encoder = codec.encoder(level);
    encoder->update(data.data(), data.size(), sink);
    encoder->finish(sink);
    return out;
}

std::string decompress(const Codec& codec, std::string_view data) {
    std::string out;
    StringSink sink(out);
    auto decoder = codec.decoder();
    decoder->update(data.data(), data.size(), sink);
    decoder->finish(sink);
    return out;
}

}  // namespace ondrel::codecs
