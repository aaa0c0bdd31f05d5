// Inflating one gzip member as its bytes arrive, for gzip.cpp alone.
//
// zlib, start to finish. ISA-L inflates faster, but it accepts a block
// whose Huffman code leaves part of the code space unused, which gzip,
// zlib and libdeflate all refuse, and a member's verdict must not depend
// on the decoder it happens to reach.
#pragma once

#include <zlib.h>

#include <cstring>

#include "internal.h"

namespace ondrel::codecs::detail {

// The gzip header (RFC 1952): ID1 ID2 CM FLG MTIME(4) XFL OS, then with
// FEXTRA set, XLEN (2) and that many bytes of extra fields; the other FLG
// bits are reserved.
constexpr unsigned char kId1 = 0x1f, kId2 = 0x8b;
constexpr unsigned char kDeflate = 8;    // CM
constexpr unsigned char kFlagText = 1, kFlagHeaderCrc = 2, kFlagExtra = 4, kFlagName = 8, kFlagComment = 16;
constexpr unsigned char kOsUnix = 3;
constexpr std::size_t kFlagsAt = 3, kXlenAt = 10, kExtraAt = 12;

// inflateInit2's window bits: the largest window, in a gzip wrapper.
constexpr int kGzipWindow = 15 + 16;

class MemberInflater {
public:
    MemberInflater() : out_(new char[kChunk]) {
        std::memset(&zs_, 0, sizeof zs_);
        int rc = inflateInit2(&zs_, kGzipWindow);
        if (rc != Z_OK) throw_zlib_error("gzip", rc, zs_.msg);
    }
    ~MemberInflater() { inflateEnd(&zs_); }
    MemberInflater(const MemberInflater&) = delete;
    MemberInflater& operator=(const MemberInflater&) = delete;

    // Readies the object for the next member, keeping zlib's state and
    // window rather than allocating them again for every small member.
    void restart() {
        int rc = inflateReset(&zs_);
        if (rc != Z_OK) throw_zlib_error("gzip", rc, zs_.msg);
    }

    // Returns how much of `data` was used; `ended` turns true at the end of
    // the member, after which the rest of `data` is left alone.
    std::size_t feed(const unsigned char* data, std::size_t size, Sink& out, bool& ended) {
        return feed_pieces(zs_, data, size, ended, [&] {
            return drive(zs_, out_.get(), out, [&] { return inflate(&zs_, Z_NO_FLUSH); },
                         [&](int rc) { return inflate_ended("gzip", rc, zs_); });
        });
    }

private:
    z_stream zs_;
    std::unique_ptr<char[]> out_;
};

}  // namespace ondrel::codecs::detail
