// The exchange on the file descriptor of a standard socket: a reply costs a few
// system calls instead of one or two per byte, and all of them run without the
// GIL. Outcomes, time-outs and the socket's final time-out are those of the
// generic path; every byte after the reply's line feed stays in the socket.
#include "core/native_exchange.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "core/wire.hpp"
#include "module/names.hpp"

namespace cnc::core {
namespace {

using Clock = std::chrono::steady_clock;

enum class Outcome { Done, TransportFailure, Signal };

// The GIL released for a scope. Signal handlers still run on EINTR, as in the
// interpreter's socket module; an exception they raise ends the exchange.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    bool run_signal_handlers() {
        PyEval_RestoreThread(state_);
        const bool ok = PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        return ok;
    }

private:
    PyThreadState* state_;
};

// Bytes of the reply line, grown without zero-filling.
class LineBuffer {
public:
    char* tail(size_t room) {
        if (capacity_ - size_ < room) {
            const size_t capacity = std::max(capacity_ * 2, size_ + room);
            auto grown = std::make_unique<char[]>(capacity);
            if (size_) std::memcpy(grown.get(), data_.get(), size_);
            data_ = std::move(grown);
            capacity_ = capacity;
        }
        return data_.get() + size_;
    }
    void commit(size_t count) { size_ += count; }
    const char* data() const { return data_.get(); }
    size_t size() const { return size_; }

private:
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

void discard_stale_bytes(int fd) {
    char stale[kFlushSize];
    (void)!recv(fd, stale, sizeof stale, MSG_DONTWAIT);
}

class DescriptorIo {
public:
    DescriptorIo(int fd, Unlocked& gil) : fd_(fd), gil_(gil) {}

    void flush_receiving_buffer() { discard_stale_bytes(fd_); }

    // Fails only when no byte can be sent for 5 seconds.
    Outcome send_all(const char* data, size_t size) {
        while (size > 0) {
            const ssize_t sent = send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent > 0) {
                data += sent;
                size -= static_cast<size_t>(sent);
            } else if (sent < 0 && errno == EINTR) {
                if (!gil_.run_signal_handlers()) return Outcome::Signal;
            } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (Outcome waited = wait(POLLOUT, kFirstByteTimeout); waited != Outcome::Done) return waited;
            } else {
                return Outcome::TransportFailure;
            }
        }
        return Outcome::Done;
    }

    // Reads up to the line feed: peeks to find it, then consumes exactly the
    // bytes up to and including it. The reply so far goes to `line`;
    // `got_byte` tells whether any reply byte arrived.
    Outcome read_line(LineBuffer& line, bool& got_byte) {
        long timeout = kFirstByteTimeout;
        bool ready_expected = false;  // the first byte needs the server's time
        for (;;) {
            if (!ready_expected)
                if (Outcome waited = wait(POLLIN, timeout); waited != Outcome::Done) return waited;
            char* tail = line.tail(kChunk);
            const ssize_t peeked = recv(fd_, tail, kChunk, MSG_PEEK | MSG_DONTWAIT);
            if (peeked == 0) return Outcome::TransportFailure;  // the peer closed
            if (peeked < 0) {
                if (errno == EINTR) {
                    if (!gil_.run_signal_handlers()) return Outcome::Signal;
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) return Outcome::TransportFailure;
                ready_expected = false;
                continue;
            }
            got_byte = true;
            timeout = kNextByteTimeout;
            ready_expected = true;
            const void* feed = std::memchr(tail, '\n', static_cast<size_t>(peeked));
            const size_t take = feed ? static_cast<size_t>(static_cast<const char*>(feed) - tail) + 1
                                     : static_cast<size_t>(peeked);
            if (recv(fd_, tail, take, MSG_DONTWAIT) != static_cast<ssize_t>(take)) return Outcome::TransportFailure;
            line.commit(feed ? take - 1 : take);
            if (feed) return Outcome::Done;
        }
    }

private:
    static constexpr size_t kChunk = 65536;

    Outcome wait(short events, long seconds) {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd entry{fd_, events, 0};
            const int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
            if (ready > 0) return Outcome::Done;
            if (ready == 0 || errno != EINTR) return Outcome::TransportFailure;
            if (!gil_.run_signal_handlers()) return Outcome::Signal;
        }
    }

    int fd_;
    Unlocked& gil_;
};

long first_non_ascii(const LineBuffer& line) {
    for (size_t i = 0; i < line.size(); ++i)
        if (static_cast<unsigned char>(line.data()[i]) >= 0x80) return static_cast<unsigned char>(line.data()[i]);
    return -1;
}

// Leaves the socket's time-out as the generic path would: 0.0 after the
// flush, 5 once the request is being sent, 1 once a reply byte arrived. The
// socket's own record of it is asked first: setting it costs a system call.
void settle_timeout(PyObject* ipc, long seconds) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* current = PyObject_CallMethodNoArgs(ipc, names::gettimeout);
    const bool same = current && PyFloat_Check(current) && PyFloat_AS_DOUBLE(current) == static_cast<double>(seconds);
    Py_XDECREF(current);
    if (!same) {
        PyObject* timeout = seconds ? PyLong_FromLong(seconds) : PyFloat_FromDouble(0.0);
        PyObject* result = timeout ? PyObject_CallMethodOneArg(ipc, names::settimeout, timeout) : nullptr;
        Py_XDECREF(result);
        Py_XDECREF(timeout);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

}  // namespace

bool takes_native_path(PyObject* ipc) {
    try {
        Ref socket_module = module_state::global(names::socket);
        Ref socket_type = getattr(socket_module.get(), names::socket);
        return reinterpret_cast<PyObject*>(Py_TYPE(ipc)) == socket_type.get();
    } catch (const PyErrorSet&) {
        PyErr_Clear();  // a rebound `socket` without a socket type: method calls on `ipc` still work
        return false;
    }
}

std::optional<Ref> native_exchange(PyObject* client, PyObject* ipc, PyObject* line) {
    const long fd = PyLong_AsLong(call_method(ipc, names::fileno).get());
    if (fd == -1 && PyErr_Occurred()) raise_pending();
    if (fd < 0) return std::nullopt;  // a closed socket: the generic path reports it

    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(line, &size);
    if (!data) {
        // As on the generic path, where the flush comes before the encoding.
        discard_stale_bytes(static_cast<int>(fd));
        settle_timeout(ipc, 0);
        raise_pending();
    }

    LineBuffer reply;
    bool got_byte = false;
    Outcome outcome;
    {
        Unlocked gil;
        DescriptorIo io(static_cast<int>(fd), gil);
        io.flush_receiving_buffer();
        outcome = io.send_all(data, static_cast<size_t>(size));
        if (outcome == Outcome::Done) outcome = io.read_line(reply, got_byte);
    }
    settle_timeout(ipc, got_byte ? kNextByteTimeout : kFirstByteTimeout);

    if (outcome == Outcome::Signal) raise_pending();
    const long bad_byte = first_non_ascii(reply);
    if (outcome == Outcome::TransportFailure) {
        mark_dropped(client);
        if (bad_byte >= 0) raise_decode_error(static_cast<unsigned char>(bad_byte));
        return new_ref(module_state::empty_text());
    }
    if (bad_byte >= 0) raise_decode_error(static_cast<unsigned char>(bad_byte));
    return check(PyUnicode_DecodeASCII(reply.data(), static_cast<Py_ssize_t>(reply.size()), "strict"));
}

}  // namespace cnc::core
