#include "core/watch.hpp"

#include <sys/stat.h>

#include <climits>

#include "base/names.hpp"

namespace cnc::core {

std::optional<Watch> Watch::of(PyObject* ipc) {
    Ref fileno = Ref::steal(PyObject_GetAttr(ipc, names::fileno));
    if (!fileno) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();  // nothing to watch: the socket's calls wait on their own
        return std::nullopt;
    }
    Ref number = cnc::call(fileno.get());
    int overflow = 0;
    const long long fd = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (fd == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (overflow || fd < 0 || fd > INT_MAX) return std::nullopt;
    // Only a socket's readiness tells when its methods would block; an object
    // that reports some other descriptor is left to its own calls.
    struct stat st {};
    if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
    Watch watch(static_cast<int>(fd));
    if (!watch.ownership_.identify()) return std::nullopt;
    return watch;
}

Waited Watch::wait(short events, long seconds) {
    Waited waited;
    {
        GilReleased gil;
        OwnedWait wait(ownership_, gil);
        waited = wait(fd_, events, Clock::now() + std::chrono::seconds(seconds));
    }
    if (waited == Waited::Signal) raise_pending();
    return waited == Waited::Failed ? Waited::Ready : waited;
}

Ref call_timed_out(PyObject* ipc, PyObject* method, PyObject* arg) {
    Ref at_once = check(PyFloat_FromDouble(1e-9));
    call_method(ipc, names::settimeout, at_once.get());
    Ref result;
    try {
        result = call_method(ipc, method, arg);
    } catch (const PyErrorSet&) {
        const ErrorGuard pending;
        try {
            call_method(ipc, names::settimeout, module_state::first_byte());
        } catch (const PyErrorSet&) {
        }
        throw;
    }
    call_method(ipc, names::settimeout, module_state::first_byte());
    return result;
}

}  // namespace cnc::core
