// Thin typed references over PyObject*, and the one C++ exception that carries
// a pending Python error from deep in the code to the method boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace cnc {

// Thrown when a Python exception is set (PyErr_Occurred() is true). The method
// boundary decides whether it leaves the method or is absorbed.
struct PyErrorSet {};

[[noreturn]] inline void raise_pending() { throw PyErrorSet{}; }

// An owned (strong) reference.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a reference the caller owns; a null pointer stays null.
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Owns the result of a C API call that returns a new reference or null on error.
inline Ref check(PyObject* result) {
    if (!result) raise_pending();
    return Ref::steal(result);
}

// For C API calls that return -1 on error.
inline int check(int status) {
    if (status < 0) raise_pending();
    return status;
}

inline Ref new_ref(PyObject* borrowed) noexcept { return Ref::borrow(borrowed); }

// Attribute access that raises like Python's.
inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value));
}

// Calls `obj.name(args...)` with borrowed arguments.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* stack[] = {obj, args...};
    return check(PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        return check(PyObject_CallNoArgs(callable));
    } else {
        PyObject* stack[] = {nullptr, args...};
        return check(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
}

inline Ref py_bool(bool value) noexcept { return new_ref(value ? Py_True : Py_False); }
inline Ref py_none() noexcept { return new_ref(Py_None); }

}  // namespace cnc
