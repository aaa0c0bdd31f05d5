// ondrel's Windows process runner on its own, for payloads/wine-test.py: runs the
// command line held in the file named by argv[1] exactly as pstream would
// (cmd /d /s /c), and prints the exit status on the first line of stdout,
// then the command's stdout; the command's stderr goes to stderr.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "ondrel/process/process.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: runline FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "runline: cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const ondrel::process::Result result = ondrel::process::run(line, [] {});
    std::printf("%d\n", result.status);
    std::fwrite(result.out.data(), 1, result.out.size(), stdout);
    std::fwrite(result.err.data(), 1, result.err.size(), stderr);
    return 0;
}
