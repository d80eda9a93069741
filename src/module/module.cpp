// Loading: multi-phase initialisation. The module lives once per process and
// is never re-initialised.
#include "base/names.hpp"
#include "model/classes.hpp"
#include "module/boundary.hpp"
#include "module/classes.hpp"
#include "module/function.hpp"
#include "module/traceback.hpp"
#include "scan/json_scan.hpp"

namespace cnc {
namespace {

constexpr const char* kModuleDoc = "CNC API Client Core for MorvaneCNC & derivated Control Software.";

int64_t loading_interpreter = -1;

// Copies the ModuleSpec attribute `from` to the module attribute `to`, when present.
void copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();
        return;
    }
    if (allow_none || value.get() != Py_None) check(PyDict_SetItemString(module_dict, to, value.get()));
}

Ref new_module(PyObject* spec) {
    const int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (loading_interpreter == -1) {
        loading_interpreter = current;
    } else if (current != loading_interpreter) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        raise_pending();
    }
    if (module_state::module()) return new_ref(module_state::module());

    Ref name = check(PyObject_GetAttrString(spec, "name"));
    Ref module = check(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());
    copy_spec_attribute(spec, dict, "loader", "__loader__", true);
    copy_spec_attribute(spec, dict, "origin", "__file__", true);
    copy_spec_attribute(spec, dict, "parent", "__package__", true);
    copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
    return module;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    try {
        return new_module(spec).release();
    } catch (...) {
        if (unwinding_for_finalization()) park_thread();
        set_error_from_current_exception();
    }
    return nullptr;
}

void require_builtins() {
    for (const char* name : {"staticmethod", "range", "enumerate"}) {
        Ref key = check(PyUnicode_InternFromString(name));
        if (!PyDict_GetItemWithError(PyEval_GetBuiltins(), key.get())) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
            raise_pending();
        }
    }
}

void import_into(PyObject* module_dict, const char* name) {
    Ref imported = check(PyImport_ImportModuleLevel(name, module_dict, module_dict, nullptr, 0));
    check(PyDict_SetItemString(module_dict, name, imported.get()));
}

// Binds the module's attributes in their documented order.
void populate(PyObject* module) {
    names::intern_all();
    module_state::make_shared_values();
    if (!ready_function_type()) raise_pending();
    require_builtins();
    PyObject* dict = PyModule_GetDict(module);
    import_into(dict, "json");
    scan::remember_json(dict);
    import_into(dict, "socket");
    model::bind_constants(dict);
    model::define_record_classes(dict);
    define_service_classes(dict);
}

int module_exec(PyObject* module) noexcept {
    if (module_state::module()) {
        if (module == module_state::module()) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'cnc_api_client_core' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_state::set_module(module);
    try {
        populate(module);
        return 0;
    } catch (const PyErrorSet&) {
        // loading's own rule below: an import error when none is pending
    } catch (...) {
        if (unwinding_for_finalization()) park_thread();
        set_error_from_current_exception();
    }
    if (PyErr_Occurred()) {
        add_traceback_entry("init cnc_api_client_core", nullptr);
    } else {
        PyErr_SetString(PyExc_ImportError, "init cnc_api_client_core");
    }
    module_state::set_module(nullptr);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Lets the import reach the create step in any interpreter, which then
    // refuses all but the first with the module's own message, as on 3.11.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "cnc_api_client_core", kModuleDoc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace cnc

PyMODINIT_FUNC PyInit_cnc_api_client_core() { return PyModuleDef_Init(&cnc::module_def); }
