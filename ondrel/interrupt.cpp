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
thread_local bool held = false;

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

InterruptsHeld::InterruptsHeld() : was_held_(held) { held = true; }
InterruptsHeld::~InterruptsHeld() { held = was_held_; }

void check_interrupt() {
    if (current == nullptr || held || Clock::now() < next_check) return;
    check_interrupt_now();
}

void check_interrupt_now() {
    detail::Released* released = current;
    if (released == nullptr || held) return;
    PyEval_RestoreThread(released->state_);
    const int status = PyErr_CheckSignals();
    released->state_ = PyEval_SaveThread();
    next_check = Clock::now() + kInterval;
    if (status < 0) raise_pending();
}

}  // namespace ondrel
