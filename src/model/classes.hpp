// Binds the constants and creates the record classes in the module namespace.
#pragma once

#include "base/ref.hpp"

namespace cnc::model {

void bind_constants(PyObject* module_dict);

// Each record class is an ordinary class made by `type()`, its fields class
// attributes holding the defaults; a list default is one list object that every
// record of the class shares until it is given a value of its own.
void define_record_classes(PyObject* module_dict);

}  // namespace cnc::model
