// The two service classes, built from the method table with the interpreter's
// own class machinery.
#pragma once

#include "base/ref.hpp"

namespace cnc {

void define_service_classes(PyObject* module_dict);

}  // namespace cnc
