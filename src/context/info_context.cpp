#include "context/info_context.hpp"

#include "base/names.hpp"
#include "model/tables.hpp"

namespace cnc::context {
namespace {

// Context field, the client query that refreshes it, and its initial record.
struct Slot {
    PyObject* const& field;
    PyObject* const& query;
    const model::Record* record;
};

const Slot kSlots[] = {
    {names::axes_info, names::get_axes_info, model::record(model::kAxesInfo)},
    {names::cnc_info, names::get_cnc_info, model::record(model::kCncInfo)},
    {names::compile_info, names::get_compile_info, model::record(model::kCompileInfo)},
    {names::enabled_commands, names::get_enabled_commands, model::record(model::kEnabledCommands)},
};

}  // namespace

void add_class_records(PyObject* class_namespace, PyObject* module_dict) {
    for (const Slot& slot : kSlots) {
        Ref record_class = new_ref(PyDict_GetItemString(module_dict, slot.record->name));
        if (!record_class) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", slot.record->name);
            raise_pending();
        }
        check(PyDict_SetItem(class_namespace, slot.field, call(record_class.get()).get()));
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
    for (const Slot& slot : kSlots) setattr(call.self, slot.field, call_method(api.get(), slot.query).get());
    return py_bool(true);
}

}  // namespace cnc::context
