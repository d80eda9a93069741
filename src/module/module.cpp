// Loading: multi-phase initialisation. The module lives once per process and
// is never re-initialised.
#include <new>

#include "model/classes.hpp"
#include "module/classes.hpp"
#include "module/function.hpp"
#include "module/names.hpp"
#include "module/traceback.hpp"
#include "queries/json_scan.hpp"

namespace cnc {
namespace {

constexpr const char* kModuleDoc = "CNC API Client Core for MorvaneCNC & derivated Control Software.";

int64_t loading_interpreter = -1;

// Copies the ModuleSpec attribute `from` to the module attribute `to`, when present.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    int result = 0;
    if (value && (allow_none || value != Py_None)) {
        result = PyDict_SetItemString(module_dict, to, value);
    } else if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    } else if (!value) {
        result = -1;
    }
    Py_XDECREF(value);
    return result;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (loading_interpreter == -1) {
        loading_interpreter = current;
    } else if (current != loading_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_state::module()) return Py_NewRef(module_state::module());

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
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
    if (!names::intern_all() || !ready_function_type()) raise_pending();
    require_builtins();
    PyObject* dict = PyModule_GetDict(module);
    import_into(dict, "json");
    queries::remember_json(dict);
    import_into(dict, "socket");
    model::bind_constants(dict);
    model::define_record_classes(dict);
    define_service_classes(dict);
}

int module_exec(PyObject* module) {
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
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
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
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "cnc_api_client_core",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace cnc

PyMODINIT_FUNC PyInit_cnc_api_client_core() { return PyModuleDef_Init(&cnc::module_def); }
