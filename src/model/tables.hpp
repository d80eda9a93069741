// The module's vocabulary as data: named constants and the field tables of the
// record classes. The record classes and the queries' decoding are both driven
// from these tables, so a field is declared once.
#pragma once

#include <cstddef>
#include <span>

namespace cnc::model {

struct Constant {
    const char* name;
    long value;        // integer constants
    const char* text;  // text constants (value unused when set)
};

// Module-level constants in binding order, `__version__` first.
extern const std::span<const Constant> kConstants;

enum class Default : unsigned char {
    False,       // the truth value false
    Int,         // integer `value`
    Float,       // 0.0
    Text,        // `text`
    IntZeros,    // one shared list of `value` integer zeros
    FloatZeros,  // one shared list of `value` real zeros
    EmptyList,   // one shared empty list
    Constant,    // the module constant named `text`, read when the class is made
};

struct Field {
    const char* name;  // attribute name on the record
    Default kind;
    long value = 0;              // Int default, or the length of a zeros list
    const char* text = nullptr;  // Text default, or the constant's name
    // Where a reply carries the value: `res` / group / key, or `res` / key when
    // group is null. A null key means the field is not read from a reply.
    // Keys are single member names: dots never split them.
    const char* group = nullptr;
    const char* key = nullptr;
    // When set, the reply value is an array whose elements each fill a new
    // record of this table's class.
    const struct Record* element = nullptr;
};

struct WireKey {
    const char* group;  // null: directly under `res`
    const char* key;
};

struct Record {
    const char* name;
    const char* doc;
    std::span<const Field> fields;  // declaration order, `has_data` first where present
    // Members a reply must carry although no field stores them.
    std::span<const WireKey> required_unstored = {};
};

// The fifteen record classes in definition order.
enum RecordIndex : unsigned char {
    kAnalogInputs,
    kAnalogOutputs,
    kAxesInfo,
    kCncInfo,
    kCncParameters,
    kCompileInfo,
    kDigitalInputs,
    kDigitalOutputs,
    kEnabledCommands,
    kMachiningInfoUsedTool,
    kMachiningInfo,
    kProgrammedPoints,
    kScan3DInfo,
    kSystemInfo,
    kVMGeometryInfo,
    kRecordCount,
};

extern const Record kRecordTable[kRecordCount];
extern const std::span<const Record> kRecords;

// Tables refer to records by address, fixed at compile time.
constexpr const Record* record(RecordIndex index) { return &kRecordTable[index]; }
inline size_t index_of(const Record& table) { return static_cast<size_t>(&table - kRecordTable); }

}  // namespace cnc::model
