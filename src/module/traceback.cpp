#include "module/traceback.hpp"

#include <frameobject.h>

#include "base/names.hpp"

namespace cnc {

void add_traceback_entry(const char* where, PyObject** cached_code) noexcept {
    Ref frame;
    {
        const ErrorGuard pending;  // failing to describe the error must not replace it
        Ref code = cached_code && *cached_code
                       ? new_ref(*cached_code)
                       : Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("cnc_api_client_core", where, 1)));
        if (cached_code && !*cached_code) *cached_code = new_ref(code.get()).release();
        PyObject* module = module_state::module();
        if (code && module)
            frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), PyModule_GetDict(module), nullptr)));
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace cnc
