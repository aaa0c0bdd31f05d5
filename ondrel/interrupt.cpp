#include "common.h"

#include <atomic>
#include <chrono>

#include "pythread.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace ondrel {

namespace {

using Clock = std::chrono::steady_clock;

// Often enough that Ctrl-C feels immediate, rarely enough that taking the
// lock back costs nothing next to the work between two checks.
constexpr auto kInterval = std::chrono::milliseconds(15);

thread_local detail::Released* current = nullptr;
thread_local Clock::time_point next_check;

// The thread that runs signal handlers, once known (0 until then, when
// every thread checks). Any other would take the lock back for nothing,
// and wait for it as long as the main thread keeps it in a long call.
// Pending calls run on exactly that thread, so one of them says which.
std::atomic<unsigned long> signal_thread{0};

unsigned long this_thread() { return static_cast<unsigned long>(PyThread_get_thread_ident()); }

int note_signal_thread(void*) {
    signal_thread.store(this_thread(), std::memory_order_relaxed);
    return 0;
}

#ifndef _WIN32
// os.fork() makes the forking thread the one that runs handlers.
void after_fork_child() { signal_thread.store(this_thread(), std::memory_order_relaxed); }
#endif

// With the lock held.
void find_signal_thread() {
    static bool asked = false;
    // A full queue of pending calls leaves every thread checking, as before.
    if (asked || Py_AddPendingCall(note_signal_thread, nullptr) != 0) return;
    asked = true;
#ifndef _WIN32
    pthread_atfork(nullptr, nullptr, after_fork_child);
#endif
}

}  // namespace

namespace detail {

Released::Released() : outer_(current) {
    find_signal_thread();
    state_ = PyEval_SaveThread();
    current = this;
    next_check = Clock::now() + kInterval;
}

Released::~Released() {
    current = outer_;
    PyEval_RestoreThread(state_);
}

}  // namespace detail

void check_interrupt() {
    if (current == nullptr || Clock::now() < next_check) return;
    check_interrupt_now();
}

void check_interrupt_now() {
    detail::Released* released = current;
    if (released == nullptr) return;
    const unsigned long handlers = signal_thread.load(std::memory_order_relaxed);
    if (handlers != 0 && handlers != this_thread()) {
        next_check = Clock::now() + kInterval;
        return;
    }
    // While the handlers run, this thread holds the lock and `released` is
    // not in force: whatever they set off that lets go of the lock without
    // a Released of its own (a destructor closing a dropped fstream) must
    // not run them again, half-way through, from inside.
    current = nullptr;
    PyEval_RestoreThread(released->state_);
    const int status = PyErr_CheckSignals();
    released->state_ = PyEval_SaveThread();
    current = released;
    next_check = Clock::now() + kInterval;
    if (status < 0) raise_pending();
}

}  // namespace ondrel
