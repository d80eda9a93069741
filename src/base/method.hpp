// One declarative table describes every method of both service classes: its
// parameters and their annotations (which drive the argument layer), its
// docstring, its implementation, the data that implementation works from, and
// what happens when the body fails.
#pragma once

#include <array>

#include "base/ref.hpp"

namespace cnc {

namespace model {
struct Record;
}

enum class Annotation : unsigned char {
    None,     // no annotation: passed through untouched
    Unicode,  // exactly str, or None
    Int,      // passed through untouched
    Float,    // converted to a real number before the body runs
    List,     // exactly list, or None
};

struct Param {
    const char* name = nullptr;
    Annotation annotation = Annotation::None;
};

enum class Owner : unsigned char { Client, Context };

struct MethodSpec;

// The bound arguments of one call. `arg(i)` is the i-th parameter after the
// client (borrowed, already checked and converted by the argument layer).
struct Call {
    const MethodSpec& spec;
    PyObject* self;         // null for the static method
    PyObject* const* args;  // the parameters after the client
    PyObject* arg(int i) const { return args[i]; }
};

using Impl = Ref (*)(const Call&);

struct MethodSpec {
    Owner owner;
    const char* name;
    std::array<Param, 2> params = {};
    bool is_static = false;     // takes no client
    bool returns_bool = false;  // return annotation `bool`
    const char* doc = nullptr;
    Impl impl = nullptr;
    // What a failing body yields instead of raising; null: the error leaves the method.
    Impl absorb = nullptr;
    // Data the implementation works from.
    const char* request = nullptr;          // a command's template head, or a query's request text
    const char* closing = nullptr;          // a command's closing text
    const model::Record* record = nullptr;  // the record a query fills

    int param_count() const {
        int n = 0;
        for (const Param& p : params) n += p.name != nullptr;
        return n;
    }
    // Positional arguments the function takes, the client included.
    int arity() const { return param_count() + (is_static ? 0 : 1); }
};

}  // namespace cnc
