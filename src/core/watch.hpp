// The generic path's watch on the descriptor of its `ipc`: the waits inside
// the socket object's own methods see no close by another thread, so the
// exchange waits on the descriptor itself before each call that would block.
#pragma once

#include <optional>

#include "base/ref.hpp"
#include "core/wait.hpp"

namespace cnc::core {

class Watch {
public:
    // The descriptor `ipc.fileno()` tells now and its connection, or nullopt
    // when there is none to watch (no `fileno`, not an int, closed, not a
    // socket). Errors
    // that `fileno` itself raises go on, as those of any method of `ipc`.
    static std::optional<Watch> of(PyObject* ipc);

    // Waits up to `seconds` for `events` without the GIL: Ready (or poll
    // failed: the socket's call then says why), TimedOut, or Lost once the
    // socket no longer holds the descriptor. A signal handler's error is
    // raised.
    Waited wait(short events, long seconds);

private:
    explicit Watch(int fd) : fd_(fd), ownership_(fd, fd) {}
    int fd_;
    Ownership ownership_;
};

// `ipc.<method>(arg)` under a time-out that has passed already, after a watch
// that timed out: the failure is the one the socket reports itself. The
// socket is left with the first reply byte's time-out.
Ref call_timed_out(PyObject* ipc, PyObject* method, PyObject* arg);

}  // namespace cnc::core
