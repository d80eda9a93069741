#include "core/wait.hpp"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
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

}  // namespace

bool Ownership::identify() {
    struct stat st {};
    if (fstat(connection_, &st) != 0) return false;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    known_ = true;
    return true;
}

bool Ownership::lost() {
    if (!known_ && !identify()) return true;
    struct stat st {};
    return fstat(number_, &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_;
}

bool OwnedWait::lost_by_now() {
    const Clock::time_point now = Clock::now();
    if (now < next_check_) return false;
    // The first call only starts the interval: the exchange has just begun.
    const bool first = next_check_ == Clock::time_point{};
    next_check_ = now + kCloseCheckInterval;
    return !first && ownership_.lost();
}

Waited OwnedWait::operator()(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        if (lost_by_now()) return Waited::Lost;
        const Clock::time_point slice_end = std::min(deadline, next_check_);
        const Waited waited = wait_ready(fd, events, slice_end, gil_);
        if (waited != Waited::TimedOut || slice_end >= deadline) return waited;
        // A signal the system gave to another thread interrupts no poll of this one: its
        // handlers run here, between slices, as they would on EINTR.
        if (!gil_.run_signal_handlers()) return Waited::Signal;
    }
}

}  // namespace cnc::core
