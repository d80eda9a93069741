// Status queries and the two data sets.
#pragma once

#include "base/method.hpp"

namespace cnc::queries {

// Sends the row's request and fills a new record of the row's class from the
// reply, driven by the record's field table.
Ref fill_record(const Call&);
// What a failed query returns: a second, newly created default record.
Ref default_record(const Call&);

Ref get_cnc_parameters(const Call&);
Ref set_cnc_parameters(const Call&);
Ref get_vm_geometry_info(const Call&);
Ref set_vm_geometry_info(const Call&);

}  // namespace cnc::queries
