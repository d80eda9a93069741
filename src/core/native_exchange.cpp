// The exchange on the file descriptor of a standard socket: a reply costs a few
// system calls instead of one or two per byte, and all of them run without the
// GIL. Outcomes, time-outs and the socket's final time-out are those of the
// generic path; every byte after the reply's line feed stays in the socket.
#include "core/native_exchange.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/names.hpp"
#include "core/wait.hpp"

namespace cnc::core {
namespace {

enum class Outcome { Done, TransportFailure, Signal };

void discard_stale_bytes(int fd) {
    char stale[kFlushSize];
    (void)!recv(fd, stale, sizeof stale, MSG_DONTWAIT);
}

// A descriptor of the exchange's own for the socket's connection, made while
// the GIL keeps the socket from closing. Another thread may close the socket
// meanwhile (the usual way to cancel a call): the number it frees may go to
// the next socket anyone opens, but this descriptor still names the
// connection the exchange started on.
class OwnDescriptor {
public:
    explicit OwnDescriptor(int fd) : fd_(fcntl(fd, F_DUPFD_CLOEXEC, 0)) {}
    ~OwnDescriptor() { close(); }
    OwnDescriptor(const OwnDescriptor&) = delete;
    OwnDescriptor& operator=(const OwnDescriptor&) = delete;

    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

class DescriptorIo {
public:
    DescriptorIo(int fd, Ownership& ownership, GilReleased& gil, Progress& progress)
        : fd_(fd), ownership_(ownership), gil_(gil), waiter_(ownership, gil), progress_(progress) {}

    void flush_receiving_buffer() { discard_stale_bytes(fd_); }

    // Sends the request and, when asked, its line feed, in one call where the
    // socket takes them. Fails when no byte can be sent for 5 seconds, or when
    // the socket was closed: every send after the first looks first, so what
    // goes out after a close is at most what the send buffer had room for.
    Outcome send_all(const char* data, size_t size, bool add_line_feed) {
        static const char line_feed = '\n';
        iovec parts[2] = {{const_cast<char*>(data), size},
                          {const_cast<char*>(&line_feed), add_line_feed ? size_t{1} : size_t{0}}};
        iovec* next = parts;
        iovec* const end = parts + 2;
        while (next != end && next->iov_len == 0) ++next;
        for (bool first = true; next != end; first = false) {
            if (!first && ownership_.lost()) return Outcome::TransportFailure;
            msghdr message{};
            message.msg_iov = next;
            message.msg_iovlen = static_cast<size_t>(end - next);
            const ssize_t sent = sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent > 0) {
                progress_.request_started = true;
                for (size_t left = static_cast<size_t>(sent); left > 0;) {
                    const size_t taken = std::min(left, next->iov_len);
                    next->iov_base = static_cast<char*>(next->iov_base) + taken;
                    next->iov_len -= taken;
                    left -= taken;
                    if (next->iov_len == 0) ++next;
                }
                while (next != end && next->iov_len == 0) ++next;
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
    // bytes up to and including it. `got_byte` tells whether any reply byte
    // arrived.
    Outcome read_line(ReplyBytes& line, bool& got_byte) {
        long timeout = kFirstByteTimeout;
        bool ready_expected = false;  // the first byte needs the server's time
        for (;;) {
            if (!ready_expected)
                if (Outcome waited = wait(POLLIN, timeout); waited != Outcome::Done) return waited;
            size_t room;
            char* tail = line.room(room);
            const ssize_t peeked = recv(fd_, tail, room, MSG_PEEK | MSG_DONTWAIT);
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
            const size_t take =
                feed ? static_cast<size_t>(static_cast<const char*>(feed) - tail) + 1 : static_cast<size_t>(peeked);
            if (recv(fd_, tail, take, MSG_DONTWAIT) != static_cast<ssize_t>(take)) return Outcome::TransportFailure;
            line.commit(feed ? take - 1 : take);
            if (feed) {
                progress_.line_complete = true;
                return Outcome::Done;
            }
        }
    }

private:
    Outcome wait(short events, long seconds) {
        switch (waiter_(fd_, events, Clock::now() + std::chrono::seconds(seconds))) {
            case Waited::Ready: return Outcome::Done;
            case Waited::Signal: return Outcome::Signal;
            case Waited::TimedOut:
            case Waited::Failed:
            case Waited::Lost: break;
        }
        return Outcome::TransportFailure;
    }

    int fd_;
    Ownership& ownership_;
    GilReleased& gil_;
    OwnedWait waiter_;
    Progress& progress_;
};

// The socket's descriptor number: an int the socket owns right now, or
// nullopt (closed; beyond the int range, never to be truncated).
std::optional<int> socket_descriptor(PyObject* ipc) {
    Ref number = call_method(ipc, names::fileno);
    int overflow = 0;
    const long long fd = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (fd == -1 && PyErr_Occurred()) raise_pending();
    if (overflow || fd < 0 || fd > INT_MAX) return std::nullopt;
    return static_cast<int>(fd);
}

// Whether the socket still owns `fd`: false once another thread closed it.
bool still_owns(PyObject* ipc, int fd) {
    try {
        return socket_descriptor(ipc) == fd;
    } catch (const PyErrorSet&) {
        PyErr_Clear();
        return false;
    }
}

// Leaves the socket's time-out as the generic path would: 0.0 after the
// flush, 5 once the request is being sent, 1 once a reply byte arrived. The
// socket's own record of it is asked first: setting it costs a system call.
void settle_timeout(PyObject* ipc, long seconds) {
    const ErrorGuard pending;
    try {
        Ref current = call_method(ipc, names::gettimeout);
        if (PyFloat_Check(current.get()) && PyFloat_AS_DOUBLE(current.get()) == static_cast<double>(seconds)) return;
        PyObject* timeout = seconds == kFirstByteTimeout  ? module_state::first_byte()
                            : seconds == kNextByteTimeout ? module_state::next_byte()
                                                          : module_state::no_wait();
        call_method(ipc, names::settimeout, timeout);
    } catch (const PyErrorSet&) {
    }
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

std::optional<Ref> native_exchange(PyObject* client, PyObject* ipc, PyObject* request, bool add_line_feed,
                                   Progress& progress) {
    const std::optional<int> fd = socket_descriptor(ipc);
    if (!fd) return std::nullopt;

    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(request, &size);
    if (!data) {
        // As on the generic path, where the flush comes before the encoding.
        discard_stale_bytes(*fd);
        settle_timeout(ipc, 0);
        raise_pending();
    }
    OwnDescriptor own(*fd);
    if (!own) return std::nullopt;  // no descriptor to spare: the generic path needs none

    ReplyBytes reply;
    bool got_byte = false;
    Outcome outcome;
    {
        GilReleased gil;
        Ownership ownership(*fd, own.get());
        DescriptorIo io(own.get(), ownership, gil, progress);
        io.flush_receiving_buffer();
        outcome = io.send_all(data, static_cast<size_t>(size), add_line_feed);
        if (outcome == Outcome::Done) outcome = io.read_line(reply, got_byte);
        own.close();
    }
    // Closed under the call by another thread: whatever came is not trusted.
    if (outcome != Outcome::Signal && !still_owns(ipc, *fd)) outcome = Outcome::TransportFailure;
    settle_timeout(ipc, got_byte ? kNextByteTimeout : kFirstByteTimeout);

    if (outcome == Outcome::Signal) raise_pending();  // the caller drops the client if need be
    const int bad_byte = reply.first_non_ascii();
    if (outcome == Outcome::TransportFailure) {
        mark_dropped(client);
        if (bad_byte >= 0) raise_decode_error(static_cast<unsigned char>(bad_byte));
        return new_ref(module_state::empty_text());
    }
    if (bad_byte >= 0) raise_decode_error(static_cast<unsigned char>(bad_byte));
    return reply.text();
}

}  // namespace cnc::core
