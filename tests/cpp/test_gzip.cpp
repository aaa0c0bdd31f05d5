// gzip members written elsewhere, which are inflated as their bytes arrive
// and whose trailers are checked by us rather than by the inflater.

#include <gtest/gtest.h>
#include <zlib.h>

#include "helpers.h"
#include "ondrel/codecs/codec.h"

using namespace ondrel::codecs;
using namespace testutil;

namespace {

// One plain gzip member, as any writer but ours makes it: no size field.
std::string foreign_member(const std::string& in, int level = 6) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("zlib");
    std::string out(deflateBound(&zs, in.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("zlib");
    return out;
}

std::string error_of(const std::string& packed, std::size_t split) {
    try {
        feed(codec("gzip").decoder(), packed, {split, packed.size()});
    } catch (const CodecError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(GzipForeign, OutputFollowsTheInputAsItArrives) {
    const std::string in = mixed_data(4 << 20, 61);
    const std::string packed = foreign_member(in);
    ChunkSink sink;
    auto dec = codec("gzip").decoder();
    dec->update(packed.data(), packed.size() - 1, sink);
    // Everything but what the last byte completes, without holding the input.
    EXPECT_GT(sink.data.size(), in.size() - 300000);
    dec->update(packed.data() + packed.size() - 1, 1, sink);
    dec->finish(sink);
    EXPECT_TRUE(sink.data == in);
}

TEST(GzipForeign, TrailersAreCheckedWhereverTheInputIsCut) {
    // Stored and compressed last blocks leave different amounts of the
    // trailer inside the inflater's bit buffer; level 0 ends byte-aligned.
    const std::string second = foreign_member("second member\n");
    for (int level : {0, 1, 9}) {
        for (const std::string& plain : {mixed_data(70000, 62), noise(5000, 63)}) {
            const std::string first = foreign_member(plain, level);
            const std::string both = first + second;
            const std::string want = plain + "second member\n";
            const std::size_t crc = first.size() - 8, isize = first.size() - 4;
            for (std::size_t split = crc - 12; split <= first.size() + 12; ++split) {
                SCOPED_TRACE("level " + std::to_string(level) + " split " + std::to_string(split));
                EXPECT_TRUE(feed(codec("gzip").decoder(), both, {split, both.size()}) == want);
                EXPECT_EQ(error_of(flip(both, crc + split % 4), split), "gzip: corrupt data (incorrect data check)");
                EXPECT_EQ(error_of(flip(both, isize + split % 4, 1), split),
                          "gzip: corrupt data (incorrect length check)");
                if (split < first.size()) {
                    EXPECT_EQ(error_of(first.substr(0, split), split / 2),
                              "gzip: unexpected end of input (truncated file)");
                }
            }
            EXPECT_TRUE(feed(codec("gzip").decoder(), both, {1}) == want) << "fed a byte at a time";
        }
    }
}

TEST(GzipForeign, DamageInTheDeflateDataIsCorruptDataWholeOrInPieces) {
    const std::string packed = foreign_member(mixed_data(300000, 64));
    int caught = 0;
    for (std::size_t at = 20; at < packed.size() - 8; at += packed.size() / 50) {
        std::string bad = packed;
        bad[at] = char(bad[at] ^ 0x5a);
        std::string whole = error_of(bad, bad.size()), pieces = error_of(bad, at);
        EXPECT_EQ(whole, pieces) << at;
        if (whole.empty()) continue;
        ++caught;
        EXPECT_EQ(whole.rfind("gzip: corrupt data (", 0), 0u) << whole;
    }
    EXPECT_GT(caught, 40);
}
