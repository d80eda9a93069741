// Pieces of the exchange shared by its generic and native paths.
#pragma once

#include <string>

#include "pyref.hpp"

namespace cnc::core {

constexpr long kFirstByteTimeout = 5;  // seconds to the first byte of a reply
constexpr long kNextByteTimeout = 1;   // seconds between further bytes
constexpr long kFlushSize = 1024;      // stale bytes discarded before a send

// A transport failure: the client is Dropped (its socket is left as it is).
void mark_dropped(PyObject* client);

// Whether the pending error is the module's `socket.error`.
bool pending_is_socket_error();

// The reply text of the bytes before the line feed (all below 0x80).
Ref reply_text(const std::string& bytes);

// Raises the text-decoding error that decoding `byte` on its own gives.
[[noreturn]] void raise_decode_error(unsigned char byte);

}  // namespace cnc::core
