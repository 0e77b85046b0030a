// Sparkplug B payloads: metrics with name, alias, timestamp, datatype, value, the properties SCADA
// hosts read (engUnit, Quality, engLow, engHigh, readOnly) and is_historical, encoded to and decoded from
// Protocol Buffers (sparkplug_b.proto). Pure: no I/O, no clock (every timestamp is the caller's).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarvik::sparkplug {

enum class DataType : std::uint32_t {
    Int8 = 1,
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt8 = 5,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
    DateTime = 13, // ms since the epoch
    Text = 14,
    Uuid = 15,
    Bytes = 17,
};

// The `Quality` property's values as hosts read them.
constexpr std::int32_t kQualityGood = 192;
constexpr std::int32_t kQualityStale = 500;
constexpr std::int32_t kQualityBad = 0;

// A metric's value: none (is_null), a signed or unsigned integer, a float, a double, a Boolean, or
// text/bytes. Which one travels, and in which field, follows `datatype`.
using Value = std::variant<std::monostate, std::int64_t, std::uint64_t, float, double, bool, std::string>;

struct Metric {
    std::string name; // empty: the metric goes by its alias (DATA messages)
    std::optional<std::uint64_t> alias;
    std::uint64_t timestamp = 0; // ms since the epoch
    DataType datatype = DataType::Double;
    Value value;
    std::optional<std::string> engUnit;
    std::optional<std::int32_t> quality;
    std::optional<double> engLow, engHigh;
    std::optional<bool> readOnly;
    bool historical = false;
    bool operator==(const Metric&) const = default;
};

struct Payload {
    std::uint64_t timestamp = 0;
    std::optional<std::uint64_t> seq; // absent in NDEATH
    std::vector<Metric> metrics;
    bool operator==(const Payload&) const = default;
};

// The value `v` converted to what `datatype` carries: false when it cannot be (a string for an
// integer type, a number out of the type's range).
bool Fits(DataType datatype, const Value& v);

// Encodes payloads one after the other, reusing its memory (one per thread).
class Encoder {
public:
    Encoder();
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    // The encoding of `p` in `out`; false, and `out` empty, when a metric's value does not fit
    // its datatype.
    bool Encode(const Payload& p, std::string& out);

private:
    struct Message;
    std::unique_ptr<Message> message_;
};

// Appends the encoding of `p` to `out` (cleared first). False, and `out` empty, when a metric's
// value does not fit its datatype.
bool Encode(const Payload& p, std::string& out);
std::string Encode(const Payload& p); // empty when Encode above fails

// False for bytes that are not a payload. Signed datatypes come back as int64, unsigned ones as
// uint64; other properties are skipped.
bool Decode(std::string_view bytes, Payload& p);

} // namespace tarvik::sparkplug
