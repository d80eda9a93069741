#include "core/wire.hpp"

#include <algorithm>
#include <cstring>

#include "base/names.hpp"

namespace cnc::core {

void mark_dropped(PyObject* client) { setattr(client, names::is_connected, Py_False); }

bool pending_is_socket_error() {
    const ErrorGuard pending;
    try {
        Ref socket_module = module_state::global(names::socket);
        Ref error = getattr(socket_module.get(), names::error);
        return pending.matches(error.get());
    } catch (const PyErrorSet&) {
        return false;
    }
}

void drop_if_abandoned(PyObject* client, const Progress& progress) {
    if (!progress.abandoned()) return;
    const ErrorGuard pending;  // the error goes on as it was, even if this fails
    try {
        mark_dropped(client);
    } catch (const PyErrorSet&) {
    }
}

char* ReplyBytes::room(size_t& size) {
    const size_t used = size_ % kBlock;
    if (used == 0 && size_ / kBlock == blocks_.size())
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
    size = kBlock - used;
    return blocks_.back().get() + used;
}

int ReplyBytes::first_non_ascii() const {
    for (size_t b = 0; b < blocks_.size(); ++b) {
        const auto* data = reinterpret_cast<const unsigned char*>(blocks_[b].get());
        const size_t count = std::min(kBlock, size_ - b * kBlock);
        for (size_t i = 0; i < count; ++i)
            if (data[i] >= 0x80) return data[i];
    }
    return -1;
}

Ref ReplyBytes::text() const {
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(size_), 127));
    char* out = static_cast<char*>(PyUnicode_DATA(text.get()));
    for (size_t b = 0; b < blocks_.size(); ++b)
        std::memcpy(out + b * kBlock, blocks_[b].get(), std::min(kBlock, size_ - b * kBlock));
    return text;
}

void raise_decode_error(unsigned char byte) {
    const char text = static_cast<char>(byte);
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(&text, 1, "strict"));
    if (!decoded && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "undecodable byte decoded");
    raise_pending();
}

}  // namespace cnc::core
