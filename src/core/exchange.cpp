// One request line out, one reply line back, over the client's `ipc`.
#include <optional>
#include <string>

#include "core/client.hpp"
#include "core/native_exchange.hpp"
#include "core/wire.hpp"
#include "module/names.hpp"

namespace cnc::core {
namespace {

// Cached small arguments of the socket calls.
struct SocketArgs {
    PyObject* no_wait;     // 0.0: the flush never blocks
    PyObject* first_byte;  // 5 seconds for the first byte of the reply
    PyObject* next_byte;   // 1 second for each further byte
    PyObject* one;         // replies are received a byte at a time
    PyObject* flush_size;  // at most 1024 stale bytes are discarded
};

const SocketArgs& socket_args() {
    static const SocketArgs args = {
        PyFloat_FromDouble(0.0), PyLong_FromLong(kFirstByteTimeout), PyLong_FromLong(kNextByteTimeout),
        PyLong_FromLong(1), PyLong_FromLong(kFlushSize),
    };
    if (!args.no_wait || !args.first_byte || !args.next_byte || !args.one || !args.flush_size) raise_pending();
    return args;
}

// Discards what an abandoned reply left behind. Nothing pending is the usual
// case (a would-block error), so every error is ignored.
void flush_receiving_buffer(PyObject* ipc, const SocketArgs& args) {
    try {
        call_method(ipc, names::settimeout, args.no_wait);
        call_method(ipc, names::recv, args.flush_size);
    } catch (const PyErrorSet&) {
        PyErr_Clear();
    }
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
        if (has_view_) PyBuffer_Release(&view_);
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
void drain_rest_of_line(PyObject* client, PyObject* ipc, const SocketArgs& args) {
    try {
        for (;;) {
            Ref chunk = call_method(ipc, names::recv, args.one);
            ReceivedBytes bytes(chunk.get());
            if (bytes.empty()) return mark_dropped(client);
            for (unsigned char byte : bytes)
                if (byte == '\n') return;
        }
    } catch (const PyErrorSet&) {
        if (!pending_is_socket_error()) throw;
        PyErr_Clear();
        mark_dropped(client);
    }
}

// Reads the reply up to its line feed; nullopt when the peer closed first.
std::optional<Ref> read_reply_line(PyObject* client, PyObject* ipc, const SocketArgs& args) {
    std::string reply;
    for (;;) {
        Ref chunk = call_method(ipc, names::recv, args.one);
        ReceivedBytes bytes(chunk.get());
        if (bytes.empty()) return std::nullopt;
        call_method(ipc, names::settimeout, args.next_byte);
        for (unsigned char byte : bytes) {
            if (byte == '\n') return reply_text(reply);
            if (byte >= 0x80) {
                drain_rest_of_line(client, ipc, args);
                raise_decode_error(byte);
            }
            reply.push_back(static_cast<char>(byte));
        }
    }
}

Ref generic_exchange(PyObject* client, PyObject* ipc, PyObject* line) {
    const SocketArgs& args = socket_args();
    flush_receiving_buffer(ipc, args);
    Ref data = check(PyUnicode_AsUTF8String(line));
    // The time-out is set before sending so that a large request waits while
    // the server reads instead of failing on the flush's non-blocking socket.
    call_method(ipc, names::settimeout, args.first_byte);
    call_method(ipc, names::sendall, data.get());
    std::optional<Ref> reply = read_reply_line(client, ipc, args);
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
    Ref line = PyUnicode_READ_CHAR(request, length - 1) == '\n'
                   ? new_ref(request)
                   : check(PyUnicode_Concat(request, check(PyUnicode_FromOrdinal('\n')).get()));
    Ref ipc = getattr(client, names::ipc);
    if (takes_native_path(ipc.get()))
        if (std::optional<Ref> reply = native_exchange(client, ipc.get(), line.get())) return std::move(*reply);
    try {
        return generic_exchange(client, ipc.get(), line.get());
    } catch (const PyErrorSet&) {
        if (!pending_is_socket_error()) throw;
        PyErr_Clear();
        mark_dropped(client);
        return new_ref(module_state::empty_text());
    }
}

}  // namespace cnc::core
