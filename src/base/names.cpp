#include "base/names.hpp"

#include "base/wire_constants.hpp"

namespace cnc {

namespace names {
#define CNC_DEFINE_NAME(id, text) PyObject* id = nullptr;
CNC_NAMES(CNC_DEFINE_NAME)
#undef CNC_DEFINE_NAME

void intern_all() {
#define CNC_INTERN_NAME(id, text) \
    if (!id) id = check(PyUnicode_InternFromString(text)).release();
    CNC_NAMES(CNC_INTERN_NAME)
#undef CNC_INTERN_NAME
}
}  // namespace names

namespace module_state {
namespace {
// Owned for the interpreter's life and never released, so nothing touches
// them after it has finalised.
PyObject* the_module = nullptr;
PyObject* the_empty_text = nullptr;
PyObject* the_no_wait = nullptr;
PyObject* the_first_byte = nullptr;
PyObject* the_next_byte = nullptr;
PyObject* the_one = nullptr;
PyObject* the_flush_size = nullptr;

void keep(PyObject*& slot, Ref value) {
    if (!slot) slot = value.release();
}
}  // namespace

PyObject* module() { return the_module; }

void set_module(PyObject* module) {
    Ref previous = Ref::steal(the_module);
    the_module = new_ref(module).release();
}

Ref global(PyObject* name) {
    if (the_module) {
        if (PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(the_module), name)) return new_ref(found);
        if (PyErr_Occurred()) raise_pending();
    }
    if (PyObject* found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name)) return new_ref(found);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_pending();
}

Ref global(const char* name) {
    Ref key = check(PyUnicode_InternFromString(name));
    return global(key.get());
}

void make_shared_values() {
    keep(the_empty_text, check(PyUnicode_New(0, 0)));
    keep(the_no_wait, check(PyFloat_FromDouble(0.0)));
    keep(the_first_byte, check(PyLong_FromLong(kFirstByteTimeout)));
    keep(the_next_byte, check(PyLong_FromLong(kNextByteTimeout)));
    keep(the_one, check(PyLong_FromLong(1)));
    keep(the_flush_size, check(PyLong_FromLong(kFlushSize)));
}

PyObject* empty_text() { return the_empty_text; }
PyObject* no_wait() { return the_no_wait; }
PyObject* first_byte() { return the_first_byte; }
PyObject* next_byte() { return the_next_byte; }
PyObject* one() { return the_one; }
PyObject* flush_size() { return the_flush_size; }
}  // namespace module_state

}  // namespace cnc
