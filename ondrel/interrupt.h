// Ctrl-C during work done without the interpreter lock. No Python in here,
// so File and the process runner can call it; interrupt.cpp holds the part
// that talks to the interpreter.
#pragma once

#include "pyutil/python_error.h"

namespace ondrel {

// Thrown when a Python exception is already set; guard() passes it on as it is.
using pyutil::PythonError;

// Called between chunks of long work. Inside without_gil() (common.h), at
// most every few milliseconds, it takes the interpreter lock back for a
// moment and runs pending signal handlers; when one raises (KeyboardInterrupt
// from Ctrl-C), it throws PythonError with that exception set. Elsewhere
// (no lock released by us, another thread's work, a thread other than the
// one that runs signal handlers) it does nothing.
void check_interrupt();

// The same without waiting for the interval: for a system call that has just
// failed with EINTR, which means a signal arrived and its handler should run
// before the call is retried (a blocked open or read of a FIFO would
// otherwise be retried straight back into the wait, deaf to Ctrl-C).
void check_interrupt_now();

}  // namespace ondrel
