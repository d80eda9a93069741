// Threads and the GIL while the interpreter finalises.
//
// On 3.11 and 3.12 a thread that tries to take the GIL back after
// finalisation has started is ended with pthread_exit: a forced unwind
// through every frame of the thread, run without the GIL. On 3.13 such a
// thread simply never returns. The module makes both look like the latter:
// it never lets the unwind pass its own frames, and parks the thread instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace cnc {

// Whether the interpreter has started finalising.
bool interpreter_finalizing() noexcept;

// Whether this thread may touch object reference counts: always, except in a
// thread that finalisation cut off from the GIL.
bool gil_lost_to_finalization() noexcept;
inline bool may_touch_objects() noexcept { return !interpreter_finalizing() || !gil_lost_to_finalization(); }

// Blocks this thread for good, holding nothing of the interpreter's.
[[noreturn]] void park_thread() noexcept;

// Inside a catch (...) handler at an entry point: whether the exception is
// the forced unwind that ends a thread cut off from the GIL by finalisation
// (no C++ exception of the module's is ever thrown without the GIL).
inline bool unwinding_for_finalization() noexcept { return !may_touch_objects(); }

// Takes the GIL back for `state`, or parks the thread when finalisation
// refuses it (a forced unwind never leaves this function).
void reacquire_gil(PyThreadState* state) noexcept;

// The GIL released for a scope.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { reacquire_gil(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    // Runs the interpreter's pending signal handlers with the GIL, as its
    // socket module does on EINTR; false when one of them raised.
    bool run_signal_handlers() noexcept;

private:
    PyThreadState* state_;
};

}  // namespace cnc
