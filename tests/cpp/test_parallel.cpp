// The chunked, multi-threaded writers: what they leave behind when a write
// fails, the single bzip2 stream they join from blocks, and life after fork.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "helpers.h"
#include "ondrel/codecs/codec.h"
#include "ondrel/workers/pipeline.h"

using namespace ondrel::codecs;
using namespace testutil;

TEST(ParallelCodecs, AFailedWriteReachesTheCallerAndLeavesNoWorkOnItsBuffer) {
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
        // The sink's exception arrives unchanged, from encoders and decoders.
        const std::string small = in.substr(0, 400000), packed = compress(codec(name), small);
        auto enc = codec(name).encoder(-1);
        auto dec = codec(name).decoder();
        FailingSink a(0), b(0);
        EXPECT_THROW({ enc->update(small.data(), small.size(), a); enc->finish(a); }, DiskFull) << name;
        EXPECT_THROW({ dec->update(packed.data(), packed.size(), b); dec->finish(b); }, DiskFull) << name;
        // The input is unmapped the moment update() gives up, as a caller frees
        // a temporary copy; a job still reading it then faults the child.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
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

// Bit offsets (from the first bit of the file) of every occurrence of a
// 48-bit bzip2 magic number, at any alignment.
static std::vector<std::uint64_t> magic_bits(const std::string& s, std::uint64_t magic) {
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

TEST(ParallelCodecs, Bzip2IsOneStreamOfManyBlocksThatEveryReaderTakesWhole) {
    // Readers that stop after the first stream (Python's bz2 module) must
    // still see everything.
    const std::size_t unit = 99981;
    std::vector<std::uint64_t> residues;
    EXPECT_EQ(compress(codec("bzip2"), "", 1), run_tool("bzip2 -1 -c < IN", ""));
    for (std::size_t size : {std::size_t(1000), 2 * unit, 40 * unit}) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string in = mixed_data(size, unsigned(size) + 5);
        const std::string packed = compress(codec("bzip2"), in, 1);
        ASSERT_EQ(packed.substr(0, 4), "BZh1");
        // One stream: its end marker once, closing the file.
        auto ends = magic_bits(packed, 0x177245385090);
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ((ends[0] + 80 + 7) / 8, packed.size());
        auto blocks = magic_bits(packed, 0x314159265359);
        EXPECT_GE(blocks.size(), std::max<std::size_t>(1, size / unit));
        for (std::size_t k = 1; k < blocks.size(); ++k) residues.push_back(blocks[k] % 8);
        residues.push_back(ends[0] % 8);
        EXPECT_TRUE(run_tool("lbzip2 -dc < IN", packed) == in);
        EXPECT_NE(run_tool("bzip2 -tv IN 2>&1", packed).find(": ok"), std::string::npos);
    }
    // Blocks end at every bit offset within a byte, so the joining is
    // exercised at every shift.
    std::sort(residues.begin(), residues.end());
    residues.erase(std::unique(residues.begin(), residues.end()), residues.end());
    EXPECT_EQ(residues.size(), 8u);
}

TEST(ParallelCodecs, AChildOfForkHasWorkersOfItsOwn) {
    // The workers outlive the writers that started them, and a child of
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

TEST(ParallelCodecs, AChildOfForkRunsAgainTheJobsItsParentsWorkersHad) {
    // Jobs held running by the workers at the fork, and more queued behind
    // them: in the child one pipeline hands all of them back done and in
    // order, another drops them; neither waits for threads that are gone.
    using ondrel::workers::Job;
    using ondrel::workers::Pipeline;
    static std::atomic<bool> open{false};
    static std::atomic<int> entered{0};
    struct Held : Job {
        explicit Held(int n) : n(n) {}
        void run() override {
            ++entered;
            while (!open) usleep(1000);
            made = std::to_string(n);
        }
        int n;
        std::string made;
    };
    Pipeline kept(16), dropped(16);
    for (int n = 0; n < 6; ++n) kept.push(std::make_unique<Held>(n));
    for (int n = 0; n < 3; ++n) dropped.push(std::make_unique<Held>(n));
    while (entered < int(std::min(Pipeline::threads(), 6u))) usleep(1000);
    auto collect = [&] {
        std::string got;
        while (auto job = kept.pop(true)) got += static_cast<Held&>(*job).made;
        return got;
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);  // a hang ends the child instead of the test run
        open = true;
        dropped.discard();
        _exit(collect() == "012345" ? 0 : 1);
    }
    open = true;
    EXPECT_EQ(collect(), "012345");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}
