#include "core/wait.hpp"

#include <poll.h>

#include <cerrno>
#include <climits>

namespace cnc::core {
namespace {

// Milliseconds left, rounded up as socketmodule.c rounds its time-outs.
int milliseconds_left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace

Waited wait_ready(int fd, short events, Clock::time_point deadline, GilReleased& gil) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, milliseconds_left(deadline));
        if (ready > 0) return Waited::Ready;
        if (ready == 0) {
            if (Clock::now() >= deadline) return Waited::TimedOut;
            continue;  // woken early by the clock's granularity: wait out the rest
        }
        if (errno != EINTR) return Waited::Failed;
        if (!gil.run_signal_handlers()) return Waited::Signal;
    }
}

}  // namespace cnc::core
