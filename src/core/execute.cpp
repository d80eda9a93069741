// Runs a command's request and judges its reply. Failures of any kind end in
// false; the method table makes both bodies absorb them.
#include "base/names.hpp"
#include "core/client.hpp"
#include "scan/json_scan.hpp"

namespace cnc::core {

Ref execute_request(const Call& call) {
    if (is_false(connection_flag(call.self).get())) return py_bool(false);
    Ref reply = exchange(call.self, call.arg(0));
    return call_method(call.self, names::evaluate_response, reply.get());
}

// Success is a `res` whose plain text form, lower-cased, is "true": the JSON
// literal true, or a string spelling true in any letter case. An array or an
// object never reads "true", and its text form would recurse as deep as the
// reply nests, past the C stack when the recursion limit was raised.
Ref evaluate_response(const Call& call) {
    PyObject* response = call.arg(0);
    const Py_ssize_t length = PyObject_Length(response);
    if (length < 0) raise_pending();
    if (length == 0) return py_bool(false);
    Ref res;
    std::vector<Ref> values;
    const std::optional<std::string_view> scanned_text = scan::scannable(response);
    const scan::Scan scanned =
        scanned_text ? scan::scan_reply(*scanned_text, scan::result_plan(), values) : scan::Scan::Undecided;
    if (scanned == scan::Scan::Failed) return py_bool(false);
    if (scanned == scan::Scan::Found) {
        res = values[0];
    } else {
        Ref json = module_state::global(names::json);
        Ref loads = getattr(json.get(), names::loads);
        Ref reply = cnc::call(loads.get(), response);
        res = check(PyObject_GetItem(reply.get(), names::res));
    }
    if (res.get() == Py_True) return py_bool(true);
    if (PyList_CheckExact(res.get()) || PyDict_CheckExact(res.get())) return py_bool(false);
    Ref text = check(PyObject_Str(res.get()));
    Ref lowered = call_method(text.get(), names::lower);
    return py_bool(PyUnicode_Check(lowered.get()) && PyUnicode_CompareWithASCIIString(lowered.get(), "true") == 0);
}

}  // namespace cnc::core
