#include "core/text.hpp"

#include "base/names.hpp"

namespace cnc {

Ref text_form(PyObject* value) { return check(PyObject_Str(value)); }

Ref json_form(PyObject* value) {
    Ref json = module_state::global(names::json);
    Ref dumps = getattr(json.get(), names::dumps);
    return call(dumps.get(), value);
}

TextBuilder& TextBuilder::add(const char* ascii) {
    parts_.push_back(check(PyUnicode_FromString(ascii)));
    return *this;
}

TextBuilder& TextBuilder::add(PyObject* text) {
    parts_.push_back(new_ref(text));
    return *this;
}

Ref TextBuilder::build() const {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(parts_.size())));
    for (size_t i = 0; i < parts_.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_ref(parts_[i].get()).release());
    return check(PyUnicode_Join(module_state::empty_text(), list.get()));
}

}  // namespace cnc
