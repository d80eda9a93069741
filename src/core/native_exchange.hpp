// The exchange straight on a standard socket's file descriptor.
#pragma once

#include <optional>

#include "base/ref.hpp"
#include "core/wire.hpp"

namespace cnc::core {

// Whether `ipc` is exactly the standard library's socket type. Anything else
// (a subclass, an SSL socket, a test double) keeps the generic path of method
// calls on `ipc`.
bool takes_native_path(PyObject* ipc);

// Sends `request` (with a line feed after it when `add_line_feed`) and reads
// one reply line. nullopt when the socket's descriptor cannot be worked on
// (closed, beyond the C int range, none to spare): the generic path then
// takes the exchange.
std::optional<Ref> native_exchange(PyObject* client, PyObject* ipc, PyObject* request, bool add_line_feed,
                                   Progress& progress);

}  // namespace cnc::core
