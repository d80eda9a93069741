// Pieces of the exchange shared by its generic and native paths.
#pragma once

#include <memory>
#include <vector>

#include "base/ref.hpp"
#include "base/wire_constants.hpp"

namespace cnc::core {

// A transport failure: the client is Dropped (its socket is left as it is).
void mark_dropped(PyObject* client);

// Whether the pending error is the module's `socket.error`.
bool pending_is_socket_error();

// How far one exchange got. An exchange abandoned by an error that is no
// socket error, after some of its request was handed to the socket and before
// its reply line was whole, leaves the stream out of step: the late reply
// would answer the next request. Such an exchange drops the client before its
// error goes on.
struct Progress {
    bool request_started = false;
    bool line_complete = false;
    bool abandoned() const { return request_started && !line_complete; }
};

// Drops the client, keeping the pending error, when `progress` was abandoned.
void drop_if_abandoned(PyObject* client, const Progress& progress);

// The bytes of one reply line as they arrive, in blocks, so that a long line
// is held once and copied once more only into its text.
class ReplyBytes {
public:
    static constexpr size_t kBlock = 65536;

    // Room for at least one byte at the end; fill it, then commit.
    char* room(size_t& size);
    void commit(size_t count) { size_ += count; }
    void push_back(char byte) {
        size_t free_bytes;
        *room(free_bytes) = byte;
        commit(1);
    }
    size_t size() const { return size_; }
    // The first byte outside ASCII, or -1.
    int first_non_ascii() const;
    // The line's text (all bytes below 0x80).
    Ref text() const;

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t size_ = 0;
};

// Raises the text-decoding error that decoding `byte` on its own gives.
[[noreturn]] void raise_decode_error(unsigned char byte);

}  // namespace cnc::core
