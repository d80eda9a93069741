// The function type of the module's methods: behaves like the interpreter's
// own functions (binds to instances, introspectable, has a code object) and is
// called through vectorcall.
#pragma once

#include "base/method.hpp"

namespace cnc {

// Readies the function type; false with an error set on failure.
bool ready_function_type();

// A new function object for `spec`, a method of the class `class_name`.
Ref make_function(const MethodSpec& spec, const char* class_name);

}  // namespace cnc
