// The lzop file format over liblzo2's LZO1X.
//
// A file is a magic number, a header, then blocks of at most 256 KiB of
// input, each with both sizes and checksums, closed by a zero length. A
// block whose compressed form is no smaller is stored as is; the reader
// (lzop_decoder.cpp) tells the two apart by comparing the sizes.

#include "lzop.h"

#include <lzo/lzo1x.h>
#include <lzo/lzoconf.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "bytes.h"
#include "parallel.h"

namespace ondrel::codecs::detail {

const char* lzo_message(int code) {
    switch (code) {
    case LZO_E_OUT_OF_MEMORY: return "out of memory";
    case LZO_E_INPUT_OVERRUN: return "input overrun";
    case LZO_E_OUTPUT_OVERRUN: return "output overrun";
    case LZO_E_LOOKBEHIND_OVERRUN: return "lookbehind overrun";
    case LZO_E_EOF_NOT_FOUND: return "end of block not found";
    case LZO_E_INPUT_NOT_CONSUMED: return "input not consumed";
    default: return "liblzo2 error";
    }
}

void throw_lzop_error(Problem problem, const std::string& detail) {
    static const char* const what[] = {"not in lzop format", "unexpected end of input", "corrupt data",
                                       "unsupported file", "internal error"};
    std::string text = std::string("lzop: ") + what[static_cast<int>(problem)];
    if (!detail.empty()) text += " (" + detail + ")";
    throw CodecError(text);
}

void ensure_lzo() {
    static const int status = lzo_init();
    if (status != LZO_E_OK) throw_lzop_error(Problem::Internal, "lzo_init failed");
}

namespace {

// Work memory for the LZO compressors, one per thread and method.
unsigned char* thread_work(std::size_t size) {
    thread_local std::vector<unsigned char> work;
    if (work.size() < size) work.resize(size);
    return work.data();
}

// Blocks of Sizes::lzop_block (256 KiB) input, Sizes::lzop_blocks_per_job
// (4) at a time to a worker: enough work to outweigh the hand-off.

// Compresses a run of whole blocks into their finished records.
class PackJob : public ChunkJob {
public:
    PackJob(std::size_t block, unsigned method, int level) : block_(block), method_(method), level_(level) {}

    void run() override {
        std::size_t blocks = (size_ + block_ - 1) / block_;
        out.resize(size_ + blocks * (12 + block_ / 16 + 64 + 3));
        std::size_t at = 0;
        for (std::size_t done = 0; done < size_; done += block_) {
            const auto* src = reinterpret_cast<const unsigned char*>(data_ + done);
            std::size_t n = std::min(block_, size_ - done);
            unsigned char* head = out.bytes() + at;
            unsigned char* body = head + 12;
            lzo_uint packed = 0;
            int rc;
            if (method_ == M_LZO1X_999)
                rc = lzo1x_999_compress_level(src, n, body, &packed, thread_work(LZO1X_999_MEM_COMPRESS), nullptr,
                                              0, nullptr, level_);
            else if (method_ == M_LZO1X_1)
                rc = lzo1x_1_compress(src, n, body, &packed, thread_work(LZO1X_1_MEM_COMPRESS));
            else
                rc = lzo1x_1_15_compress(src, n, body, &packed, thread_work(LZO1X_1_15_MEM_COMPRESS));
            if (rc != LZO_E_OK) throw_lzop_error(Problem::Internal, lzo_message(rc));
            bool stored = packed >= n;
            if (stored) std::memcpy(body, src, n);
            put_be32(head, static_cast<std::uint32_t>(n));
            put_be32(head + 4, static_cast<std::uint32_t>(stored ? n : packed));
            put_be32(head + 8, adler32(src, n));
            at += 12 + (stored ? n : packed);
        }
        out.resize(at);
    }

private:
    std::size_t block_;
    unsigned method_;
    int level_;
};

class LzopEncoder : public ChunkedEncoder {
public:
    explicit LzopEncoder(int level)
        : ChunkedEncoder(sizes().lzop_block * sizes().lzop_blocks_per_job), level_(level),
          block_(sizes().lzop_block) {
        ensure_lzo();
        method_ = level_ >= 7 ? M_LZO1X_999 : level_ >= 2 ? M_LZO1X_1 : M_LZO1X_1_15;
    }

    void finish(Sink& out) override {
        flush(out, false);
        if (!header_written_) write_header(out);
        const unsigned char end[4] = {0, 0, 0, 0};
        out.put(reinterpret_cast<const char*>(end), sizeof end);
    }

private:
    std::unique_ptr<ChunkJob> make_job() override { return std::make_unique<PackJob>(block_, method_, level_); }

    void put(Job& done, Sink& out) override {
        if (!header_written_) write_header(out);
        ChunkedEncoder::put(done, out);
    }

    void write_header(Sink& out) {
        unsigned char h[sizeof kMagic + 29];
        unsigned char* p = std::copy(std::begin(kMagic), std::end(kMagic), h);
        unsigned char* const start = p;
        put_be16(p, kVersion);
        put_be16(p + 2, lzo_version() & 0xffff);
        put_be16(p + 4, kNeededToExtract);
        p[6] = static_cast<unsigned char>(method_);
        // lzop records 5 for everything LZO1X-1 compresses, whatever the -N.
        p[7] = static_cast<unsigned char>(method_ == M_LZO1X_1 ? 5 : level_);
        put_be32(p + 8, F_ADLER32_D | F_OS_UNIX);
        put_be32(p + 12, 0100644);  // mode, for `lzop -d` to give the file
        put_be32(p + 16, 0);        // mtime low: zero keeps output reproducible
        put_be32(p + 20, 0);        // mtime high
        p[24] = 0;                  // no file name
        put_be32(p + 25, adler32(start, 25));
        out.put(reinterpret_cast<const char*>(h), sizeof h);
        header_written_ = true;
    }

    int level_;
    std::size_t block_;
    unsigned method_;
    bool header_written_ = false;
};

std::unique_ptr<Encoder> make_encoder(int level) {
    return std::make_unique<LzopEncoder>(resolve_level("lzop", level, 1, 9, 3));
}

}  // namespace

const Codec lzop_codec = {"lzop", make_encoder, make_lzop_decoder};

}  // namespace ondrel::codecs::detail
