#include "common.h"

#include <chrono>

namespace ondrel {

namespace {

using Clock = std::chrono::steady_clock;

// Often enough that Ctrl-C feels immediate, rarely enough that taking the
// lock back costs nothing next to the work between two checks.
constexpr auto kInterval = std::chrono::milliseconds(15);

thread_local detail::Released* current = nullptr;
thread_local Clock::time_point next_check;

}  // namespace

namespace detail {

Released::Released() : outer_(current) {
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
    detail::Released* released = current;
    if (released == nullptr) return;
    const Clock::time_point now = Clock::now();
    if (now < next_check) return;
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
