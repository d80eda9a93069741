// Where C++ meets the interpreter: every entry point is noexcept and turns
// whatever C++ exception reaches it into a Python error.
#pragma once

#include "base/ref.hpp"

namespace cnc {

// Inside a catch handler: sets the Python error for the exception being
// handled. PyErrorSet keeps the pending error (SystemError when none is set),
// std::bad_alloc gives MemoryError, anything else SystemError.
void set_error_from_current_exception() noexcept;

}  // namespace cnc
