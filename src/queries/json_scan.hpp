// A reply reader that accepts and rejects exactly what json.loads does, but
// makes Python objects only for the members a record needs; the rest of the
// reply is validated in place.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "model/tables.hpp"
#include "pyref.hpp"

namespace cnc::queries {

// The members wanted from one kind of reply, arranged for matching while
// scanning. Names point into the static record tables.
struct ReplyPlan {
    struct Member {
        std::string_view name;
        size_t slot;
    };
    struct Group {
        std::string_view name;
        std::vector<Member> members;
    };

    std::vector<Member> direct;          // members of `res`
    std::vector<Group> groups;           // objects under `res`, with their members
    std::vector<size_t> slot_of_path;    // a path asked for twice shares its slot
    size_t slots = 0;
    bool whole_result = false;           // the one value wanted is `res` itself
    bool usable = true;                  // false: a name is both a member and a group
};

// The plan for `res`/key and `res`/group/key paths (group null: `res`/key).
ReplyPlan plan_for(std::span<const model::WireKey> paths);
// The plan that reads `res` itself.
const ReplyPlan& result_plan();

// Reads `text` as json.loads would and sets values[i] to the value at path i
// of `plan`, as json.loads(text)["res"][group][key] yields it. False when
// json.loads would raise or a lookup would fail; no Python error is left set.
bool scan_reply(std::string_view text, const ReplyPlan& plan, std::vector<Ref>& values);

// Keeps the `json` the module imported while loading, and its `loads`.
void remember_json(PyObject* module_dict);

// The reply's text when the scan may stand in for json.loads: an exact ASCII
// str, while the module's `json` and its `loads` are still those of loading.
std::optional<std::string_view> scannable(PyObject* reply);

}  // namespace cnc::queries
