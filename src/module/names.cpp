#include "module/names.hpp"

namespace cnc {

namespace names {
#define CNC_DEFINE_NAME(id, text) PyObject* id = nullptr;
CNC_NAMES(CNC_DEFINE_NAME)
#undef CNC_DEFINE_NAME

bool intern_all() {
#define CNC_INTERN_NAME(id, text) \
    if (!id && !(id = PyUnicode_InternFromString(text))) return false;
    CNC_NAMES(CNC_INTERN_NAME)
#undef CNC_INTERN_NAME
    return module_state::empty_text() != nullptr;
}
}  // namespace names

namespace module_state {
namespace {
PyObject* the_module = nullptr;  // owned for the interpreter's life
PyObject* the_empty_text = nullptr;
}  // namespace

PyObject* module() { return the_module; }

void set_module(PyObject* module) {
    Py_XINCREF(module);
    Py_XSETREF(the_module, module);
}

Ref global(PyObject* name) {
    if (the_module) {
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(the_module), name);
        if (found) return new_ref(found);
        if (PyErr_Occurred()) raise_pending();
    }
    PyObject* found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (found) return new_ref(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_pending();
}

Ref global(const char* name) {
    Ref key = check(PyUnicode_InternFromString(name));
    return global(key.get());
}

PyObject* empty_text() {
    if (!the_empty_text) the_empty_text = PyUnicode_New(0, 0);  // made once, while loading
    return the_empty_text;
}
}  // namespace module_state

}  // namespace cnc
