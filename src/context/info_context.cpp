#include "context/info_context.hpp"

#include "module/names.hpp"

namespace cnc::context {
namespace {

// Context field, the client query that refreshes it, and its initial record's class.
struct Slot {
    const char* field;
    const char* query;
    const char* record;
};

constexpr Slot kSlots[] = {
    {"axes_info", "get_axes_info", "APIAxesInfo"},
    {"cnc_info", "get_cnc_info", "APICncInfo"},
    {"compile_info", "get_compile_info", "APICompileInfo"},
    {"enabled_commands", "get_enabled_commands", "APIEnabledCommands"},
};

}  // namespace

void add_class_records(PyObject* class_namespace, PyObject* module_dict) {
    for (const Slot& slot : kSlots) {
        PyObject* record_class = PyDict_GetItemString(module_dict, slot.record);
        if (!record_class) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", slot.record);
            raise_pending();
        }
        check(PyDict_SetItemString(class_namespace, slot.field, call(record_class).get()));
    }
}

Ref init(const Call& call) {
    setattr(call.self, names::context_api, call.arg(0));
    return py_none();
}

// Each field is replaced as soon as its query returns; the queries themselves
// never raise, but a foreign client object's attribute errors do.
Ref update(const Call& call) {
    Ref api = getattr(call.self, names::context_api);
    if (getattr(api.get(), names::is_connected).get() != Py_True) return py_bool(false);
    for (const Slot& slot : kSlots) {
        Ref query = check(PyObject_GetAttrString(api.get(), slot.query));
        check(PyObject_SetAttrString(call.self, slot.field, cnc::call(query.get()).get()));
    }
    return py_bool(true);
}

}  // namespace cnc::context
