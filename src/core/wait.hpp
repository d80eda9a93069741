// The one blocking wait of the module: a descriptor becoming ready, with the
// GIL released, as the interpreter's socket module waits.
#pragma once

#include <chrono>

#include "base/thread.hpp"

namespace cnc::core {

using Clock = std::chrono::steady_clock;

enum class Waited {
    Ready,     // the descriptor is ready (or in error: the next call says which)
    TimedOut,  // the deadline passed
    Failed,    // poll itself failed
    Signal,    // a signal handler raised: its error is pending
};

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or `deadline`
// passes. Signals interrupt the wait only to run their handlers, which a
// handler ends by raising. The poll's time-out is rounded up to the next
// millisecond, so the wait never ends before the deadline.
Waited wait_ready(int fd, short events, Clock::time_point deadline, GilReleased& gil);

}  // namespace cnc::core
