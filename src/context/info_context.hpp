// The info context: keeps the latest axes, CNC, compile and enabled-commands
// records of one client.
#pragma once

#include "base/method.hpp"

namespace cnc::context {

Ref init(const Call&);
Ref update(const Call&);

// The class-level records every context shows until its first update.
void add_class_records(PyObject* class_namespace, PyObject* module_dict);

}  // namespace cnc::context
