#include "base/thread.hpp"

#include <unistd.h>

namespace cnc {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

bool gil_lost_to_finalization() noexcept {
    // The thread state this OS thread runs under, and the one holding the GIL
    // (3.11 keeps the holder process-wide, later versions per thread: equal
    // either way only when this thread holds it). Unknown: assume lost.
    PyThreadState* mine = PyGILState_GetThisThreadState();
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState* holder = PyThreadState_GetUnchecked();
#else
    PyThreadState* holder = _PyThreadState_UncheckedGet();
#endif
    return mine == nullptr || mine != holder;
}

void park_thread() noexcept {
    for (;;) pause();
}

void reacquire_gil(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // Only the forced unwind of a thread ended by finalisation gets here
        // (caught without binding it, which would bind a null reference). It
        // must not go on: the frames above hold objects.
        park_thread();
    }
}

bool GilReleased::run_signal_handlers() noexcept {
    reacquire_gil(state_);
    bool ok = true;
    try {
        ok = PyErr_CheckSignals() == 0;
    } catch (...) {
        park_thread();  // a handler's Python code ended by finalisation, as in reacquire_gil
    }
    state_ = PyEval_SaveThread();
    return ok;
}

}  // namespace cnc
