// The argument layer: refuses wrong calls with the interpreter's usual
// messages before a method body runs.
#pragma once

#include "base/method.hpp"

namespace cnc {

struct BoundArguments {
    PyObject* slots[3] = {};  // positional slots, the client first unless static
    Ref converted[3];         // owned replacements made by the float conversion
    PyObject* self(const MethodSpec& spec) const { return spec.is_static ? nullptr : slots[0]; }
    PyObject* const* params(const MethodSpec& spec) const { return slots + (spec.is_static ? 0 : 1); }
};

// Binds a vectorcall's arguments to the slots of `spec`; `varnames` holds the
// interned parameter names, the client's `self` first. Throws PyErrorSet.
void bind_arguments(const MethodSpec& spec, PyObject* varnames, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& out);

}  // namespace cnc
