#include "queries/decode.hpp"

#include <array>
#include <memory>
#include <vector>

#include "base/names.hpp"
#include "scan/json_scan.hpp"

namespace cnc::queries {
namespace {

// A field table with its names made into interned Python texts once.
struct CompiledField {
    Ref name;
    Ref group;  // null: the member is read from the source itself
    Ref key;
    const model::Record* element = nullptr;
};

struct CompiledRecord {
    Ref class_name;
    std::vector<CompiledField> fields;    // keyed fields only
    std::vector<CompiledField> unstored;  // required members no field keeps
    scan::ReplyPlan plan;                 // the fields' wire paths, then the unstored ones
};

Ref intern(const char* text) { return text ? check(PyUnicode_InternFromString(text)) : Ref(); }

const CompiledRecord& compiled(const model::Record& table) {
    // Lives as long as the process: its references must never be released
    // after the interpreter has finalised.
    static auto& cache = *new std::array<std::unique_ptr<CompiledRecord>, model::kRecordCount>();
    std::unique_ptr<CompiledRecord>& slot = cache[model::index_of(table)];
    if (slot) return *slot;
    auto record = std::make_unique<CompiledRecord>();
    record->class_name = intern(table.name);
    std::vector<scan::Path> paths;
    for (const model::Field& field : table.fields) {
        if (!field.key) continue;
        record->fields.push_back({intern(field.name), intern(field.group), intern(field.key), field.element});
        paths.push_back({field.group, field.key});
    }
    for (const model::WireKey& wire : table.required_unstored) {
        record->unstored.push_back({Ref(), intern(wire.group), intern(wire.key), nullptr});
        paths.push_back({wire.group, wire.key});
    }
    record->plan = scan::plan_for(paths);
    slot = std::move(record);
    return *slot;
}

// Resolves a field's holder: the source, or its group object. Consecutive
// fields of one group share the lookup.
class GroupCursor {
public:
    explicit GroupCursor(PyObject* source) : source_(source) {}
    PyObject* holder(PyObject* group) {
        if (!group) return source_;
        if (group != group_name_) {
            group_ = item(source_, group);
            group_name_ = group;
        }
        return group_.get();
    }

private:
    PyObject* source_;
    PyObject* group_name_ = nullptr;
    Ref group_;
};

// Each element of the array fills a new record of the element class.
Ref decode_records(PyObject* array, const model::Record& element_table) {
    const Py_ssize_t count = PyObject_Length(array);
    if (count < 0) raise_pending();
    Ref records = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref index = check(PyLong_FromSsize_t(i));
        Ref element = item(array, index.get());
        Ref record = new_record(element_table);
        decode_into(record.get(), element_table, element.get());
        check(PyList_Append(records.get(), record.get()));
    }
    return records;
}

}  // namespace

Ref item(PyObject* source, PyObject* key) {
    if (PyDict_CheckExact(source)) {
        PyObject* value = PyDict_GetItemWithError(source, key);
        if (value) return new_ref(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        raise_pending();
    }
    return check(PyObject_GetItem(source, key));
}

Ref record_class(const model::Record& table) { return module_state::global(compiled(table).class_name.get()); }

Ref new_record(const model::Record& table) { return call(record_class(table).get()); }

void decode_into(PyObject* record, const model::Record& table, PyObject* source) {
    const CompiledRecord& compiled_table = compiled(table);
    GroupCursor cursor(source);
    for (const CompiledField& field : compiled_table.fields) {
        Ref value = item(cursor.holder(field.group.get()), field.key.get());
        if (field.element) value = decode_records(value.get(), *field.element);
        setattr(record, field.name.get(), value.get());
    }
    for (const CompiledField& member : compiled_table.unstored)
        item(cursor.holder(member.group.get()), member.key.get());
}

bool decode_reply(PyObject* record, const model::Record& table, PyObject* reply) {
    const CompiledRecord& compiled_table = compiled(table);
    const std::optional<std::string_view> text = compiled_table.plan.usable ? scan::scannable(reply) : std::nullopt;
    std::vector<Ref> values;
    const scan::Scan scanned = text ? scan::scan_reply(*text, compiled_table.plan, values) : scan::Scan::Undecided;
    if (scanned == scan::Scan::Failed) return false;
    if (scanned == scan::Scan::Undecided) {
        decode_into(record, table, reply_result(reply).get());
        return true;
    }
    for (size_t i = 0; i < compiled_table.fields.size(); ++i) {
        const CompiledField& field = compiled_table.fields[i];
        if (field.element) values[i] = decode_records(values[i].get(), *field.element);
        setattr(record, field.name.get(), values[i].get());
    }
    return true;
}

Ref reply_result(PyObject* reply) {
    Ref json = module_state::global(names::json);
    Ref loads = getattr(json.get(), names::loads);
    Ref decoded = call(loads.get(), reply);
    return item(decoded.get(), names::res);
}

}  // namespace cnc::queries
