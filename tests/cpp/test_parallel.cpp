// The chunked, multi-threaded paths: cut points, streams made of many
// independent units, and damage or failure in any one of them.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "helpers.h"
#include "ondrel/codecs/codec.h"
#include "ondrel/codecs/internal.h"
#include "ondrel/workers/pipeline.h"

using namespace ondrel::codecs;
using namespace testutil;

namespace {

// Offsets of the gzip members we write, from the size each one records.
std::vector<std::size_t> our_members(const std::string& packed) {
    std::vector<std::size_t> at;
    for (std::size_t p = 0; p + 20 <= packed.size();) {
        at.push_back(p);
        const auto* h = reinterpret_cast<const unsigned char*>(packed.data() + p);
        if (h[12] != 'O' || h[13] != 'N') break;
        p += h[16] | h[17] << 8 | h[18] << 16 | std::size_t(h[19]) << 24;
    }
    return at;
}

struct Tool {
    const char* name;
    int level;
    const char* decode;
    std::size_t unit;  // input per independent unit at this level
};

const Tool tools[] = {
    {"gzip", 6, "gzip -dc", 1 << 20},
    {"bzip2", 1, "bzip2 -dc", 99981},
    {"lzop", 3, "lzop -dc", 1 << 20},
    {"xz", 0, "xz -dc", 1 << 20},
};

}  // namespace

TEST(ParallelCodecs, CutPointsRoundTripAndStayReadableByTheTools) {
    TempDir dir;
    for (const Tool& t : tools) {
        const Codec& c = codec(t.name);
        for (std::size_t size : {t.unit - 1, t.unit, t.unit + 1, 3 * t.unit + 4097}) {
            SCOPED_TRACE(std::string(t.name) + " size " + std::to_string(size));
            const std::string in = mixed_data(size, unsigned(size));
            const std::string packed = compress(c, in, t.level);
            EXPECT_TRUE(decompress(c, packed) == in);
            EXPECT_TRUE(feed(c.decoder(), packed, {65536}) == in);
            write_file(dir.file("packed"), packed);
            ASSERT_EQ(shell(std::string(t.decode) + " < " + dir.file("packed") + " > " + dir.file("back")), 0);
            EXPECT_TRUE(read_file(dir.file("back")) == in);
            // Writes of any size give the same file as one big write.
            EXPECT_TRUE(feed(c.encoder(t.level), in, {3 * t.unit / 2, 65536}) == packed);
        }
    }
}

TEST(ParallelCodecs, DamageInAnyUnitIsCaught) {
    const std::string in = mixed_data(4 << 20, 13);
    for (const Tool& t : tools) {
        const Codec& c = codec(t.name);
        const std::string packed = compress(c, in, t.level);
        for (std::size_t at : {packed.size() / 10, packed.size() / 2, packed.size() - packed.size() / 10}) {
            SCOPED_TRACE(std::string(t.name) + " byte " + std::to_string(at));
            std::string bad = flip(packed, at, 4);
            try {
                std::string out = decompress(c, bad);
                // A flip the format cannot see must at least not change the data.
                EXPECT_TRUE(out == in);
            } catch (const CodecError& e) {
                EXPECT_EQ(std::string(e.what()).rfind(std::string(t.name) + ": ", 0), 0u) << e.what();
            }
            EXPECT_THROW(feed(c.decoder(), packed.substr(0, at), {4096}), CodecError);
        }
    }
}

TEST(ParallelCodecs, ForeignMultiBlockAndMultiMemberFiles) {
    TempDir dir;
    const std::string in = mixed_data(3 << 20, 17), small = "tail member\n";
    write_file(dir.file("in"), in);
    write_file(dir.file("small"), small);
    // A single bzip2 stream of ~30 blocks, decoded block by block; damage
    // in one block fails the whole read.
    ASSERT_EQ(shell("bzip2 -1 -c " + dir.file("in") + " > " + dir.file("in.bz2")), 0);
    std::string bz = read_file(dir.file("in.bz2"));
    EXPECT_TRUE(decompress(codec("bzip2"), bz) == in);
    EXPECT_TRUE(feed(codec("bzip2").decoder(), bz, {1000}) == in);
    EXPECT_THROW(decompress(codec("bzip2"), flip(bz, bz.size() / 2, 4)), CodecError);
    for (std::size_t keep : {bz.size() / 3, bz.size() - 5})
        EXPECT_THROW(decompress(codec("bzip2"), bz.substr(0, keep)), CodecError) << keep;
    // gzip members without a size field, the first far larger than the last.
    ASSERT_EQ(shell("gzip -c " + dir.file("in") + " > " + dir.file("a.gz") + " && gzip -c " + dir.file("small") +
                    " >> " + dir.file("a.gz")),
              0);
    std::string gz = read_file(dir.file("a.gz"));
    EXPECT_TRUE(decompress(codec("gzip"), gz) == in + small);
    EXPECT_TRUE(feed(codec("gzip").decoder(), gz, {65536}) == in + small);
    EXPECT_THROW(decompress(codec("gzip"), flip(gz, gz.size() / 2, 4)), CodecError);
    // Ours followed by theirs, and theirs by ours.
    std::string ours = compress(codec("gzip"), in);
    EXPECT_TRUE(decompress(codec("gzip"), ours + gz) == in + in + small);
    EXPECT_TRUE(decompress(codec("gzip"), gz + ours) == in + small + in);
}

TEST(ParallelCodecs, AStreamedForeignMemberFollowsTheMembersBeforeIt) {
    TempDir dir;
    const std::string ours = mixed_data(3 << 20, 29), theirs = noise(1 << 20, 31);
    write_file(dir.file("in"), theirs);
    ASSERT_EQ(shell("gzip -c " + dir.file("in") + " > " + dir.file("in.gz")), 0);
    const std::string packed = compress(codec("gzip"), ours) + read_file(dir.file("in.gz"));
    EXPECT_TRUE(decompress(codec("gzip"), packed) == ours + theirs);
    EXPECT_TRUE(feed(codec("gzip").decoder(), packed, {65536}) == ours + theirs);
}

TEST(ParallelCodecs, AGzipMemberSizeThatLiesIsRejected) {
    const std::string in = mixed_data(3 << 20, 19);
    std::string gz = compress(codec("gzip"), in);
    auto members = our_members(gz);
    ASSERT_GE(members.size(), 2u);
    for (int delta : {-1, 1, 1000}) {
        std::string bad = gz;
        auto* size = reinterpret_cast<unsigned char*>(&bad[members[1] + 16]);
        size[0] = static_cast<unsigned char>(size[0] + delta);
        size[1] = static_cast<unsigned char>(size[1] + (delta >> 8));
        EXPECT_THROW(decompress(codec("gzip"), bad), CodecError) << delta;
    }
}

TEST(ParallelCodecs, AFailedWriteLeavesNoWorkOnTheCallersBuffer) {
    // The input is unmapped the moment update() gives up, as a caller frees
    // a temporary copy; a job still reading it then faults the child.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct DiskFull {};
    struct FailingSink : Sink {
        explicit FailingSink(int puts) : left(puts) {}
        void put(const char*, std::size_t) override {
            if (left-- == 0) throw DiskFull();
        }
        int left;
    };
    const std::string in = mixed_data(12 << 20, 23);
    for (const char* name : {"gzip", "bzip2", "lzop", "xz", "lzma"}) {
        for (int puts : {0, 3}) {
            SCOPED_TRACE(std::string(name) + " failing after " + std::to_string(puts) + " puts");
            EXPECT_EXIT(
                {
                    void* p = mmap(nullptr, in.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                    if (p == MAP_FAILED) std::_Exit(2);
                    std::memcpy(p, in.data(), in.size());
                    auto encoder = codec(name).encoder(1);
                    FailingSink sink(puts);
                    try {
                        encoder->update(static_cast<const char*>(p), in.size(), sink);
                        std::_Exit(3);
                    } catch (const DiskFull&) {
                    }
                    munmap(p, in.size());
                    encoder.reset();
                    std::_Exit(0);
                },
                ::testing::ExitedWithCode(0), "");
        }
    }
}

namespace {

struct Counting : ondrel::workers::Job {
    Counting(int n, std::atomic<int>& ran, bool fail) : n(n), ran(ran), fail(fail) {}
    void run() override {
        ++ran;
        if (fail) throw CodecError("test: job " + std::to_string(n) + " failed");
    }
    int n;
    std::atomic<int>& ran;
    bool fail;
};

}  // namespace

TEST(ParallelPipeline, ResultsInOrderAndAFailureSurfacesAtItsTurn) {
    using ondrel::workers::Pipeline;
    std::atomic<int> ran{0};
    {
        Pipeline pipe(4);
        std::vector<int> seen;
        try {
            for (int i = 0; i < 40; ++i) {
                while (pipe.full()) seen.push_back(static_cast<Counting&>(*pipe.pop(true)).n);
                pipe.push(std::make_unique<Counting>(i, ran, i == 25));
            }
            while (auto job = pipe.pop(true)) seen.push_back(static_cast<Counting&>(*job).n);
            FAIL() << "failure not reported";
        } catch (const CodecError& e) {
            EXPECT_STREQ(e.what(), "test: job 25 failed");
        }
        ASSERT_EQ(seen.size(), 25u);
        for (int i = 0; i < 25; ++i) EXPECT_EQ(seen[i], i);
    }  // destroyed with jobs still queued: must not hang
    EXPECT_GE(ran.load(), 26);
    // A lone last job runs on the caller's thread, failures included.
    Pipeline inline_pipe;
    inline_pipe.push(std::make_unique<Counting>(0, ran, true), true);
    EXPECT_THROW(inline_pipe.pop(false), CodecError);
}

namespace {

// Bit offsets (from the first bit of the file) of every occurrence of a
// 48-bit bzip2 magic number, at any alignment.
std::vector<std::uint64_t> magic_bits(const std::string& s, std::uint64_t magic) {
    const std::uint64_t mask = (std::uint64_t(1) << 48) - 1;
    std::vector<std::uint64_t> at;
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < s.size(); ++i)
        for (int b = 7; b >= 0; --b) {
            w = ((w << 1) | ((static_cast<unsigned char>(s[i]) >> b) & 1)) & mask;
            std::uint64_t next = i * 8 + std::uint64_t(8 - b);
            if (next >= 48 && w == magic) at.push_back(next - 48);
        }
    return at;
}

}  // namespace

TEST(Bzip2Output, OneStreamOfManyBlocksThatEveryReaderTakesWhole) {
    TempDir dir;
    const Codec& c = codec("bzip2");
    const std::size_t unit = 99981;
    std::vector<std::uint64_t> residues;
    for (std::size_t size : {std::size_t(0), std::size_t(1000), unit, 2 * unit, 40 * unit}) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string in = mixed_data(size, unsigned(size) + 5);
        const std::string packed = compress(c, in, 1);
        ASSERT_EQ(packed.substr(0, 4), "BZh1");
        // One stream: its end marker once, closing the file.
        auto ends = magic_bits(packed, 0x177245385090);
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ((ends[0] + 80 + 7) / 8, packed.size());
        auto blocks = magic_bits(packed, 0x314159265359);
        EXPECT_EQ(blocks.empty(), in.empty());
        if (size > unit) {
            EXPECT_GE(blocks.size(), size / unit);
            for (std::size_t k = 1; k < blocks.size(); ++k) residues.push_back(blocks[k] % 8);
            residues.push_back(ends[0] % 8);
        }
        if (in.empty()) {
            ASSERT_EQ(shell("bzip2 -1 -c < /dev/null > " + dir.file("empty.bz2")), 0);
            EXPECT_EQ(packed, read_file(dir.file("empty.bz2")));
        }
        EXPECT_TRUE(decompress(c, packed) == in);
        EXPECT_TRUE(feed(c.decoder(), packed, {4093}) == in);
        write_file(dir.file("p.bz2"), packed);
        for (const char* tool : {"bzip2", "lbzip2"}) {
            SCOPED_TRACE(tool);
            ASSERT_EQ(shell(std::string(tool) + " -dc < " + dir.file("p.bz2") + " > " + dir.file("back")), 0);
            EXPECT_TRUE(read_file(dir.file("back")) == in);
        }
        ASSERT_EQ(shell("bzip2 -tv " + dir.file("p.bz2") + " 2> " + dir.file("tv")), 0);
        EXPECT_NE(read_file(dir.file("tv")).find(": ok"), std::string::npos) << read_file(dir.file("tv"));
    }
    // Blocks end at every bit offset within a byte, so the joining is
    // exercised at every shift.
    std::sort(residues.begin(), residues.end());
    residues.erase(std::unique(residues.begin(), residues.end()), residues.end());
    EXPECT_EQ(residues.size(), 8u);
}

TEST(ParallelPipeline, AChildOfForkHasWorkersOfItsOwn) {
    // The workers outlive the pipelines that started them, and a child of
    // fork() gets none of them: work it hands out must still get done.
    const std::string in = mixed_data(3 << 20, 37);
    const std::string packed = compress(codec("gzip"), in);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);  // a hang ends the child instead of the test run
        _exit(decompress(codec("gzip"), packed) == in && compress(codec("lzop"), in).size() > 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}
