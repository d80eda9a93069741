#include "commands/commands.hpp"

#include "base/names.hpp"
#include "core/client.hpp"
#include "core/text.hpp"

namespace cnc::commands {
namespace {

// The plain resume, sent for a line that is not above 0.
constexpr const char* kResumeWithoutLine = R"({"cmd":"cnc.resume"})";

Ref send(const Call& call, const char* request) {
    Ref text = check(PyUnicode_FromString(request));
    return core::execute(call.self, text.get());
}

// head + text + closing; `text` is a str.
Ref send_spliced(const Call& call, const Ref& text) {
    Ref request = TextBuilder().add(call.spec.request).add(text).add(call.spec.closing).build();
    return core::execute(call.self, request.get());
}

}  // namespace

Ref fixed(const Call& call) { return send(call, call.spec.request); }

Ref with_text_form(const Call& call) { return send_spliced(call, text_form(call.arg(0))); }

Ref with_json(const Call& call) { return send_spliced(call, json_form(call.arg(0))); }

Ref with_integer(const Call& call) {
    Ref integer = check(PyNumber_Long(call.arg(0)));
    return send_spliced(call, text_form(integer.get()));
}

// The accepted codes are read from the module at call time, so rebinding
// JC_NONE or JC_C_FW changes them; membership compares by value (3.0 passes).
Ref jog(const Call& call) {
    Ref first = module_state::global(names::JC_NONE);
    Ref last = module_state::global(names::JC_C_FW);
    Ref one = check(PyLong_FromLong(1));
    Ref stop = check(PyNumber_Add(last.get(), one.get()));
    Ref codes = cnc::call(module_state::global("range").get(), first.get(), stop.get());
    if (!check(PySequence_Contains(codes.get(), call.arg(0)))) return py_bool(false);
    return with_text_form(call);
}

Ref resume(const Call& call) {
    Ref zero = check(PyLong_FromLong(0));
    if (check(PyObject_RichCompareBool(call.arg(0), zero.get(), Py_GT))) return with_text_form(call);
    return send(call, kResumeWithoutLine);
}

}  // namespace cnc::commands
