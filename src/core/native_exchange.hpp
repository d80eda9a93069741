// The exchange straight on a standard socket's file descriptor.
#pragma once

#include <optional>

#include "pyref.hpp"

namespace cnc::core {

// Whether `ipc` is exactly the standard library's socket type. Anything else
// (a subclass, an SSL socket, a test double) keeps the generic path of method
// calls on `ipc`.
bool takes_native_path(PyObject* ipc);

// Sends `line` (ending in its line feed) and reads one reply line. nullopt
// when the socket is closed, which the generic path then reports.
std::optional<Ref> native_exchange(PyObject* client, PyObject* ipc, PyObject* line);

}  // namespace cnc::core
