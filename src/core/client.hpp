// The client core: the client object, its connection, the exchange of one
// request line for one reply line, and the success test of command replies.
#pragma once

#include "base/method.hpp"

namespace cnc::core {

// Method bodies.
Ref client_init(const Call&);
Ref connect(const Call&);
Ref close(const Call&);
Ref close_cnc_control_software(const Call&);
Ref send_command(const Call&);
Ref execute_request(const Call&);
Ref evaluate_response(const Call&);

// What the rest of the client builds on. Private operations are reached
// through the instance, as a method written in Python would reach them, so a
// subclass that overrides one is honoured.
bool is_false(PyObject* value);
Ref connection_flag(PyObject* client);              // client.is_connected
Ref exchange(PyObject* client, PyObject* request);  // client.__send_command(request)
Ref execute(PyObject* client, PyObject* request);   // client.__execute_request(request)

}  // namespace cnc::core
