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

#include "internal.h"

namespace ondrel::codecs::detail {

class MemberInflater {
public:
    MemberInflater() : out_(new char[kChunk]) {
        std::memset(&zs_, 0, sizeof zs_);
        int rc = inflateInit2(&zs_, 15 + 16);
        if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
    }
    ~MemberInflater() { inflateEnd(&zs_); }
    MemberInflater(const MemberInflater&) = delete;
    MemberInflater& operator=(const MemberInflater&) = delete;

    // Returns how much of `data` was used; `ended` turns true at the end of
    // the member, after which the rest of `data` is left alone.
    std::size_t feed(const unsigned char* data, std::size_t size, Sink& out, bool& ended) {
        std::size_t used = 0;
        ended = false;
        while (size > used && !ended) {
            std::size_t piece = std::min(size - used, kMaxFeed);
            zs_.next_in = const_cast<Bytef*>(data + used);
            zs_.avail_in = static_cast<uInt>(piece);
            ended = run(out);
            used += piece - zs_.avail_in;
        }
        return used;
    }

private:
    bool run(Sink& out) {
        for (;;) {
            zs_.next_out = reinterpret_cast<Bytef*>(out_.get());
            zs_.avail_out = static_cast<uInt>(kChunk);
            int rc = inflate(&zs_, Z_NO_FLUSH);
            std::size_t produced = kChunk - zs_.avail_out;
            if (produced) out.put(out_.get(), produced);
            if (rc == Z_STREAM_END) return true;
            if (rc == Z_BUF_ERROR) {
                // No progress possible: with output room to spare that just
                // means inflate wants more input.
                if (zs_.avail_in == 0) return false;
                zlib_fail("gzip", rc, zs_.msg);
            }
            if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
            if (zs_.avail_in == 0 && zs_.avail_out != 0) return false;
        }
    }

    z_stream zs_;
    std::unique_ptr<char[]> out_;
};

class StreamInflater {
public:
    StreamInflater() : state_(new inflate_state), out_(new char[kChunk]) {
        std::memset(&zs_, 0, sizeof zs_);
        int rc = inflateInit2(&zs_, 15 + 16);
        if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
    }
    ~StreamInflater() { inflateEnd(&zs_); }
    StreamInflater(const StreamInflater&) = delete;
    StreamInflater& operator=(const StreamInflater&) = delete;

    // Readies the object for the next member; its state is 85 KiB, too much
    // to allocate again for every member of a file made of small ones.
    void restart() {
        int rc = inflateReset(&zs_);
        if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
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
        if (rc != Z_OK) zlib_fail("gzip", rc, zs_.msg);
        if (zs_.data_type & 128) {
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
        for (;;) {
            s.next_out = reinterpret_cast<std::uint8_t*>(out_.get());
            s.avail_out = static_cast<std::uint32_t>(kChunk);
            int rc = isal_inflate(&s);
            std::size_t produced = kChunk - s.avail_out;
            if (produced) out.put(out_.get(), produced);
            if (rc != ISAL_DECOMP_OK) fail(rc);
            if (s.block_state == ISAL_BLOCK_FINISH) break;
            if (s.avail_in == 0 && s.avail_out != 0) return size;
        }
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
        auto le32 = [](const unsigned char* p) {
            return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                   std::uint32_t(p[3]) << 24;
        };
        // zlib's words for these, as for every other member.
        if (le32(tail_) != state_->crc) zlib_fail("gzip", Z_DATA_ERROR, "incorrect data check");
        if (le32(tail_ + 4) != state_->total_out) zlib_fail("gzip", Z_DATA_ERROR, "incorrect length check");
        ended = true;
        return take;
    }

    [[noreturn]] static void fail(int rc) {
        switch (rc) {
        case ISAL_INVALID_BLOCK: zlib_fail("gzip", Z_DATA_ERROR, "invalid block");
        case ISAL_INVALID_SYMBOL: zlib_fail("gzip", Z_DATA_ERROR, "invalid code");
        case ISAL_INVALID_LOOKBACK: zlib_fail("gzip", Z_DATA_ERROR, "invalid distance too far back");
        default: zlib_fail("gzip", Z_DATA_ERROR, ("ISA-L error " + std::to_string(rc)).c_str());
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
