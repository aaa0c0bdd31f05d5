// Runs one shell command line and collects what it printed.
//
// No Python in here: pstream calls this with the interpreter lock released,
// so nothing below may touch a Python object or the Python allocator.
#pragma once

#include <string>

#include "ondrel/codecs/codec.h"

namespace ondrel::process {

struct Result {
    // Shell convention: the exit code, or 128 + N when signal N killed it.
    int status = 0;
    std::string out;  // empty when run() was given a sink for it
    std::string err;
};

// Called every few milliseconds while the command runs (pstream passes
// check_interrupt, interrupt.h); whatever it throws stops the command
// (killed with everything it started) and is rethrown.
using InterruptCheck = void (*)();

// Runs `command_line` through the platform's command interpreter with
// stdin from the null device, reading stdout and stderr concurrently so
// neither pipe can fill up and stall the child, then waits for it.
// Throws std::system_error when the child cannot be started or its pipes
// fail; the child is always reaped before this returns or throws.
// With `out` given, stdout goes there as it arrives instead of into
// Result::out.
Result run(const std::string& command_line, InterruptCheck check_interrupt,
           codecs::Sink* out = nullptr);

}  // namespace ondrel::process
