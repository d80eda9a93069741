#include "core/wire.hpp"

#include "module/names.hpp"

namespace cnc::core {

void mark_dropped(PyObject* client) { setattr(client, names::is_connected, Py_False); }

bool pending_is_socket_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    bool matches = false;
    try {
        Ref socket_module = module_state::global(names::socket);
        Ref error = getattr(socket_module.get(), names::error);
        matches = type && PyErr_GivenExceptionMatches(type, error.get());
    } catch (const PyErrorSet&) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    return matches;
}

Ref reply_text(const std::string& bytes) {
    return check(PyUnicode_DecodeASCII(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
}

void raise_decode_error(unsigned char byte) {
    const char text = static_cast<char>(byte);
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(&text, 1, "strict"));
    if (!decoded && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "undecodable byte decoded");
    raise_pending();
}

}  // namespace cnc::core
