// Owned references, the one C++ exception that carries a pending Python error
// to the method boundary, and a guard that keeps a pending error aside.
//
// Ownership rules of the whole module
//
// 1. Owned: every reference the module keeps is a Ref, released by its
//    destructor. Ref::steal takes over a new reference (the result of a C API
//    call), new_ref() takes one more. Business code never increments or
//    decrements a count by hand.
// 2. Borrowed: a bare PyObject* is borrowed. It may be held only while an
//    owner is known to keep the object alive across everything that runs in
//    the meantime:
//    - the arguments of a call, which its caller owns until it returns (the
//      interpreter's rule for vectorcall);
//    - a parameter of a function whose caller holds a Ref or an argument for
//      it for the whole call;
//    - an object owned for the process's life (interned names, shared
//      values, the module).
//    An item taken out of a container (PyList_GET_ITEM, PyDict_GetItem...)
//    has no such owner: it becomes a Ref before anything else runs.
// 3. Who may run Python code: any call, attribute access or assignment,
//    comparison, str(), hashing of an arbitrary key, and every allocation of
//    a container (it may start the cyclic collector, which runs finalisers).
//    Such code can drop any reference the module does not own itself.
// 4. Errors: a C API failure leaves a Python error pending and throws
//    PyErrorSet; the method boundary applies the method's failure rule.
//    Code that must call the C API while an error is pending keeps it aside
//    with an ErrorGuard.
// 5. Releasing needs the GIL. A thread that the interpreter ends while it
//    finalises may unwind through frames owning Refs without holding it;
//    those references are then left alone (base/thread.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "base/thread.hpp"

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
    ~Ref() {
        if (p_ && may_touch_objects()) Py_DECREF(p_);
    }

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

// Keeps the pending error (if any) aside for a scope and restores it at the
// end, discarding any error raised in between: failing to clean up after an
// error must not replace it.
class ErrorGuard {
public:
    ErrorGuard() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    ~ErrorGuard() {
        if (!may_touch_objects()) return;
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, value_, tb_);
#endif
    }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

    // Whether the kept error is an instance of `kind` (false without an error).
    bool matches(PyObject* kind) const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        return exc_ && PyErr_GivenExceptionMatches(exc_, kind);
#else
        return type_ && PyErr_GivenExceptionMatches(type_, kind);
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_;
#else
    PyObject *type_, *value_, *tb_;
#endif
};

// Attribute access that raises like Python's.
inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }

// Calls `obj.name(args...)` with borrowed arguments.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* stack[] = {obj, args...};
    return check(
        PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        return check(PyObject_CallNoArgs(callable));
    } else {
        PyObject* stack[] = {nullptr, args...};
        return check(
            PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
}

inline Ref py_bool(bool value) noexcept { return new_ref(value ? Py_True : Py_False); }
inline Ref py_none() noexcept { return new_ref(Py_None); }

}  // namespace cnc
