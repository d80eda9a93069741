// Traceback entries for errors that leave the module's code, so a user's
// traceback shows which method of the module an error passed through.
#pragma once

#include "base/ref.hpp"

namespace cnc {

// Adds an entry named `where` to the pending error's traceback. `cached_code`
// keeps the code object that names the entry between calls (may be null).
void add_traceback_entry(const char* where, PyObject** cached_code) noexcept;

}  // namespace cnc
