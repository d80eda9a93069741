// A reply reader that accepts and rejects exactly what json.loads does, but
// makes Python objects only for the members a record needs; the rest of the
// reply is validated in place.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/ref.hpp"

namespace cnc::scan {

// A member path of a reply: `res` / group / key, or `res` / key without group.
struct Path {
    const char* group;
    const char* key;
};

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

    std::vector<Member> direct;        // members of `res`
    std::vector<Group> groups;         // objects under `res`, with their members
    std::vector<size_t> slot_of_path;  // a path asked for twice shares its slot
    size_t slots = 0;
    bool whole_result = false;  // the one value wanted is `res` itself
    bool usable = true;         // false: a name is both a member and a group
};

// The plan for `res`/key and `res`/group/key paths (group null: `res`/key).
ReplyPlan plan_for(std::span<const Path> paths);
// The plan that reads `res` itself.
const ReplyPlan& result_plan();

enum class Scan {
    Found,      // values holds the value of every path
    Failed,     // json.loads would raise, or a lookup would fail
    Undecided,  // nested too deep to scan here: ask json.loads
};

// Reads `text` as json.loads would and sets values[i] to the value at path i
// of `plan`, as json.loads(text)["res"][group][key] yields it. No Python error
// is left set.
//
// The scan recurses once per level of nesting, at most kMaxDepth levels
// (about 200 bytes of C stack each), so that it is safe on small thread
// stacks at any recursion limit. Deeper texts, and texts that reach the
// interpreter's recursion limit, are left Undecided: json.loads itself, whose
// limits and recursion accounting differ between interpreter versions, gives
// the verdict on them.
constexpr int kMaxDepth = 100;
Scan scan_reply(std::string_view text, const ReplyPlan& plan, std::vector<Ref>& values);

// Keeps the `json` the module imported while loading, its `loads`, and the
// objects json.loads gives for NaN, Infinity and -Infinity.
void remember_json(PyObject* module_dict);

// The reply's text when the scan may stand in for json.loads: an exact ASCII
// str, while the module's `json` and its `loads` are still those of loading.
std::optional<std::string_view> scannable(PyObject* reply);

}  // namespace cnc::scan
