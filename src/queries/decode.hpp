// The decoding engine: copies reply members into a record as the record's
// field table says, storing every value exactly as json.loads yields it.
#pragma once

#include "base/ref.hpp"
#include "model/tables.hpp"

namespace cnc::queries {

// The class the module binds under the table's name, looked up now.
Ref record_class(const model::Record& table);
// A new record of that class.
Ref new_record(const model::Record& table);

// Copies every keyed field of `table` from `source` (the reply's `res`, or
// one element of an array) into `record`, in table order. A missing member,
// or a source or group of the wrong kind, raises.
void decode_into(PyObject* record, const model::Record& table, PyObject* source);

// Fills `record` from the reply text as decode_into does from
// json.loads(reply)["res"]. Where it may, a scan of the text stands in for
// json.loads (json_scan.hpp), and a reply the query fails on gives false;
// on the json.loads path such a failure raises instead.
bool decode_reply(PyObject* record, const model::Record& table, PyObject* reply);

// json.loads(reply)["res"]
Ref reply_result(PyObject* reply);

// source[key] as Python evaluates it.
Ref item(PyObject* source, PyObject* key);

}  // namespace cnc::queries
