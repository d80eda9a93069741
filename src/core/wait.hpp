// The one blocking wait of the module: a descriptor becoming ready, with the
// GIL released, as the interpreter's socket module waits, and watching the
// socket it serves for a close by another thread.
#pragma once

#include <sys/types.h>

#include <chrono>

#include "base/thread.hpp"

namespace cnc::core {

using Clock = std::chrono::steady_clock;

enum class Waited {
    Ready,     // the descriptor is ready (or in error: the next call says which)
    TimedOut,  // the deadline passed
    Failed,    // poll itself failed
    Signal,    // a signal handler raised: its error is pending
    Lost,      // the socket no longer holds the descriptor (closed by another thread)
};

// Whether a socket object still holds the descriptor number an exchange
// started on. Asked without the GIL: once another thread closed the socket,
// the number is free (fstat fails) or names another file.
class Ownership {
public:
    // `number` is the socket's descriptor; `connection` names the same
    // connection for the whole exchange (`number` itself, or a duplicate
    // of it, whose identity may be taken as late as the first question).
    Ownership(int number, int connection) : number_(number), connection_(connection) {}
    // Takes the connection's identity now; false when it has none.
    bool identify();
    bool lost();

private:
    int number_;
    int connection_;
    bool known_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// How often a waiting exchange asks whether its socket was closed: a close
// from another thread wakes no wait.
constexpr auto kCloseCheckInterval = std::chrono::milliseconds(20);

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or `deadline`
// passes. Signals interrupt the wait only to run their handlers, which a
// handler ends by raising. The poll's time-out is rounded up to the next
// millisecond, so the wait never ends before the deadline. The wait runs in
// slices that end at `next_check`, after which `ownership` is asked: a wait
// that ends within one interval never asks.
class OwnedWait {
public:
    OwnedWait(Ownership& ownership, GilReleased& gil) : ownership_(ownership), gil_(gil) {}
    Waited operator()(int fd, short events, Clock::time_point deadline);
    // Asks `ownership` when an interval passed since it last did.
    bool lost_by_now();

private:
    Ownership& ownership_;
    GilReleased& gil_;
    Clock::time_point next_check_{};
};

}  // namespace cnc::core
