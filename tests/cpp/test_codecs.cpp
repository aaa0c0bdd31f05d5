// Every compression filter through one table: round trips, interoperation
// with the command-line tools, joined members, damage and limits; then
// base64 and bare zlib streams.

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>

#include "helpers.h"
#include "ondrel/codecs/bzip2.h"
#include "ondrel/codecs/codec.h"
#include "ondrel/codecs/internal.h"
#include "ondrel/codecs/text.h"

using namespace ondrel::codecs;
using namespace testutil;

struct Format {
    const char* name;
    const char* tool_decode;               // IN is replaced by the input path
    std::vector<std::string> tool_encodes;
    int tool_default;                      // the level the tool uses unasked
    int lowest_level;
    std::size_t unit;                      // input per independent unit at unit_level; 0: one stream
    int unit_level;
    bool concatenates;                     // members may follow one another
    bool checksummed;                      // damage can never pass unnoticed
};

const std::vector<Format> kFormats = {
    {"gzip", "gzip -dc < IN", {"gzip -c < IN", "gzip -1 -c IN", "gzip -9 -c < IN"}, 6, 1, 1 << 20, 6, true, true},
    {"bzip2", "bzip2 -dc < IN", {"bzip2 -c < IN", "bzip2 -1 -c IN"}, 9, 1, 99981, 1, true, true},
    {"lzop", "lzop -dc < IN",
     {"lzop -c < IN", "lzop -c IN", "lzop -1 -c < IN", "lzop -9 -c < IN", "lzop --crc32 -c < IN"}, 3, 1, 1 << 20, 3,
     true, true},
    {"xz", "xz -dc < IN", {"xz -c < IN", "xz -0 --check=sha256 -c < IN", "xz --check=crc32 -c IN"}, 6, 0, 1 << 20, 0,
     true, true},
    {"lzma", "xz --format=lzma -dc < IN", {"lzma -c < IN", "lzma -1 -c < IN"}, 6, 0, 0, 6, false, false},
};

static bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

TEST(Codecs, RoundTripAtEveryLevelWholeInPiecesAndThroughTheTool) {
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes.push_back(char(i));
    for (const auto& f : kFormats) {
        const Codec& c = codec(f.name);
        std::vector<std::pair<std::string, int>> cases = {{"", -1}, {"x", -1}, {all_bytes, -1}, {mixed_data(3 << 20, 7), -1}};
        // Inputs around the points where the writer cuts its work, and every level.
        if (f.unit)
            for (std::size_t size : {f.unit - 1, f.unit, f.unit + 1, 3 * f.unit + 4097})
                cases.emplace_back(mixed_data(size, unsigned(size)), f.unit_level);
        for (int level = f.lowest_level; level <= 9; ++level) cases.emplace_back(mixed_data(300000, 3), level);
        EXPECT_EQ(compress(c, cases.back().first), compress(c, cases.back().first, f.tool_default)) << f.name;
        for (int bad : {10, 99, f.lowest_level > 0 ? 0 : 10}) EXPECT_THROW(c.encoder(bad), CodecError) << bad;
        for (const auto& [in, level] : cases) {
            SCOPED_TRACE(testing::Message() << f.name << " size " << in.size() << " level " << level);
            const std::string packed = compress(c, in, level);
            EXPECT_TRUE(decompress(c, packed) == in);
            EXPECT_TRUE(run_tool(f.tool_decode, packed) == in);
            // Odd pieces straddle every internal boundary and the largest
            // hands over whole units; single bytes only where it stays quick.
            auto pieces = in.size() > 1000 ? std::vector<std::size_t>{7, 65537, 4093, 1500001} : std::vector<std::size_t>{1};
            EXPECT_TRUE(feed(c.encoder(level), in, pieces) == packed);
            std::size_t largest = 0;
            EXPECT_TRUE(feed(c.decoder(), packed, pieces, &largest) == in);
            EXPECT_LE(largest, 256u * 1024);
        }
    }
}

TEST(Codecs, ToolOutputReadWholeInPiecesAndJoinedToOurs) {
    // Several bzip2 blocks, lzop blocks and gzip units of ours.
    const std::string in = mixed_data(3 << 20, 17), small = "tail member\n";
    for (const auto& f : kFormats) {
        const Codec& c = codec(f.name);
        const std::string ours = compress(c, small);
        EXPECT_EQ(decompress(c, run_tool(f.tool_encodes[0], "")), "") << f.name;
        for (const std::string& cmd : f.tool_encodes) {
            SCOPED_TRACE(cmd);
            const std::string theirs = run_tool(cmd, in);
            EXPECT_TRUE(decompress(c, theirs) == in);
            EXPECT_TRUE(feed(c.decoder(), theirs, {3, 1000, 77777}) == in);
            if (c.name == std::string("gzip")) {
                // Their members record no size to split the file by: they
                // are inflated as the bytes arrive, not held back.
                ChunkSink sink;
                c.decoder()->update(theirs.data(), theirs.size() - 1, sink);
                EXPECT_GT(sink.data.size(), in.size() - 300000);
            }
            EXPECT_THROW(decompress(c, theirs.substr(0, theirs.size() / 3)), CodecError);
            if (f.checksummed) {
                EXPECT_THROW(decompress(c, flip(theirs, theirs.size() / 2, 4)), CodecError);
            }
            if (!f.concatenates) continue;
            EXPECT_TRUE(decompress(c, theirs + ours) == in + small);
            EXPECT_TRUE(feed(c.decoder(), ours + theirs, {65536}) == small + in);
        }
        // Ours joined to ours, which the tool reads too (lzop warns of a
        // "multipart archive", exit 2); padding after the last member, and
        // garbage or a member cut short after it.
        const std::string joined = compress(c, in, 1) + ours;
        if (f.concatenates) {
            EXPECT_TRUE(feed(c.decoder(), joined, {1, 4099}) == in + small) << f.name;
            EXPECT_TRUE(run_tool(std::string(f.tool_decode) + "; [ $? -ne 1 ]", joined) == in + small) << f.name;
            EXPECT_EQ(decompress(c, ours + std::string(8, '\0')), small) << f.name;
        } else {
            EXPECT_THROW(decompress(c, joined), CodecError);
        }
        EXPECT_THROW(decompress(c, ours + "junk"), CodecError) << f.name;
        EXPECT_THROW(decompress(c, ours + std::string(7, '\0') + "\1"), CodecError) << f.name;
        EXPECT_THROW(decompress(c, joined.substr(0, joined.size() - 3)), CodecError) << f.name;
    }
    try {
        decompress(codec("lzop"), run_tool("lzop --filter=1 -c < IN", in.substr(0, 10000)));
        FAIL() << "filtered file accepted";
    } catch (const CodecError& e) {
        EXPECT_NE(std::string(e.what()).find("filter"), std::string::npos) << e.what();
    }
}

// Members the tool writes record no size, so they stream, and their
// trailers are checked wherever the input is cut.
TEST(GzipForeign, TrailersAreCheckedWhereverTheInputIsCut) {
    // Stored and compressed last blocks end the deflate data at different
    // bit offsets; stored (noise) ends byte-aligned.
    auto error_of = [](const std::string& packed, std::size_t split) {
        return outcome(codec("gzip"), packed, {split, packed.size()});
    };
    const std::string second = run_tool("gzip -c < IN", "second member\n");
    for (const char* tool : {"gzip -1 -c < IN", "gzip -9 -c < IN"}) {
        for (const std::string& plain : {mixed_data(70000, 62), noise(5000, 63)}) {
            const std::string first = run_tool(tool, plain);
            const std::string both = first + second;
            const std::string want = plain + "second member\n";
            const std::size_t crc = first.size() - 8, isize = first.size() - 4;
            for (std::size_t split = crc - 12; split <= first.size() + 12; ++split) {
                SCOPED_TRACE(std::string(tool) + " split " + std::to_string(split));
                EXPECT_TRUE(feed(codec("gzip").decoder(), both, {split, both.size()}) == want);
                EXPECT_EQ(error_of(flip(both, crc + split % 4), split),
                          "error: gzip: corrupt data (incorrect data check)");
                EXPECT_EQ(error_of(flip(both, isize + split % 4, 1), split),
                          "error: gzip: corrupt data (incorrect length check)");
                if (split < first.size()) {
                    EXPECT_EQ(error_of(first.substr(0, split), split / 2),
                              "error: gzip: unexpected end of input (truncated file)");
                }
            }
            EXPECT_TRUE(feed(codec("gzip").decoder(), both, {1}) == want) << "fed a byte at a time";
            // Damaged deflate data is refused alike, whole or in pieces.
            for (std::size_t at = 10; at < crc; at += crc / 40 + 1) {
                const std::string bad = flip(flip(first, at, 1), at, 6);
                EXPECT_EQ(error_of(bad, at), error_of(bad, bad.size()));
                EXPECT_EQ(error_of(bad, at).rfind("error: gzip: corrupt data (", 0), 0u) << error_of(bad, at);
            }
        }
    }
}

// bzip2's block CRC: CRC-32 taken most significant bit first.
static std::uint32_t bzip2_block_crc(const std::string& s) {
    std::uint32_t c = ~0u;
    for (unsigned char b : s) {
        c ^= std::uint32_t(b) << 24;
        for (int k = 0; k < 8; ++k) c = c & 0x80000000u ? (c << 1) ^ 0x04c11db7u : c << 1;
    }
    return ~c;
}

// Plain bytes whose bzip2 block has CRC `crc` and whose symbol maps (all
// sixteen groups used, so one 16-bit map per group) begin with `words`.
// Every byte value the maps name appears once, in order; then 64 bytes from
// the last groups, none repeated in a row (runs would add symbols), each
// free to differ in its lowest bit. The CRC is affine in those bits, so
// solving for them over GF(2) gives the wanted CRC.
static std::string spelled_by_symbol_maps(std::vector<std::uint16_t> words, std::uint32_t crc) {
    words.resize(16, 0xffff);
    std::string s;
    for (int v = 0; v < 256; ++v)
        if (words[v / 16] >> (15 - v % 16) & 1) s.push_back(char(v));
    const std::size_t fixed = s.size();
    for (int k = 0; k < 64; ++k) s.push_back(char(0xe0 + 2 * (k % 16)));
    const std::uint32_t base = bzip2_block_crc(s);
    std::uint32_t rows[32] = {};
    std::uint64_t picks[32] = {};
    for (int k = 0; k < 64; ++k) {
        std::uint32_t v = bzip2_block_crc(flip(s, fixed + k)) ^ base;
        std::uint64_t m = std::uint64_t(1) << k;
        for (int bit = 31; bit >= 0 && v; --bit) {
            if (!(v >> bit & 1)) continue;
            if (!rows[bit]) rows[bit] = v, picks[bit] = m, v = 0;
            else v ^= rows[bit], m ^= picks[bit];
        }
    }
    std::uint32_t want = crc ^ base;
    std::uint64_t pick = 0;
    for (int bit = 31; bit >= 0; --bit)
        if (want >> bit & 1) want ^= rows[bit], pick ^= picks[bit];
    for (int k = 0; k < 64; ++k)
        if (pick >> k & 1) s = flip(s, fixed + k);
    return s;
}

// The scanner skips ahead four bytes at a time: every magic number, at
// every bit offset, near either end and side by side, must still be the
// first one found from any starting bit, final or not.
TEST(Bzip2Scan, EveryMagicNumberIsFoundFirstAtEveryBitFromEveryStart) {
    const std::uint64_t magics[2] = {detail::kBlockMagic, detail::kEndMagic};
    auto plant = [](std::string& s, std::uint64_t bit, std::uint64_t magic) {
        for (int k = 0; k < 48; ++k, ++bit) {
            auto& c = reinterpret_cast<unsigned char&>(s[bit / 8]);
            const unsigned mask = 0x80u >> (bit % 8);
            c = static_cast<unsigned char>(magic >> (47 - k) & 1 ? c | mask : c & ~mask);
        }
    };
    // Bit by bit, the way a reader would have to look.
    auto reference = [&](const std::string& s, std::uint64_t from, bool final) {
        const auto* d = reinterpret_cast<const unsigned char*>(s.data());
        const std::uint64_t stop = final ? s.size() * 8 : (s.size() >= 8 ? (s.size() - 7) * 8 : 0);
        for (std::uint64_t bit = from; bit < stop && bit + 48 <= s.size() * 8; ++bit) {
            const std::uint64_t v = detail::read_bits(d, s.size(), bit, 48);
            if (v == magics[0] || v == magics[1]) return bit;
        }
        return detail::kNotFound;
    };
    for (std::size_t size : {6, 9, 17, 40, 97}) {
        for (std::uint64_t at = 0; at + 48 <= size * 8; at += size < 20 ? 1 : 5) {
            for (int which = 0; which < 2; ++which) {
                std::string s = noise(size, unsigned(at * 2 + which));
                plant(s, at, magics[which]);
                if (at + 120 <= size * 8) plant(s, at + 60, magics[1 - which]);
                for (std::uint64_t from : {std::uint64_t(0), at > 3 ? at - 3 : 0, at, at + 1}) {
                    for (bool final : {false, true}) {
                        SCOPED_TRACE(testing::Message() << size << " " << at << " " << from << " " << final);
                        std::uint64_t moved = from;
                        const std::uint64_t got = detail::find_magic(
                            reinterpret_cast<const unsigned char*>(s.data()), s.size(), moved, final);
                        ASSERT_EQ(got, reference(s, from, final));
                        if (got == detail::kNotFound) {
                            EXPECT_GE(moved, from);
                        }
                    }
                }
            }
        }
    }
}

// The reader cuts blocks at magic numbers, and plain bytes choose a block's
// symbol maps: they can spell a block start, or the stream's end with the
// very CRC that would close it. Such a misjudged cut must end in the exact
// reading, never in a verdict on what follows the false end.
TEST(Bzip2Foreign, MagicNumbersSpelledBySymbolMapsAreReadExactly) {
    const Codec& c = codec("bzip2");
    const std::uint32_t crc = 0x2468ace1, turned = crc << 1 | crc >> 31;
    const std::uint64_t end = 0x177245385090, block = 0x314159265359;
    // The magic, the 32 bits after it, and the next map. 0x0001 puts a zero
    // byte after the false end, where padding may stand; `turned` gives a
    // false block the CRC that makes the true end's check agree.
    const struct {
        std::uint64_t magic;
        std::uint32_t after;
        std::uint16_t next;
    } cases[] = {{end, crc, 0xffff}, {end, crc, 0x0001}, {block, crc, 0xffff}, {block, crc ^ turned, 0xffff}};
    const std::string other = compress(c, "next stream\n");
    auto bits = [](const std::string& s, std::size_t at, int n) {
        std::uint64_t v = 0;
        for (int k = 0; k < n; ++k, ++at) v = v << 1 | (static_cast<unsigned char>(s[at / 8]) >> (7 - at % 8) & 1);
        return v;
    };
    for (const auto& t : cases) {
        const std::string in = spelled_by_symbol_maps(
            {std::uint16_t(t.magic >> 32), std::uint16_t(t.magic >> 16), std::uint16_t(t.magic),
             std::uint16_t(t.after >> 16), std::uint16_t(t.after), t.next}, crc);
        for (const std::string& packed : {compress(c, in), run_tool("bzip2 -c < IN", in)}) {
            SCOPED_TRACE(testing::Message() << std::hex << t.magic << " " << t.after << " " << t.next);
            // Header, block magic, then the CRC; the maps follow the
            // randomised bit, the origin pointer and the map of groups.
            ASSERT_EQ(bits(packed, 80, 32), crc);
            ASSERT_EQ(bits(packed, 153, 80), t.magic << 32 | t.after);
            EXPECT_TRUE(run_tool("bzip2 -dc < IN", packed) == in);
            const std::string joined = other + packed + packed, padded = packed + other + std::string(5, '\0');
            for (const auto& [input, pieces, want] :
                 {std::tuple(packed, std::size_t(1) << 20, in), {padded, 1, in + "next stream\n"},
                  {joined, other.size() + 31, "next stream\n" + in + in}}) {
                const std::string got = outcome(c, input, {pieces, 7});
                EXPECT_TRUE(got == "ok: " + want) << got.substr(0, 80);
            }
            // Cut short past the false end, it is refused as any cut file is.
            EXPECT_EQ(outcome(c, packed.substr(0, 40), {40}), outcome(c, other.substr(0, 20), {20}));
            EXPECT_THROW(decompress(c, packed + "junk"), CodecError);
        }
    }
}

// A bit string built from pieces that sit at any bit position.
struct BitString {
    std::string bytes;
    std::uint64_t size = 0;
    void push(unsigned v, unsigned n) {  // n <= 8
        if (n == 0) return;
        if (size % 8 == 0) bytes.push_back(0);
        const unsigned total = unsigned(size % 8) + n, w = (v & ((1u << n) - 1)) << (16 - total);
        bytes.back() = char(bytes.back() | (w >> 8));
        if (total > 8) bytes.push_back(char(w));
        size += n;
    }
    void push_wide(std::uint64_t v, unsigned n) {
        for (; n > 8; n -= 8) push(unsigned(v >> (n - 8)), 8);
        push(unsigned(v), n);
    }
    void append(const std::string& s, std::uint64_t from, std::uint64_t n) {
        for (; n > 0; from += 8) {
            const std::size_t b = std::size_t(from / 8);
            const unsigned pair = unsigned(static_cast<unsigned char>(s[b])) << 8 |
                                  (b + 1 < s.size() ? static_cast<unsigned char>(s[b + 1]) : 0u);
            const unsigned k = unsigned(std::min<std::uint64_t>(n, 8));
            push(pair >> (16 - from % 8 - k), k);
            n -= k;
        }
    }
};

// The block of a one-block stream, its CRC, and what it decodes to.
struct LoneBlock {
    std::string stream, plain;
    std::uint64_t bits = 0;
    std::uint32_t crc = 0;
    explicit LoneBlock(const std::string& in) : stream(compress(codec("bzip2"), in, 1)), plain(in) {
        bits = ondrel::codecs::detail::lone_block_bits(reinterpret_cast<const unsigned char*>(stream.data()),
                                                       stream.size(), crc);
    }
};

static std::uint32_t rotl1(std::uint32_t c) { return c << 1 | c >> 31; }

// ASan's quarantine keeps freed memory resident: there the peak tells
// nothing about what the reader holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeakShowsHeld = false;
#elif defined(__has_feature)
constexpr bool kPeakShowsHeld = !__has_feature(address_sanitizer);
#else
constexpr bool kPeakShowsHeld = true;
#endif

// Peak resident memory, from the point the kernel last reset it.
static long peak_kib(bool reset) {
    if (reset) std::ofstream("/proc/self/clear_refs") << "5";
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// One stream far longer than the few blocks the reader may hold, with
// magic numbers planted by the symbol maps of a block late in it: a false
// end whose CRC is the stream's at that point (followed by a zero byte,
// as padding would be) or a false block start. The reader must cut the
// block again without going back to the stream's start, and read it all
// exactly without its memory growing with the stream.
TEST(Bzip2Foreign, AStreamLongerThanTheReaderKeepsIsReadExactlyPastFalseMagicNumbers) {
    std::vector<LoneBlock> blocks;
    for (unsigned k = 0; k < 6; ++k) blocks.emplace_back(noise(90000, 70 + k));
    const std::size_t count = 420, planted = count * 3 / 4;
    std::uint32_t before = 0;
    for (std::size_t k = 0; k < planted; ++k) before = rotl1(before) ^ blocks[k % blocks.size()].crc;
    // Workers started and their libraries' memory cached beforehand.
    decompress(codec("bzip2"), compress(codec("bzip2"), noise(1 << 20, 3), 1));
    for (const bool false_end : {true, false}) {
        const std::uint32_t crc = 0x5eed1e55;
        const std::uint32_t after = false_end ? rotl1(before) ^ crc : crc;
        const std::uint64_t magic = false_end ? 0x177245385090 : 0x314159265359;
        const LoneBlock odd(spelled_by_symbol_maps({std::uint16_t(magic >> 32), std::uint16_t(magic >> 16),
                                                     std::uint16_t(magic), std::uint16_t(after >> 16),
                                                     std::uint16_t(after), std::uint16_t(false_end ? 0x0001 : 0xffff)},
                                                    crc));
        ASSERT_EQ(odd.crc, crc);
        BitString s;
        std::string want;
        s.push_wide(0x425a6831, 32);  // "BZh1"
        std::uint32_t combined = 0;
        for (std::size_t k = 0; k <= count; ++k) {
            const LoneBlock& b = k == planted ? odd : blocks[k % blocks.size()];
            s.append(b.stream, 32, b.bits);
            combined = rotl1(combined) ^ b.crc;
            want += b.plain;
        }
        s.push_wide(0x177245385090, 48);
        s.push_wide(combined, 32);
        ASSERT_GT(s.bytes.size(), std::size_t(36) << 20);

        // Output is compared as it comes, so only the reader's memory grows.
        struct Check : Sink {
            const std::string& want;
            std::size_t at = 0;
            bool same = true;
            explicit Check(const std::string& want) : want(want) {}
            void put(const char* p, std::size_t n) override {
                same = same && at + n <= want.size() && want.compare(at, n, p, n) == 0;
                at += n;
            }
        } check(want);
        const long base = peak_kib(true);
        auto reader = codec("bzip2").decoder();
        for (std::size_t at = 0; at < s.bytes.size(); at += 1 << 20)
            reader->update(s.bytes.data() + at, std::min(s.bytes.size() - at, std::size_t(1) << 20), check);
        reader->finish(check);
        const long grown = peak_kib(false) - base;
        EXPECT_TRUE(check.same && check.at == want.size()) << "false end: " << false_end;
        if (kPeakShowsHeld) {
            EXPECT_LT(grown, 12 * 1024) << "KiB while reading " << (s.bytes.size() >> 10) << " KiB";
        }
    }
}

// libbz2 takes up a stream at a block boundary behind the prefix the reader
// builds: header and a block carrying the stream's CRC so far, ending as
// many bits into a byte as the boundary does. bzip2 itself must then read
// the rest of the stream, and check its CRC, as from the start.
TEST(Bzip2Foreign, AStreamTakenUpAtABlockBoundaryIsReadAndCheckedWhole) {
    const LoneBlock b(mixed_data(50000, 9));
    for (unsigned shift = 0; shift < 8; ++shift) {
        const std::uint32_t so_far = 0x9e3779b9u * (shift + 1);
        std::size_t skip = 0;
        ondrel::codecs::detail::Buffer prefix = ondrel::codecs::detail::resume_prefix(9, shift, so_far, skip);
        for (const std::uint32_t stored : {rotl1(so_far) ^ b.crc, rotl1(so_far) ^ b.crc ^ 0x10u}) {
            // `shift` bits of what came before, then the block and the end.
            BitString tail;
            tail.push(0x5a, shift);
            tail.append(b.stream, 32, b.bits);
            tail.push_wide(0x177245385090, 48);
            tail.push_wide(stored, 32);
            std::string joined(prefix.data(), prefix.size());
            if (shift) {
                joined.back() = char(joined.back() | (tail.bytes[0] & (0xff >> shift)));
                joined += tail.bytes.substr(1);
            } else {
                joined += tail.bytes;
            }
            SCOPED_TRACE(testing::Message() << "shift " << shift << " stored " << std::hex << stored);
            if (stored == (rotl1(so_far) ^ b.crc)) {
                const std::string got = run_tool("bzip2 -dc < IN", joined);
                EXPECT_EQ(got.size(), skip + b.plain.size());
                EXPECT_TRUE(got.compare(skip, std::string::npos, b.plain) == 0);
            } else {
                EXPECT_THROW(run_tool("bzip2 -dc < IN", joined), std::runtime_error);
            }
        }
    }
}

TEST(CodecDamage, TruncationAnywhereForeignDataAndFlipsInAnyUnit) {
    const std::string in = mixed_data(4 << 20, 13);
    for (const auto& f : kFormats) {
        const Codec& c = codec(f.name);
        const std::string packed = compress(c, in, f.unit_level);
        const std::string prefix = std::string(f.name) + ": ";
        for (std::size_t keep : {std::size_t(0), std::size_t(1), std::size_t(5), std::size_t(12), packed.size() / 3,
                                 packed.size() / 2, packed.size() - 9, packed.size() - 1}) {
            SCOPED_TRACE(std::string(f.name) + " cut at " + std::to_string(keep));
            const std::string cut = packed.substr(0, keep);
            EXPECT_THROW(decompress(c, cut), CodecError);
            // Fed in pieces the damage may only show at the very end.
            EXPECT_THROW(feed(c.decoder(), cut, {1, 513}), CodecError);
        }
        // Another format, or none, is refused naming the one expected.
        for (const auto& other : kFormats) {
            if (&other != &f) {
                EXPECT_THROW(decompress(c, compress(codec(other.name), "text")), CodecError) << other.name;
            }
        }
        EXPECT_TRUE(starts_with(outcome(c, "plain text, not compressed\n", {1 << 20}),
                                "error: " + prefix + "not in " + f.name + " format"));
        for (std::size_t at : {packed.size() / 10, packed.size() / 2, packed.size() - packed.size() / 10}) {
            try {
                // A flip the format cannot see must at least not change the data.
                EXPECT_TRUE(decompress(c, flip(packed, at, 4)) == in) << f.name << " byte " << at;
            } catch (const CodecError& e) {
                EXPECT_TRUE(starts_with(e.what(), prefix)) << e.what();
            }
        }
    }
}

TEST(CodecDamage, FlippedBitsNeverYieldWrongData) {
    // Random input makes gzip, xz and lzop store it verbatim, where only the
    // checksum can tell a changed byte.
    const std::string inputs[] = {mixed_data(200000, 41), noise(600000, 51)};
    for (const auto& f : kFormats) {
        const Codec& c = codec(f.name);
        for (const std::string& in : inputs) {
            const std::string packed = compress(c, in);
            const bool stored = &in != &inputs[0];
            // Magic numbers and the middle of the stream are always noticed.
            for (std::size_t at : {std::size_t(0), packed.size() / 4, packed.size() / 2, packed.size() * 3 / 4}) {
                if (at == 0 || !stored || f.checksummed) {
                    EXPECT_THROW(decompress(c, flip(packed, at, 5)), CodecError) << f.name << " byte " << at;
                }
            }
            if (stored || !f.checksummed) continue;
            // Elsewhere a flip may land on a bit the decoder never looks at (an
            // LZO end marker has some); what must not happen is altered output.
            std::vector<std::size_t> spots;
            for (std::size_t at = 1; at < packed.size(); at += packed.size() / 97 + 1) spots.push_back(at);
            for (std::size_t back = 1; back <= 8; ++back) spots.push_back(packed.size() - back);
            for (std::size_t at : spots)
                for (int bit : {0, 2, 7}) try {
                        EXPECT_TRUE(decompress(c, flip(packed, at, bit)) == in) << f.name << " byte " << at;
                    } catch (const CodecError&) {
                    }
        }
    }
}

TEST(Bzip2Blocks, OutputGrowsAsBlocksNeedAndBlocksStoppedShortAreReadByLibbz2) {
    // Text blocks give about their input; the block of runs gives fifty
    // times its own and must grow its buffer that far. With a limit the
    // runs stop their block, and libbz2 reads the stream again past what
    // the blocks before it delivered.
    const Codec& c = codec("bzip2");
    const std::string in = mixed_data(250000, 5) + std::string(5 << 20, 'z') + mixed_data(50000, 6);
    const std::string packed = compress(c, in, 1);
    for (std::size_t most : {~std::size_t(0), std::size_t(150000), std::size_t(0)}) {
        detail::sizes().bzip2_block_output = most;
        EXPECT_TRUE(decompress(c, packed) == in) << most;
        EXPECT_TRUE(feed(c.decoder(), packed, {4093}) == in) << most;
        EXPECT_THROW(decompress(c, flip(packed, packed.size() - 30, 1)), CodecError) << most;
    }
    detail::sizes().bzip2_block_output = ~std::size_t(0);
}

TEST(CodecLimits, DictionariesBeyondTheMemoryLimitAreRefusedNotAllocated) {
    // Thirteen header bytes claiming a 4 GiB dictionary, then a little data.
    const std::string hostile = std::string("\x5d\xff\xff\xff\xff", 5) + std::string(8, '\xff') + std::string(5, '\0');
    EXPECT_EQ(outcome(codec("lzma"), hostile, {hostile.size()}),
              "error: lzma: memory usage limit reached (the data needs 4097 MiB, the limit is 1600 MiB)");
    // Preset 9 asks for a 64 MiB dictionary in both containers: refused
    // below that, read again once the limit allows it.
    const std::string in = mixed_data(200000, 5);
    const std::uint64_t saved = decoder_memory_limit();
    for (const char* name : {"xz", "lzma"}) {
        const std::string packed = compress(codec(name), in, 9);
        set_decoder_memory_limit(std::uint64_t(32) << 20);
        EXPECT_THROW(decompress(codec(name), packed), CodecError) << name;
        set_decoder_memory_limit(saved);
        EXPECT_EQ(decompress(codec(name), packed), in) << name;
    }
}

TEST(CodecLimits, LzopBlockSizesBeyondTheLimitAreRefused) {
    const Codec& c = codec("lzop");
    std::string empty = compress(c, "");
    std::string header = empty.substr(0, empty.size() - 4);  // drop the end marker
    auto block = [&](std::uint32_t dst, std::uint32_t src) {
        std::string b = header;
        for (std::uint32_t v : {dst, src, 1u})
            for (int shift = 24; shift >= 0; shift -= 8) b.push_back(char(v >> shift));
        return b + std::string(64, 'a');
    };
    // Sizes beyond the limit, and "compressed" data bigger than the data.
    for (const auto& [dst, src] : {std::pair(0xffffffffu, 64u), {0x10000000u, 64u}, {32u, 64u}, {64u, 0u}})
        EXPECT_THROW(decompress(c, block(dst, src)), CodecError) << dst << " " << src;
}

// A gzip member around raw deflate data: with our size field ("ON", the
// member's length) or none, and with a header checksum when `hcrc` is set
// (off by one when `hcrc_wrong`); `field_extra` is added to the size field.
static std::string gzip_member(const std::string& raw, const std::string& plain, bool field,
                               std::uint32_t crc, bool hcrc = false, bool hcrc_wrong = false,
                               long field_extra = 0) {
    std::string m = std::string("\x1f\x8b\x08", 3) + char((field ? 4 : 0) | (hcrc ? 2 : 0)) + std::string(5, '\0') + '\3';
    if (field) m += std::string("\x08\0ON\x04\0\0\0\0\0", 10);
    auto le32 = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    const std::size_t total = m.size() + (hcrc ? 2 : 0) + raw.size() + 8;
    if (field) m.replace(16, 4, le32(std::uint32_t(total + field_extra)));
    if (hcrc) {
        std::uint32_t sum = crc32(0, reinterpret_cast<const Bytef*>(m.data()), uInt(m.size())) + hcrc_wrong;
        m += std::string{char(sum), char(sum >> 8)};
    }
    return m + raw + le32(crc) + le32(std::uint32_t(plain.size()));
}

static std::string gzip_member(const std::string& raw, const std::string& plain, bool field, bool hcrc = false,
                               bool hcrc_wrong = false, long field_extra = 0) {
    return gzip_member(raw, plain, field, crc32(0, reinterpret_cast<const Bytef*>(plain.data()), uInt(plain.size())),
                       hcrc, hcrc_wrong, field_extra);
}

static std::string raw_deflate(const std::string& in, int flush = Z_FINISH) {
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, uLong(in.size())) + 64, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = uInt(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = uInt(out.size());
    deflate(&zs, flush);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// A member of ours holding `mib` MiB of zeros, at deflate's best ratio.
static std::string zeros_member(std::uint32_t mib) {
    const std::string zeros(1 << 20, '\0'), piece = raw_deflate(zeros, Z_FULL_FLUSH);
    const uLong crc1 = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), uInt(zeros.size()));
    std::string raw;
    uLong crc = 0;
    for (std::uint32_t k = 0; k < mib; ++k) {
        raw += piece;
        crc = crc32_combine(crc, crc1, 1 << 20);
    }
    std::string m = gzip_member(raw + raw_deflate(""), "", true, std::uint32_t(crc));
    const std::uint32_t isize = mib << 20;
    for (int i = 0; i < 4; ++i) m[m.size() - 4 + i] = char(isize >> (8 * i));
    return m;
}

// Our own members carry their length, so the reader can cut the file into
// whole members for the workers; the field is a hint, and however wrong it
// is, what gzip makes of the file is what we make of it.
TEST(GzipSizeField, WrongOrHostileFieldsGetGzipsVerdict) {
    const std::string in = mixed_data(3 << 20, 19);
    const std::string gz = compress(codec("gzip"), in);
    auto size_at = [&](std::size_t at) {
        std::size_t n = 0;
        for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(gz[at + 16 + i]);
        return n;
    };
    const std::size_t second = size_at(0);
    ASSERT_EQ(gz.substr(second + 12, 2), "ON");
    for (long delta : {-1L, 1L, 1000L, -long(second) + 20, 0x7fffffffL}) {
        std::string bad = gz;
        for (int i = 0; i < 4; ++i) bad[second + 16 + i] = char((size_at(second) + delta) >> (8 * i));
        EXPECT_TRUE(run_tool("gzip -dc < IN", bad) == in) << delta;
        for (std::size_t piece : {bad.size(), second + 1}) {
            const std::string got = outcome(codec("gzip"), bad, {piece, 4096});
            EXPECT_TRUE(got == "ok: " + in) << delta << ": " << got.substr(0, 80);
        }
    }
    const std::string text = "hello, members\n", raw = raw_deflate(text);
    // A field that covers zero padding after the last member.
    const std::string padded = gzip_member(raw, text, true, false, false, 7) + std::string(7, '\0');
    EXPECT_EQ(run_tool("gzip -dc < IN", padded), text);
    EXPECT_EQ(outcome(codec("gzip"), padded, {padded.size()}), "ok: " + text);
    // libdeflate skips the header checksum; zlib and gzip check it.
    for (bool field : {false, true}) {
        SCOPED_TRACE(field ? "with the field" : "without");
        const std::string sound = gzip_member(raw, text, field, true), bad = gzip_member(raw, text, field, true, true);
        EXPECT_EQ(run_tool("gzip -dc < IN", sound), text);
        EXPECT_EQ(outcome(codec("gzip"), sound, {sound.size()}), "ok: " + text);
        EXPECT_THROW(run_tool("gzip -t IN", bad), std::runtime_error);
        EXPECT_EQ(outcome(codec("gzip"), bad, {bad.size()}), "error: gzip: corrupt data (header crc mismatch)");
    }
    // A member over 4 GiB records its size modulo 2^32, as gzip -t accepts.
    const std::string huge = zeros_member(4097);
    struct Count : Sink {
        std::uint64_t n = 0;
        void put(const char*, std::size_t size) override { n += size; }
    } count;
    EXPECT_NO_THROW({
        auto d = codec("gzip").decoder();
        d->update(huge.data(), huge.size(), count);
        d->finish(count);
    });
    EXPECT_EQ(count.n, std::uint64_t(4097) << 20);
}

// One dynamic block whose literal/length code gives 'a' one bit and the
// end of block two, leaving a quarter of the code space unused; then "aaaaa".
TEST(GzipVerdicts, AnIncompleteHuffmanCodeIsRefusedOnEveryPath) {
    const std::string raw("\x05\xe0\x01\x09\0\0\0\x80\x20\x6c\xf5\xff\x89\x04\x01", 15);
    for (bool field : {false, true}) {
        const std::string member = gzip_member(raw, "aaaaa", field);
        EXPECT_THROW(run_tool("gzip -t IN", member), std::runtime_error);
        for (std::size_t piece : {member.size(), std::size_t(3)})
            EXPECT_EQ(outcome(codec("gzip"), member, {piece}), "error: gzip: corrupt data (invalid literal/lengths set)")
                << (field ? "with our size field" : "without") << ", in pieces of " << piece;
    }
}

// Memory stays bounded whatever a field claims: a member too large to hold
// streams, and a claim made of nothing is refused as the bytes arrive.
TEST(GzipSizeField, ClaimsTakeNoMemory) {
    auto peak_mib = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) / 1024;
        return -1L;
    };
    const std::string bomb = zeros_member(512);
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM
    const long before = peak_mib();
    std::uint64_t total = 0;
    struct Count : Sink {
        std::uint64_t& n;
        explicit Count(std::uint64_t& n) : n(n) {}
        void put(const char*, std::size_t size) override { n += size; }
    } count(total);
    auto d = codec("gzip").decoder();
    for (std::size_t at = 0; at < bomb.size(); at += 1 << 20) d->update(bomb.data() + at, std::min<std::size_t>(1 << 20, bomb.size() - at), count);
    d->finish(count);
    EXPECT_EQ(total, std::uint64_t(512) << 20);
    EXPECT_LT(peak_mib(), before + 128) << "from " << before << " MiB";
    // Four gigabytes claimed in the field, then data gzip refuses at once.
    const std::string claim = std::string("\x1f\x8b\x08\x04\0\0\0\0\0\x03\x08\0ON\x04\0\xf0\xff\xff\xff", 20);
    const std::string junk(4 << 20, '\xff');
    auto early = codec("gzip").decoder();
    EXPECT_THROW(early->update((claim + junk).data(), claim.size() + junk.size(), count), CodecError);
    EXPECT_THROW(run_tool("gzip -t IN", claim + junk), std::runtime_error);
}

TEST(Base64, DecodeIgnoresLineBreaksOnly) {
    std::string data = noise(200, 9);
    std::string encoded = base64_encode(data), crlf, unwrapped;
    for (char c : encoded) {
        if (c == '\n') crlf += "\r\n";
        else crlf += c, unwrapped += c;
    }
    EXPECT_EQ(base64_decode(crlf), data);
    EXPECT_EQ(base64_decode(unwrapped), data);
    EXPECT_EQ(base64_decode("QQ\n==\r\n"), "A");
    EXPECT_EQ(base64_decode("QUI="), "AB");
    for (const char* bad : {"QQ", "QQ=", "Q===", "====", "QUJD=", "QQ==QQ==", "QUI=x", "QU I=", "QUI\t", "QU-_",
                            "QUJDRA", "\x80QUI="})
        EXPECT_THROW(base64_decode(bad), CodecError) << bad;
}

TEST(Zlib, EveryLevelRoundTripsAndDamageIsRejected) {
    // Interoperation with the standard library and the level limits are
    // checked through the bindings (test_ondrel.py).
    const std::string data = mixed_data(500000, 13);
    const std::string z = zlib_encode(data);
    EXPECT_THROW(zlib_encode(data, 10), CodecError);
    for (int level = 0; level <= 9; ++level) EXPECT_EQ(zlib_decode(zlib_encode(data, level)), data) << level;
    EXPECT_EQ(zlib_decode(zlib_encode("")), "");
    const std::size_t half = z.size() / 2;
    for (const std::string& bad : {z.substr(0, 0), z.substr(0, 1), z.substr(0, half), z.substr(0, z.size() - 1),
                                   z + "x", z + z, flip(z, 0, 4), flip(z, 1, 4), flip(z, half, 4),
                                   flip(z, z.size() - 2, 4)})
        EXPECT_THROW(zlib_decode(bad), CodecError) << bad.size();
    try {
        zlib_decode("not zlib at all");
        FAIL();
    } catch (const CodecError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("zlib: ", 0), 0u) << e.what();
    }
}
