// The two data sets: CNC parameters by address, and the geometry elements of
// the virtual machine by name. Failures are absorbed at the method boundary
// (false for the writers, None for the geometry reader).
#include <vector>

#include "base/names.hpp"
#include "core/client.hpp"
#include "core/text.hpp"
#include "queries/decode.hpp"
#include "queries/queries.hpp"

namespace cnc::queries {
namespace {

Py_ssize_t length_of(PyObject* sequence) {
    const Py_ssize_t length = PyObject_Length(sequence);
    if (length < 0) raise_pending();
    return length;
}

// Names travel as JSON strings, so a quote, backslash or line feed in a name
// can neither break the request nor add members to it.
Ref json_name(PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "element name must be str, not %.200s", Py_TYPE(name)->tp_name);
        raise_pending();
    }
    return json_form(name);
}

Ref lower_text_form(PyObject* value) { return call_method(text_form(value).get(), names::lower); }

Ref attribute(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

// One element of the geometry write request, its members in fixed order.
void add_geometry_element(TextBuilder& text, PyObject* element) {
    text.add(R"({"name":)").add(json_name(attribute(element, "name").get()));
    for (const char* member : {"x", "y", "z", "color", "scale"})
        text.add(",\"").add(member).add("\":").add(text_form(attribute(element, member).get()));
    text.add(R"(,"visible":)").add(lower_text_form(attribute(element, "visible").get()));
    text.add(R"(,"edges.angle":)").add(text_form(attribute(element, "edges_angle").get()));
    text.add(R"(,"edges.visible":)").add(lower_text_form(attribute(element, "edges_visible").get()));
}

}  // namespace

Ref set_cnc_parameters(const Call& call) {
    PyObject* values = call.arg(1);
    if (length_of(values) == 0) return py_bool(false);
    TextBuilder text;
    text.add(R"({"set":"cnc.parameters", "address":)").add(text_form(call.arg(0))).add(R"(, "parameters":[)");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        Ref value = new_ref(PyList_GET_ITEM(values, i));
        if (!PyFloat_Check(value.get()) && !PyLong_Check(value.get())) return py_bool(false);
        text.add(text_form(value.get()));
        if (i < PyList_GET_SIZE(values) - 1) text.add(",");
    }
    text.add("]}");
    return core::execute(call.self, text.build().get());
}

// The records are held here, not in the result list: the record class runs
// Python code while its records are filled, and that code could reach and
// empty a list that exists already.
Ref records_list(const std::vector<Ref>& records) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(records.size())));
    for (size_t i = 0; i < records.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_ref(records[i].get()).release());
    return list;
}

Ref get_vm_geometry_info(const Call& call) {
    PyObject* names = call.arg(0);
    const Py_ssize_t count = length_of(names);
    if (count == 0) return py_none();
    const model::Record& table = *call.spec.record;
    std::vector<Ref> records;
    records.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) records.push_back(new_record(table));

    TextBuilder text;
    text.add(R"({"get":"vm.geometry.info", "name":[)");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        Ref name = new_ref(PyList_GET_ITEM(names, i));
        if (!PyUnicode_Check(name.get())) return py_none();
        text.add(json_name(name.get()));
        if (i < PyList_GET_SIZE(names) - 1) text.add(",");
    }
    text.add("]}");

    Ref reply = core::exchange(call.self, text.build().get());
    if (length_of(reply.get()) == 0) return records_list(records);
    Ref elements = reply_result(reply.get());
    Ref empty = new_ref(module_state::empty_text());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* record = records[static_cast<size_t>(i)].get();  // owned by `records` throughout
        Ref index = check(PyLong_FromSsize_t(i));
        Ref element = item(elements.get(), index.get());
        decode_into(record, table, element.get());
        Ref name = getattr(record, names::name);
        const int named = check(PyObject_RichCompareBool(name.get(), empty.get(), Py_NE));
        setattr(record, names::has_data, named ? Py_True : Py_False);
    }
    return records_list(records);
}

Ref set_vm_geometry_info(const Call& call) {
    PyObject* values = call.arg(0);
    if (length_of(values) == 0) return py_bool(false);
    Ref geometry_class = record_class(*model::record(model::kVMGeometryInfo));
    TextBuilder text;
    text.add(R"({"set":"vm.geometry.info", "data":[)");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        Ref element = new_ref(PyList_GET_ITEM(values, i));
        if (!check(PyObject_IsInstance(element.get(), geometry_class.get()))) return py_bool(false);
        add_geometry_element(text, element.get());
        text.add(i < PyList_GET_SIZE(values) - 1 ? "}," : "}");
    }
    text.add("]}");
    return core::execute(call.self, text.build().get());
}

}  // namespace cnc::queries
