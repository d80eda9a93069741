// One request line out, one reply line back, over the client's `ipc`.
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "base/names.hpp"
#include "core/client.hpp"
#include "core/native_exchange.hpp"
#include "core/watch.hpp"
#include "core/wire.hpp"

namespace cnc::core {
namespace {

// Discards what an abandoned reply left behind. Nothing pending is the usual
// case (a would-block error), so every error is ignored.
void flush_receiving_buffer(PyObject* ipc) {
    try {
        call_method(ipc, names::settimeout, module_state::no_wait());
        call_method(ipc, names::recv, module_state::flush_size());
    } catch (const PyErrorSet&) {
        PyErr_Clear();
    }
}

// The request as UTF-8 with its line feed, in the one bytes object that
// `sendall` takes: the text's own UTF-8 is copied once.
Ref encoded_line(PyObject* request, bool add_line_feed) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(request, &size);
    if (!utf8) raise_pending();
    Ref data = check(PyBytes_FromStringAndSize(nullptr, size + (add_line_feed ? 1 : 0)));
    char* out = PyBytes_AS_STRING(data.get());
    std::memcpy(out, utf8, static_cast<size_t>(size));
    if (add_line_feed) out[size] = '\n';
    return data;
}

// The bytes of one received chunk; an empty view means the peer closed.
class ReceivedBytes {
public:
    explicit ReceivedBytes(PyObject* chunk) {
        if (PyBytes_Check(chunk)) {
            data_ = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(chunk));
            size_ = PyBytes_GET_SIZE(chunk);
            return;
        }
        check(PyObject_GetBuffer(chunk, &view_, PyBUF_SIMPLE));
        has_view_ = true;
        data_ = static_cast<const unsigned char*>(view_.buf);
        size_ = view_.len;
    }
    ReceivedBytes(const ReceivedBytes&) = delete;
    ReceivedBytes& operator=(const ReceivedBytes&) = delete;
    ~ReceivedBytes() {
        if (has_view_ && may_touch_objects()) PyBuffer_Release(&view_);
    }
    const unsigned char* begin() const { return data_; }
    const unsigned char* end() const { return data_ + size_; }
    bool empty() const { return size_ == 0; }

private:
    Py_buffer view_{};
    bool has_view_ = false;
    const unsigned char* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

// Reads and drops the rest of a bad reply line so that the next exchange
// starts in step with the server. A transport failure here drops the client.
void drain_rest_of_line(PyObject* client, PyObject* ipc, Progress& progress) {
    try {
        for (;;) {
            Ref chunk = call_method(ipc, names::recv, module_state::one());
            ReceivedBytes bytes(chunk.get());
            if (bytes.empty()) return mark_dropped(client);
            if (std::find(bytes.begin(), bytes.end(), '\n') != bytes.end()) {
                progress.line_complete = true;
                return;
            }
        }
    } catch (const PyErrorSet&) {
        if (!pending_is_socket_error()) throw;
        PyErr_Clear();
        mark_dropped(client);
    }
}

// Requests up to this size go to `sendall` in one piece; larger ones in pieces
// of it, so a close from another thread is seen between two of them.
constexpr Py_ssize_t kSendPiece = 16384;

// Hands the request to `sendall`. A large one on a watched descriptor goes in
// pieces, each after a wait for room on the descriptor itself: the wait
// inside `sendall` ends only when the server reads, however long ago the
// socket was closed. False when it was closed meanwhile.
bool send_request(PyObject* ipc, PyObject* data, std::optional<Watch>& watch) {
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    if (!watch || size <= kSendPiece) {
        call_method(ipc, names::sendall, data);
        return true;
    }
    for (Py_ssize_t at = 0; at < size; at += kSendPiece) {
        Ref piece = check(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + at, std::min(kSendPiece, size - at)));
        const Waited room = at == 0 ? Waited::Ready : watch->wait(POLLOUT, kFirstByteTimeout);
        if (room == Waited::Lost) return false;
        if (room == Waited::TimedOut)
            call_timed_out(ipc, names::sendall, piece.get());
        else
            call_method(ipc, names::sendall, piece.get());
    }
    return true;
}

// Reads the reply up to its line feed; nullopt when the peer closed first or
// another thread closed `ipc`. The first byte may be long in coming: where
// `ipc` is watched, the exchange waits for it on the descriptor.
std::optional<Ref> read_reply_line(PyObject* client, PyObject* ipc, Progress& progress, std::optional<Watch>& watch) {
    ReplyBytes reply;
    const Waited first = watch ? watch->wait(POLLIN, kFirstByteTimeout) : Waited::Ready;
    if (first == Waited::Lost) return std::nullopt;
    for (bool timed_out = first == Waited::TimedOut;; timed_out = false) {
        Ref chunk = timed_out ? call_timed_out(ipc, names::recv, module_state::one())
                              : call_method(ipc, names::recv, module_state::one());
        ReceivedBytes bytes(chunk.get());
        if (bytes.empty()) return std::nullopt;
        if (std::find(bytes.begin(), bytes.end(), '\n') != bytes.end()) progress.line_complete = true;
        call_method(ipc, names::settimeout, module_state::next_byte());
        for (unsigned char byte : bytes) {
            if (byte == '\n') return reply.text();
            if (byte >= 0x80) {
                drain_rest_of_line(client, ipc, progress);
                raise_decode_error(byte);
            }
            reply.push_back(static_cast<char>(byte));
        }
    }
}

Ref generic_exchange(PyObject* client, PyObject* ipc, PyObject* request, bool add_line_feed, Progress& progress) {
    flush_receiving_buffer(ipc);
    Ref data = encoded_line(request, add_line_feed);
    // The time-out is set before sending so that a large request waits while
    // the server reads instead of failing on the flush's non-blocking socket.
    call_method(ipc, names::settimeout, module_state::first_byte());
    std::optional<Watch> watch = Watch::of(ipc);
    // From here on part of the request may be out: `sendall` does not say how
    // much it sent when it raises.
    progress.request_started = true;
    std::optional<Ref> reply;
    if (send_request(ipc, data.get(), watch)) reply = read_reply_line(client, ipc, progress, watch);
    if (!reply) {
        mark_dropped(client);
        return new_ref(module_state::empty_text());
    }
    return std::move(*reply);
}

}  // namespace

Ref send_command(const Call& call) {
    PyObject* client = call.self;
    PyObject* request = call.arg(0);
    if (is_false(connection_flag(client).get())) return new_ref(module_state::empty_text());
    const Py_ssize_t length = PyObject_Length(request);
    if (length < 0) raise_pending();
    if (length == 0) return new_ref(module_state::empty_text());
    // One line is one request: a spliced text must not smuggle in a second.
    const Py_ssize_t inner_line_feed = PyUnicode_FindChar(request, '\n', 0, length - 1, 1);
    if (inner_line_feed == -2) raise_pending();
    if (inner_line_feed >= 0) return new_ref(module_state::empty_text());
    const bool add_line_feed = PyUnicode_READ_CHAR(request, length - 1) != '\n';
    Ref ipc = getattr(client, names::ipc);
    Progress progress;
    try {
        if (takes_native_path(ipc.get()))
            if (std::optional<Ref> reply = native_exchange(client, ipc.get(), request, add_line_feed, progress))
                return std::move(*reply);
        return generic_exchange(client, ipc.get(), request, add_line_feed, progress);
    } catch (const PyErrorSet&) {
        if (pending_is_socket_error()) {
            PyErr_Clear();
            mark_dropped(client);
            return new_ref(module_state::empty_text());
        }
        drop_if_abandoned(client, progress);
        throw;
    }
}

}  // namespace cnc::core
