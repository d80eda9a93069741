// Queries that fill one record from one reply. Their failures are absorbed
// at the method boundary into a new default record.
#include "queries/queries.hpp"

#include "base/names.hpp"
#include "core/client.hpp"
#include "core/text.hpp"
#include "queries/decode.hpp"

namespace cnc::queries {
namespace {

// Sends `request` and fills a new record of the row's class from the reply.
Ref query_record(const Call& call, PyObject* request) {
    const model::Record& table = *call.spec.record;
    if (core::is_false(core::connection_flag(call.self).get())) return new_record(table);
    Ref record = new_record(table);
    Ref reply = core::exchange(call.self, request);
    const Py_ssize_t length = PyObject_Length(reply.get());
    if (length < 0) raise_pending();
    if (length == 0) return record;
    if (!decode_reply(record.get(), table, reply.get())) return new_record(table);
    setattr(record.get(), names::has_data, Py_True);
    return record;
}

}  // namespace

Ref fill_record(const Call& call) {
    Ref request = check(PyUnicode_FromString(call.spec.request));
    return query_record(call, request.get());
}

Ref default_record(const Call& call) { return new_record(*call.spec.record); }

Ref get_cnc_parameters(const Call& call) {
    Ref request = TextBuilder()
                      .add(R"({"get":"cnc.parameters", "address":)")
                      .add(text_form(call.arg(0)))
                      .add(R"(, "elements":)")
                      .add(text_form(call.arg(1)))
                      .add("}")
                      .build();
    return query_record(call, request.get());
}

}  // namespace cnc::queries
