#include "module/traceback.hpp"

#include <frameobject.h>

#include "module/names.hpp"

namespace cnc {

void add_traceback_entry(const char* where, PyObject** cached_code) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref code = cached_code && *cached_code
                   ? new_ref(*cached_code)
                   : Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("cnc_api_client_core", where, 1)));
    if (cached_code && !*cached_code) *cached_code = new_ref(code.get()).release();
    PyObject* module = module_state::module();
    Ref frame;
    if (code && module)
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), PyModule_GetDict(module), nullptr)));
    PyErr_Clear();  // failing to describe the error must not replace it
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace cnc
