// One pass of recursive descent over the reply text, mirroring json's own
// scanner rule for rule: the same grammar, the same string escapes, the same
// number conversions and the same nesting limit. Members no record reads are
// validated without making objects.
#include "scan/json_scan.hpp"

#include <charconv>
#include <cstring>
#include <string>

#include "base/names.hpp"

namespace cnc::scan {
namespace {

// Bound while loading and compared at call time; never released, so nothing
// touches them after the interpreter has finalised.
PyObject* json_at_load = nullptr;
PyObject* loads_at_load = nullptr;
// What json.loads gives for NaN, Infinity and -Infinity: shared objects.
PyObject* nan_constant = nullptr;
PyObject* infinity_constant = nullptr;
PyObject* minus_infinity_constant = nullptr;

// json.loads reaches its scanner through loads, decode, raw_decode and the
// scanner call: on 3.11 each a level of the interpreter's recursion count,
// on later versions fewer. Counting all of them makes the scan meet the
// limit no later than json.loads does; it then leaves the verdict to it.
constexpr int kLoadsLevels = 4;

// Below this many digits no setting of the interpreter's int digit limit can
// refuse an integer (it is 0, unlimited, or at least 640).
constexpr size_t kDigitsNeverLimited = 640;

constexpr size_t npos = static_cast<size_t>(-1);

// The text is not JSON as json.loads reads it.
struct Rejected {};
[[noreturn]] void reject() { throw Rejected{}; }

// The text is nested deeper than the scan goes: json.loads decides.
struct TooDeep {};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at `p`, or -1.
long hex4(const char* p) {
    long value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hex_digit(p[i]);
        if (digit < 0) return -1;
        value = value << 4 | digit;
    }
    return value;
}

// Levels of nesting, counted against the interpreter's recursion limit as
// json's scanner counts each array and object.
class Nesting {
public:
    explicit Nesting(int levels = 1) {
        for (; entered_ < levels; ++entered_) {
            if (Py_EnterRecursiveCall(" while decoding a JSON object from a unicode string")) {
                PyErr_Clear();
                leave();
                throw TooDeep{};
            }
        }
    }
    ~Nesting() { leave(); }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

private:
    void leave() {
        for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
    }

    int entered_ = 0;
};

// A string's text between its quotes, escapes still in place.
struct RawString {
    std::string_view body;
    bool escaped;
};

// The code points of a validated string body, as json's scanstring makes
// them: a high surrogate escape directly followed by a low surrogate escape
// is one code point; any other surrogate stays alone.
template <typename Put>
void decode_escapes(std::string_view body, Put&& put) {
    const char* p = body.data();
    const char* const end = p + body.size();
    while (p != end) {
        const char c = *p++;
        if (c != '\\') {
            put(static_cast<Py_UCS4>(c));
            continue;
        }
        switch (const char e = *p++) {
            case 'b': put('\b'); break;
            case 'f': put('\f'); break;
            case 'n': put('\n'); break;
            case 'r': put('\r'); break;
            case 't': put('\t'); break;
            case 'u': {
                Py_UCS4 code = static_cast<Py_UCS4>(hex4(p));
                p += 4;
                if (Py_UNICODE_IS_HIGH_SURROGATE(code) && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                    const Py_UCS4 low = static_cast<Py_UCS4>(hex4(p + 2));
                    if (Py_UNICODE_IS_LOW_SURROGATE(low)) {
                        code = Py_UNICODE_JOIN_SURROGATES(code, low);
                        p += 6;
                    }
                }
                put(code);
                break;
            }
            default: put(static_cast<Py_UCS4>(e)); break;  // " \ /
        }
    }
}

// The position of `name` in `items`, searching from `from` on and wrapping
// around: replies list members in table order, so the next one usually
// matches at once.
template <typename Item>
size_t find(const std::vector<Item>& items, std::string_view name, size_t from = 0) {
    const size_t count = items.size();
    for (size_t i = 0; i < count; ++i) {
        size_t at = from + i;
        if (at >= count) at -= count;
        if (items[at].name == name) return at;
    }
    return npos;
}

// One more level of nesting for the scan's own recursion.
class Deeper {
public:
    explicit Deeper(int& depth) : depth_(depth) {
        if (++depth_ > kMaxDepth) {
            --depth_;
            throw TooDeep{};
        }
    }
    ~Deeper() { --depth_; }
    Deeper(const Deeper&) = delete;
    Deeper& operator=(const Deeper&) = delete;

private:
    int& depth_;
};

class Scanner {
public:
    Scanner(std::string_view text, const ReplyPlan& plan, std::vector<Ref>& slots)
        : p_(text.data()), end_(text.data() + text.size()), plan_(plan), slots_(slots) {}

    // The whole text: one object, white space around it and nothing else.
    void reply() {
        skip_space();
        if (p_ == end_ || *p_ != '{') reject();  // no object, no `res`
        object([this](const RawString& raw) {
            const std::optional<std::string_view> name = key(raw);
            if (name && *name == "res") {
                result();
            } else {
                skip();
            }
        });
        skip_space();
        if (p_ != end_) reject();
    }

private:
    // A later `res` or group replaces an earlier one whole.
    void result() {
        for (Ref& slot : slots_) slot = Ref();
        if (plan_.whole_result) {
            slots_[0] = build();
            return;
        }
        if (peek() != '{') return skip();
        size_t next = 0;
        object([&](const RawString& raw) {
            if (const std::optional<std::string_view> name = key(raw)) {
                if (const size_t at = find(plan_.direct, *name, next); at != npos) {
                    slots_[plan_.direct[at].slot] = build();
                    next = at + 1;
                    return;
                }
                if (const size_t at = find(plan_.groups, *name); at != npos) return group(plan_.groups[at]);
            }
            skip();
        });
    }

    void group(const ReplyPlan::Group& wanted) {
        for (const ReplyPlan::Member& member : wanted.members) slots_[member.slot] = Ref();
        if (peek() != '{') return skip();
        size_t next = 0;
        object([&](const RawString& raw) {
            if (const std::optional<std::string_view> name = key(raw)) {
                if (const size_t at = find(wanted.members, *name, next); at != npos) {
                    slots_[wanted.members[at].slot] = build();
                    next = at + 1;
                    return;
                }
            }
            skip();
        });
    }

    // Any value, validated only. Integers long enough to meet the digit limit
    // are still converted, since json.loads converts every one.
    void skip() {
        switch (peek()) {
            case '"': string(); return;
            case '{': return object([this](const RawString&) { skip(); });
            case '[': return array([this] { skip(); });
            default: scalar<false>(); return;
        }
    }

    // Any value, made as json.loads makes it.
    Ref build() {
        switch (peek()) {
            case '"': return text(string());
            case '{': {
                Ref dict = check(PyDict_New());
                object([&](const RawString& raw) {
                    Ref name = text(raw);
                    Ref value = build();
                    check(PyDict_SetItem(dict.get(), name.get(), value.get()));
                });
                return dict;
            }
            case '[': {
                Ref list = check(PyList_New(0));
                array([&] {
                    Ref value = build();
                    check(PyList_Append(list.get(), value.get()));
                });
                return list;
            }
            default: return scalar<true>();
        }
    }

    // p_ at '{'. `member(key)` is called with p_ at the member's value and
    // consumes it.
    template <typename Member>
    void object(Member&& member) {
        Deeper deeper(depth_);
        Nesting level;
        ++p_;
        skip_space();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            return;
        }
        for (;;) {
            if (peek() != '"') reject();
            const RawString name = string();
            skip_space();
            expect(':');
            skip_space();
            member(name);
            skip_space();
            if (peek() == '}') {
                ++p_;
                return;
            }
            expect(',');
            skip_space();
        }
    }

    // p_ at '['. `element()` is called with p_ at each element and consumes it.
    template <typename Element>
    void array(Element&& element) {
        Deeper deeper(depth_);
        Nesting level;
        ++p_;
        skip_space();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            return;
        }
        for (;;) {
            element();
            skip_space();
            if (peek() == ']') {
                ++p_;
                return;
            }
            expect(',');
            skip_space();
        }
    }

    // p_ at the opening quote; validates up to the closing one.
    RawString string() {
        const char* const begin = ++p_;
        bool escaped = false;
        for (;;) {
            const char c = peek();
            if (c == '"') break;
            if (static_cast<unsigned char>(c) < 0x20) reject();  // json's strict mode
            ++p_;
            if (c != '\\') continue;
            escaped = true;
            switch (peek()) {
                case '"':
                case '\\':
                case '/':
                case 'b':
                case 'f':
                case 'n':
                case 'r':
                case 't': ++p_; break;
                case 'u':
                    if (end_ - p_ < 5 || hex4(p_ + 1) < 0) reject();
                    p_ += 5;
                    break;
                default: reject();
            }
        }
        const RawString raw{{begin, static_cast<size_t>(p_ - begin)}, escaped};
        ++p_;
        return raw;
    }

    Ref text(const RawString& raw) {
        if (!raw.escaped) {
            Ref str = check(PyUnicode_New(static_cast<Py_ssize_t>(raw.body.size()), 127));
            std::memcpy(PyUnicode_1BYTE_DATA(str.get()), raw.body.data(), raw.body.size());
            return str;
        }
        chars_.clear();
        decode_escapes(raw.body, [this](Py_UCS4 c) { chars_.push_back(c); });
        return check(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars_.data(), static_cast<Py_ssize_t>(chars_.size())));
    }

    // A member name to match against the plan; nullopt when it holds a
    // character outside ASCII, as no wire key does.
    std::optional<std::string_view> key(const RawString& raw) {
        if (!raw.escaped) return raw.body;
        key_.clear();
        bool ascii = true;
        decode_escapes(raw.body, [&](Py_UCS4 c) {
            if (c < 0x80)
                key_ += static_cast<char>(c);
            else
                ascii = false;
        });
        if (!ascii) return std::nullopt;
        return std::string_view(key_);
    }

    // null, true, false, NaN, Infinity, -Infinity or a number.
    template <bool Build>
    Ref scalar() {
        switch (*p_) {
            case 'n': return literal<Build>("null", [] { return py_none(); });
            case 't': return literal<Build>("true", [] { return py_bool(true); });
            case 'f': return literal<Build>("false", [] { return py_bool(false); });
            case 'N': return literal<Build>("NaN", [] { return new_ref(nan_constant); });
            case 'I': return literal<Build>("Infinity", [] { return new_ref(infinity_constant); });
            case '-':
                if (end_ - p_ > 1 && p_[1] == 'I')
                    return literal<Build>("-Infinity", [] { return new_ref(minus_infinity_constant); });
                break;
        }
        return number<Build>();
    }

    template <bool Build, typename Make>
    Ref literal(std::string_view word, Make&& make) {
        if (static_cast<size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) reject();
        p_ += word.size();
        return Build ? make() : Ref();
    }

    static Ref real(double value) { return check(PyFloat_FromDouble(value)); }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][-+]?[0-9]+)? as json's number matcher
    // reads it: a fraction or exponent without digits is left for the caller,
    // who then rejects the character.
    template <bool Build>
    Ref number() {
        const char* const start = p_;
        if (*p_ == '-') ++p_;
        if (peek() == '0') {
            ++p_;
        } else if (is_digit(*p_)) {
            while (p_ != end_ && is_digit(*p_)) ++p_;
        } else {
            reject();
        }
        bool is_real = false;
        if (end_ - p_ > 1 && *p_ == '.' && is_digit(p_[1])) {
            is_real = true;
            p_ += 2;
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        if (end_ - p_ > 1 && (*p_ == 'e' || *p_ == 'E')) {
            const char* const exponent = p_++;
            if (end_ - p_ > 1 && (*p_ == '+' || *p_ == '-')) ++p_;
            const char* const digits = p_;
            while (p_ != end_ && is_digit(*p_)) ++p_;
            if (p_ != digits) {
                is_real = true;
            } else {
                p_ = exponent;
            }
        }
        const std::string_view span(start, static_cast<size_t>(p_ - start));
        if (is_real) return Build ? real_number(span) : Ref();
        return integer<Build>(span);
    }

    // float(span): correctly rounded either way; the interpreter's reader
    // takes what from_chars calls out of range (infinities, underflow).
    static Ref real_number(std::string_view span) {
        double value;
        const auto [end, error] = std::from_chars(span.data(), span.data() + span.size(), value);
        if (error != std::errc() || end != span.data() + span.size()) {
            const std::string copy(span);
            value = PyOS_string_to_double(copy.c_str(), nullptr, nullptr);
            if (value == -1.0 && PyErr_Occurred()) raise_pending();
        }
        return real(value);
    }

    // int(span). Long digit strings go through the interpreter's conversion,
    // so its digit limit raises exactly where json.loads raises.
    template <bool Build>
    static Ref integer(std::string_view span) {
        const bool negative = span.front() == '-';
        const size_t digits = span.size() - negative;
        if (digits <= 18) {
            if (!Build) return Ref();
            long long value = 0;
            for (char c : span.substr(negative)) value = value * 10 + (c - '0');
            return check(PyLong_FromLongLong(negative ? -value : value));
        }
        if (!Build && digits < kDigitsNeverLimited) return Ref();
        const std::string copy(span);
        return check(PyLong_FromString(copy.c_str(), nullptr, 10));
    }

    char peek() const {
        if (p_ == end_) reject();
        return *p_;
    }
    void expect(char c) {
        if (peek() != c) reject();
        ++p_;
    }
    void skip_space() {
        while (p_ != end_ && is_space(*p_)) ++p_;
    }

    const char* p_;
    const char* const end_;
    const ReplyPlan& plan_;
    std::vector<Ref>& slots_;
    std::string key_;             // the last escaped key, decoded
    std::vector<Py_UCS4> chars_;  // the last escaped string, decoded
    int depth_ = 0;               // objects and arrays open at p_
};

}  // namespace

ReplyPlan plan_for(std::span<const Path> paths) {
    ReplyPlan plan;
    for (const Path& path : paths) {
        std::vector<ReplyPlan::Member>* members = &plan.direct;
        if (path.group) {
            size_t group = find(plan.groups, path.group);
            if (group == npos) {
                group = plan.groups.size();
                plan.groups.push_back({path.group, {}});
            }
            members = &plan.groups[group].members;
        }
        size_t at = find(*members, path.key);
        if (at == npos) {
            at = members->size();
            members->push_back({path.key, plan.slots++});
        }
        plan.slot_of_path.push_back((*members)[at].slot);
    }
    for (const ReplyPlan::Member& member : plan.direct)
        if (find(plan.groups, member.name) != npos) plan.usable = false;
    return plan;
}

const ReplyPlan& result_plan() {
    static const ReplyPlan plan = [] {
        ReplyPlan whole;
        whole.slot_of_path = {0};
        whole.slots = 1;
        whole.whole_result = true;
        return whole;
    }();
    return plan;
}

Scan scan_reply(std::string_view text, const ReplyPlan& plan, std::vector<Ref>& values) {
    values.clear();
    try {
        std::vector<Ref> slots(plan.slots);
        {
            Nesting loads_frames(kLoadsLevels);
            Scanner(text, plan, slots).reply();
        }
        for (const Ref& slot : slots)
            if (!slot) return Scan::Failed;
        values.reserve(plan.slot_of_path.size());
        for (size_t slot : plan.slot_of_path) values.push_back(slots[slot]);
        return Scan::Found;
    } catch (const TooDeep&) {
        values.clear();
        return Scan::Undecided;
    } catch (const Rejected&) {
    } catch (const PyErrorSet&) {
    } catch (const std::bad_alloc&) {
    }
    PyErr_Clear();  // the digit limit, memory: both mean json.loads fails
    values.clear();
    return Scan::Failed;
}

namespace {

// json.loads' own object for `name`, from a decoder's parse_constant.
PyObject* json_constant(PyObject* parse_constant, const char* name) {
    Ref text = check(PyUnicode_FromString(name));
    return call(parse_constant, text.get()).release();
}

}  // namespace

void remember_json(PyObject* module_dict) {
    try {
        Ref json = new_ref(PyDict_GetItemWithError(module_dict, names::json));
        if (!json) raise_pending();
        Ref loads = getattr(json.get(), names::loads);
        Ref decoder_module = getattr(json.get(), check(PyUnicode_InternFromString("decoder")).get());
        Ref decoder_class = getattr(decoder_module.get(), check(PyUnicode_InternFromString("JSONDecoder")).get());
        Ref decoder = call(decoder_class.get());
        Ref parse_constant = getattr(decoder.get(), check(PyUnicode_InternFromString("parse_constant")).get());
        Ref nan = Ref::steal(json_constant(parse_constant.get(), "NaN"));
        Ref infinity = Ref::steal(json_constant(parse_constant.get(), "Infinity"));
        Ref minus_infinity = Ref::steal(json_constant(parse_constant.get(), "-Infinity"));
        nan_constant = nan.release();
        infinity_constant = infinity.release();
        minus_infinity_constant = minus_infinity.release();
        json_at_load = json.release();
        loads_at_load = loads.release();
    } catch (const PyErrorSet&) {
        PyErr_Clear();  // nothing remembered: every reply goes through json.loads
    }
}

std::optional<std::string_view> scannable(PyObject* reply) {
    if (!loads_at_load || !PyUnicode_CheckExact(reply)) return std::nullopt;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(reply) < 0) {
        PyErr_Clear();  // json.loads meets the same failure
        return std::nullopt;
    }
#endif
    if (!PyUnicode_IS_ASCII(reply)) return std::nullopt;
    // A failed lookup only means json.loads is asked, which then fails the same way.
    PyObject* module = module_state::module();
    PyObject* json = module ? PyDict_GetItemWithError(PyModule_GetDict(module), names::json) : nullptr;
    // Compared by identity only; json_at_load itself is owned for good.
    Ref loads = json == json_at_load ? Ref::steal(PyObject_GetAttr(json_at_load, names::loads)) : Ref();
    if (loads.get() != loads_at_load) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(reply)),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(reply)));
}

}  // namespace cnc::scan
