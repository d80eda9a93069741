#include "core/client.hpp"

#include "base/names.hpp"

namespace cnc::core {

bool is_false(PyObject* value) { return value == Py_False; }

Ref connection_flag(PyObject* client) { return getattr(client, names::is_connected); }

Ref exchange(PyObject* client, PyObject* request) { return call_method(client, names::send_command, request); }

Ref execute(PyObject* client, PyObject* request) { return call_method(client, names::execute_request, request); }

Ref client_init(const Call& call) {
    Ref socket_module = module_state::global(names::socket);
    Ref factory = getattr(socket_module.get(), names::socket);
    Ref family = getattr(socket_module.get(), names::af_inet);
    Ref kind = getattr(socket_module.get(), names::sock_stream);
    Ref ipc = cnc::call(factory.get(), family.get(), kind.get());
    setattr(call.self, names::ipc, ipc.get());
    setattr(call.self, names::is_connected, Py_False);
    return py_none();
}

Ref connect(const Call& call) {
    if (connection_flag(call.self).get() == Py_True) return py_bool(false);
    try {
        Ref ipc = getattr(call.self, names::ipc);
        Ref address = check(PyTuple_Pack(2, call.arg(0), call.arg(1)));
        call_method(ipc.get(), names::connect, address.get());
    } catch (const PyErrorSet&) {
        // Whatever stopped the connect, interrupts included, means "not connected".
        PyErr_Clear();
        return py_bool(false);
    }
    setattr(call.self, names::is_connected, Py_True);
    return py_bool(true);
}

Ref close(const Call& call) {
    if (is_false(connection_flag(call.self).get())) return py_bool(false);
    try {
        Ref ipc = getattr(call.self, names::ipc);
        call_method(ipc.get(), names::close);
        setattr(call.self, names::is_connected, Py_False);
    } catch (const PyErrorSet&) {
        PyErr_Clear();
        return py_bool(false);
    }
    return py_bool(true);
}

Ref close_cnc_control_software(const Call&) { return py_none(); }

}  // namespace cnc::core
