// The exchange on the file descriptor of a standard socket: a reply costs a few
// system calls instead of one or two per byte. Outcomes, time-outs and the
// socket's final time-out are those of the generic path; every byte after the
// reply's line feed stays in the socket.
#include "core/native_exchange.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "core/wire.hpp"
#include "module/names.hpp"

namespace cnc::core {
namespace {

using Clock = std::chrono::steady_clock;

enum class Wait { Ready, TimedOut, Failed };

// Waits for `events` on `fd` for at most `seconds`, without the GIL. A signal
// runs its Python handler; an exception it raises leaves through PyErrorSet.
Wait wait_for(int fd, short events, long seconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, events, 0};
        int ready;
        Py_BEGIN_ALLOW_THREADS
        ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
        Py_END_ALLOW_THREADS
        if (ready > 0) return Wait::Ready;
        if (ready == 0) return Wait::TimedOut;
        if (errno != EINTR) return Wait::Failed;
        if (PyErr_CheckSignals() < 0) raise_pending();
    }
}

// Leaves the socket's time-out where the generic path would: 0.0 after the
// flush, 5 once the send starts, 1 once a reply byte has arrived.
class TimeoutTrail {
public:
    explicit TimeoutTrail(PyObject* ipc) : ipc_(ipc) {}
    TimeoutTrail(const TimeoutTrail&) = delete;
    TimeoutTrail& operator=(const TimeoutTrail&) = delete;
    ~TimeoutTrail() {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* timeout = seconds_ < 0 ? PyFloat_FromDouble(0.0) : PyLong_FromLong(seconds_);
        PyObject* result = timeout ? PyObject_CallMethodOneArg(ipc_, names::settimeout, timeout) : nullptr;
        Py_XDECREF(result);
        Py_XDECREF(timeout);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    void set(long seconds) { seconds_ = seconds; }

private:
    PyObject* ipc_;
    long seconds_ = -1;  // -1: the flush's 0.0
};

void flush_receiving_buffer(int fd) {
    char stale[kFlushSize];
    (void)!recv(fd, stale, sizeof stale, MSG_DONTWAIT);
}

// Sends every byte; fails only when no byte can be sent for 5 seconds.
bool send_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            if (PyErr_CheckSignals() < 0) raise_pending();
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_for(fd, POLLOUT, kFirstByteTimeout) != Wait::Ready) return false;
            continue;
        }
        return false;
    }
    return true;
}

// Reads one reply line. Peeks to find the line feed, then consumes exactly
// the bytes up to and including it.
class LineReader {
public:
    LineReader(int fd, TimeoutTrail& trail) : fd_(fd), trail_(trail) {}

    // False on a transport failure (time-out, reset, peer closed).
    bool read(std::string& line, long& bad_byte) {
        long timeout = kFirstByteTimeout;
        bad_byte = -1;
        for (;;) {
            const size_t start = line.size();
            line.resize(start + kChunk);
            const ssize_t peeked = receive(&line[start], kChunk, MSG_PEEK, timeout);
            if (peeked <= 0) {
                line.resize(start);
                return false;
            }
            trail_.set(kNextByteTimeout);
            timeout = kNextByteTimeout;
            const void* feed = std::memchr(&line[start], '\n', static_cast<size_t>(peeked));
            const size_t take = feed ? static_cast<size_t>(static_cast<const char*>(feed) - &line[start]) + 1
                                     : static_cast<size_t>(peeked);
            if (receive(&line[start], take, 0, 0) != static_cast<ssize_t>(take)) {
                line.resize(start);
                return false;
            }
            line.resize(start + take - (feed ? 1 : 0));
            if (bad_byte < 0) bad_byte = first_non_ascii(line, start);
            if (feed) return true;
        }
    }

private:
    static constexpr size_t kChunk = 65536;

    static long first_non_ascii(const std::string& line, size_t from) {
        for (size_t i = from; i < line.size(); ++i)
            if (static_cast<unsigned char>(line[i]) >= 0x80) return static_cast<unsigned char>(line[i]);
        return -1;
    }

    // recv() that waits up to `timeout` seconds for data; <= 0 on failure.
    ssize_t receive(char* into, size_t size, int flags, long timeout) {
        for (;;) {
            const ssize_t got = recv(fd_, into, size, flags | MSG_DONTWAIT);
            if (got >= 0) return got;
            if (errno == EINTR) {
                if (PyErr_CheckSignals() < 0) raise_pending();
                continue;
            }
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || timeout <= 0) return -1;
            if (wait_for(fd_, POLLIN, timeout) != Wait::Ready) return -1;
        }
    }

    int fd_;
    TimeoutTrail& trail_;
};

}  // namespace

bool takes_native_path(PyObject* ipc) {
    Ref socket_module = module_state::global(names::socket);
    Ref socket_type = getattr(socket_module.get(), names::socket);
    return reinterpret_cast<PyObject*>(Py_TYPE(ipc)) == socket_type.get();
}

std::optional<Ref> native_exchange(PyObject* client, PyObject* ipc, PyObject* line) {
    const long fd = PyLong_AsLong(call_method(ipc, names::fileno).get());
    if (fd == -1 && PyErr_Occurred()) raise_pending();
    if (fd < 0) return std::nullopt;  // a closed socket: the generic path reports it

    TimeoutTrail trail(ipc);
    flush_receiving_buffer(static_cast<int>(fd));
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(line, &size);
    if (!data) raise_pending();
    trail.set(kFirstByteTimeout);

    std::string reply;
    long bad_byte = -1;
    if (!send_all(static_cast<int>(fd), data, static_cast<size_t>(size)) ||
        !LineReader(static_cast<int>(fd), trail).read(reply, bad_byte)) {
        mark_dropped(client);
        if (bad_byte >= 0) raise_decode_error(static_cast<unsigned char>(bad_byte));
        return new_ref(module_state::empty_text());
    }
    if (bad_byte >= 0) raise_decode_error(static_cast<unsigned char>(bad_byte));
    return reply_text(reply);
}

}  // namespace cnc::core
