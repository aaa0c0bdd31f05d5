// Inflating one gzip member as its bytes arrive, for gzip.cpp alone.
//
// MemberInflater is zlib start to finish: slow, but its verdict on damaged
// data is the most precise there is. StreamInflater is what members of
// unknown length go through: zlib reads the header, so a bad one fails
// exactly as before, ISA-L inflates the deflate data, the fastest streaming
// inflater we have, and the trailer is checked here.
#pragma once

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "bytes.h"
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
// z_stream::data_type after inflate(Z_BLOCK): stopped at a block boundary,
// here the start of the deflate data.
constexpr int kAtBlockStart = 128;

// Opens `zs` for one gzip member.
inline void open_inflate(z_stream& zs) {
    std::memset(&zs, 0, sizeof zs);
    int rc = inflateInit2(&zs, kGzipWindow);
    if (rc != Z_OK) throw_zlib_error("gzip", rc, zs.msg);
}

class MemberInflater {
public:
    MemberInflater() : out_(new char[kChunk]) { open_inflate(zs_); }
    ~MemberInflater() { inflateEnd(&zs_); }
    MemberInflater(const MemberInflater&) = delete;
    MemberInflater& operator=(const MemberInflater&) = delete;

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

class StreamInflater {
public:
    StreamInflater() : state_(new inflate_state), out_(new char[kChunk]) { open_inflate(zs_); }
    ~StreamInflater() { inflateEnd(&zs_); }
    StreamInflater(const StreamInflater&) = delete;
    StreamInflater& operator=(const StreamInflater&) = delete;

    // Readies the object for the next member; its state is 85 KiB, too much
    // to allocate again for every member of a file made of small ones.
    void restart() {
        int rc = inflateReset(&zs_);
        if (rc != Z_OK) throw_zlib_error("gzip", rc, zs_.msg);
        phase_ = Phase::header;
        tail_size_ = 0;
    }

    // As MemberInflater::feed.
    std::size_t feed(const unsigned char* data, std::size_t size, Sink& out, bool& ended) {
        std::size_t used = 0;
        ended = false;
        while (size > used && !ended) {
            std::size_t piece = std::min(size - used, kMaxFeed);
            switch (phase_) {
            case Phase::header: used += header(data + used, piece); break;
            case Phase::body: used += body(data + used, piece, out, ended); break;
            case Phase::trailer: used += trailer(data + used, piece, ended); break;
            }
        }
        return used;
    }

private:
    enum class Phase { header, body, trailer };

    std::size_t header(const unsigned char* data, std::size_t size) {
        unsigned char none;
        zs_.next_in = const_cast<Bytef*>(data);
        zs_.avail_in = static_cast<uInt>(size);
        zs_.next_out = &none;
        zs_.avail_out = 1;
        // Z_BLOCK returns once the header is read, before any deflate data.
        int rc = inflate(&zs_, Z_BLOCK);
        std::size_t used = size - zs_.avail_in;
        if (rc == Z_BUF_ERROR && zs_.avail_in == 0) return used;
        if (rc != Z_OK) throw_zlib_error("gzip", rc, zs_.msg);
        if (zs_.data_type & kAtBlockStart) {
            isal_inflate_init(state_.get());
            state_->crc_flag = ISAL_GZIP_NO_HDR;
            phase_ = Phase::body;
        }
        return used;
    }

    std::size_t body(const unsigned char* data, std::size_t size, Sink& out, bool& ended) {
        inflate_state& s = *state_;
        s.next_in = const_cast<std::uint8_t*>(data);
        s.avail_in = static_cast<std::uint32_t>(size);
        bool finished = drive(s, out_.get(), out, [&] { return isal_inflate(&s); }, [&](int rc) {
            if (rc != ISAL_DECOMP_OK) throw_inflate_error(rc);
            return s.block_state == ISAL_BLOCK_FINISH;
        });
        if (!finished) return size;
        // ISA-L reads ahead into a bit buffer and keeps what it read past
        // the last block: whole bytes there are the start of the trailer,
        // which came before whatever is still at next_in.
        phase_ = Phase::trailer;
        // The bits below the first whole byte are the last block's padding.
        const int pad = s.read_in_length % 8;
        for (int k = 0; k < s.read_in_length / 8; ++k)
            tail_[tail_size_++] = static_cast<unsigned char>(s.read_in >> (pad + 8 * k));
        std::size_t used = size - s.avail_in;
        trailer(data + used, 0, ended);
        return used;
    }

    std::size_t trailer(const unsigned char* data, std::size_t size, bool& ended) {
        std::size_t take = std::min(size, sizeof tail_ - tail_size_);
        std::memcpy(tail_ + tail_size_, data, take);
        tail_size_ += take;
        if (tail_size_ < sizeof tail_) return take;
        // zlib's words for these, as for every other member.
        if (le32(tail_) != state_->crc) throw_zlib_error("gzip", Z_DATA_ERROR, "incorrect data check");
        if (le32(tail_ + 4) != state_->total_out) throw_zlib_error("gzip", Z_DATA_ERROR, "incorrect length check");
        ended = true;
        return take;
    }

    [[noreturn]] static void throw_inflate_error(int rc) {
        switch (rc) {
        case ISAL_INVALID_BLOCK: throw_zlib_error("gzip", Z_DATA_ERROR, "invalid block");
        case ISAL_INVALID_SYMBOL: throw_zlib_error("gzip", Z_DATA_ERROR, "invalid code");
        case ISAL_INVALID_LOOKBACK: throw_zlib_error("gzip", Z_DATA_ERROR, "invalid distance too far back");
        default: throw_zlib_error("gzip", Z_DATA_ERROR, ("ISA-L error " + std::to_string(rc)).c_str());
        }
    }

    z_stream zs_;  // reads the header only
    std::unique_ptr<inflate_state> state_;
    std::unique_ptr<char[]> out_;
    Phase phase_ = Phase::header;
    unsigned char tail_[8];
    std::size_t tail_size_ = 0;
};

}  // namespace ondrel::codecs::detail
