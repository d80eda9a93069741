// Control commands: each builds one request text from its row's template and
// hands it to the request execution.
#pragma once

#include "base/method.hpp"

namespace cnc::commands {

Ref fixed(const Call&);           // the row's request text as it stands
Ref with_text_form(const Call&);  // head + str(argument) + closing
Ref with_json(const Call&);       // head + json.dumps(argument) + closing
Ref with_integer(const Call&);    // head + str(int(argument)) + closing
Ref jog(const Call&);             // only the jog codes JC_NONE..JC_C_FW are sent
Ref resume(const Call&);          // a line above 0, or the plain resume

}  // namespace cnc::commands
