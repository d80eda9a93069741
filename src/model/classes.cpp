#include "model/classes.hpp"

#include "model/tables.hpp"

namespace cnc::model {
namespace {

Ref zeros_list(long length, PyObject* zero) {
    Ref list = check(PyList_New(length));
    for (long i = 0; i < length; ++i) PyList_SET_ITEM(list.get(), i, new_ref(zero).release());
    return list;
}

Ref default_value(const Field& field, PyObject* module_dict) {
    switch (field.kind) {
        case Default::False: return py_bool(false);
        case Default::Int: return check(PyLong_FromLong(field.value));
        case Default::Float: return check(PyFloat_FromDouble(0.0));
        case Default::Text: return check(PyUnicode_FromString(field.text));
        case Default::IntZeros: return zeros_list(field.value, check(PyLong_FromLong(0)).get());
        case Default::FloatZeros: return zeros_list(field.value, check(PyFloat_FromDouble(0.0)).get());
        case Default::EmptyList: return check(PyList_New(0));
        case Default::Constant: {
            PyObject* value = PyDict_GetItemString(module_dict, field.text);
            if (!value) {
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", field.text);
                raise_pending();
            }
            return new_ref(value);
        }
    }
    PyErr_SetString(PyExc_SystemError, "unknown record default");
    raise_pending();
}

Ref make_record_class(const Record& record, PyObject* module_dict) {
    Ref ns = check(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "__module__", check(PyUnicode_FromString("cnc_api_client_core")).get()));
    check(PyDict_SetItemString(ns.get(), "__qualname__", check(PyUnicode_FromString(record.name)).get()));
    check(PyDict_SetItemString(ns.get(), "__doc__", check(PyUnicode_FromString(record.doc)).get()));
    for (const Field& field : record.fields)
        check(PyDict_SetItemString(ns.get(), field.name, default_value(field, module_dict).get()));
    return check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", record.name,
                                       reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
}

}  // namespace

void bind_constants(PyObject* module_dict) {
    for (const Constant& constant : kConstants) {
        Ref value = constant.text ? check(PyUnicode_FromString(constant.text)) : check(PyLong_FromLong(constant.value));
        check(PyDict_SetItemString(module_dict, constant.name, value.get()));
    }
}

void define_record_classes(PyObject* module_dict) {
    for (const Record& record : kRecords)
        check(PyDict_SetItemString(module_dict, record.name, make_record_class(record, module_dict).get()));
}

}  // namespace cnc::model
