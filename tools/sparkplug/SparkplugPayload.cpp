#include "SparkplugPayload.h"

#include <limits>
#include <memory>

#include "sparkplug_b.pb.h"

namespace tarvik::sparkplug {

namespace {

constexpr std::string_view kEngUnit = "engUnit";
constexpr std::string_view kQuality = "Quality";
constexpr std::string_view kEngLow = "engLow";
constexpr std::string_view kEngHigh = "engHigh";
constexpr std::string_view kReadOnly = "readOnly";

bool Signed(DataType t) {
    return t == DataType::Int8 || t == DataType::Int16 || t == DataType::Int32 || t == DataType::Int64;
}
bool Unsigned(DataType t) {
    return t == DataType::UInt8 || t == DataType::UInt16 || t == DataType::UInt32 || t == DataType::UInt64 ||
           t == DataType::DateTime;
}
bool Textual(DataType t) {
    return t == DataType::String || t == DataType::Text || t == DataType::Uuid || t == DataType::Bytes;
}

// The range of an integer datatype, as int64 bounds (UInt64's upper bound is checked apart).
std::pair<std::int64_t, std::int64_t> Range(DataType t) {
    switch (t) {
    case DataType::Int8:
        return {std::numeric_limits<std::int8_t>::min(), std::numeric_limits<std::int8_t>::max()};
    case DataType::Int16:
        return {std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()};
    case DataType::Int32:
        return {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
    case DataType::UInt8:
        return {0, std::numeric_limits<std::uint8_t>::max()};
    case DataType::UInt16:
        return {0, std::numeric_limits<std::uint16_t>::max()};
    case DataType::UInt32:
        return {0, std::numeric_limits<std::uint32_t>::max()};
    case DataType::UInt64:
    case DataType::DateTime:
        return {0, std::numeric_limits<std::int64_t>::max()};
    default:
        return {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()};
    }
}

// An integer value as int64 and uint64 views; false when it is not an integer.
bool Integer(const Value& v, bool& negative, std::uint64_t& bits) {
    if (const auto* s = std::get_if<std::int64_t>(&v)) {
        negative = *s < 0;
        bits = static_cast<std::uint64_t>(*s);
        return true;
    }
    if (const auto* u = std::get_if<std::uint64_t>(&v)) {
        negative = false;
        bits = *u;
        return true;
    }
    return false;
}

bool IntegerFits(DataType t, const Value& v) {
    bool negative = false;
    std::uint64_t bits = 0;
    if (!Integer(v, negative, bits)) return false;
    if (t == DataType::UInt64 || t == DataType::DateTime) return !negative;
    const auto [low, high] = Range(t);
    if (!negative) return bits <= static_cast<std::uint64_t>(high);
    return static_cast<std::int64_t>(bits) >= low;
}

void SetValue(pb::Metric& m, DataType t, const Value& v) {
    bool negative = false;
    std::uint64_t bits = 0;
    if (Integer(v, negative, bits)) {
        // UInt32 goes in long_value as hosts read it (int_value holds the types of up to 31 bits).
        if (t == DataType::Int64 || t == DataType::UInt32 || t == DataType::UInt64 || t == DataType::DateTime)
            m.set_long_value(bits);
        else
            m.set_int_value(static_cast<std::uint32_t>(bits)); // two's complement in 32 bits
    } else if (const auto* f = std::get_if<float>(&v)) {
        m.set_float_value(*f);
    } else if (const auto* d = std::get_if<double>(&v)) {
        m.set_double_value(*d);
    } else if (const auto* b = std::get_if<bool>(&v)) {
        m.set_boolean_value(*b);
    } else if (const auto* s = std::get_if<std::string>(&v)) {
        if (t == DataType::Bytes)
            m.set_bytes_value(*s);
        else
            m.set_string_value(*s);
    } else {
        m.set_is_null(true);
    }
}

pb::PropertyValue* AddProperty(pb::PropertySet* set, std::string_view key, DataType type) {
    set->add_keys()->assign(key);
    pb::PropertyValue* v = set->add_values();
    v->set_type(static_cast<std::uint32_t>(type));
    return v;
}

void SetProperties(pb::Metric& out, const Metric& m) {
    if (!m.engUnit && !m.quality && !m.engLow && !m.engHigh && !m.readOnly) return;
    pb::PropertySet* set = out.mutable_properties();
    if (m.engUnit) AddProperty(set, kEngUnit, DataType::String)->set_string_value(*m.engUnit);
    if (m.quality)
        AddProperty(set, kQuality, DataType::Int32)->set_int_value(static_cast<std::uint32_t>(*m.quality));
    if (m.engLow) AddProperty(set, kEngLow, DataType::Double)->set_double_value(*m.engLow);
    if (m.engHigh) AddProperty(set, kEngHigh, DataType::Double)->set_double_value(*m.engHigh);
    if (m.readOnly) AddProperty(set, kReadOnly, DataType::Boolean)->set_boolean_value(*m.readOnly);
}

Value ValueOf(const pb::Metric& m, DataType t) {
    if (m.is_null()) return {};
    switch (m.value_case()) {
    case pb::Metric::kIntValue:
        switch (t) {
        case DataType::Int8:
            return std::int64_t{static_cast<std::int8_t>(m.int_value())};
        case DataType::Int16:
            return std::int64_t{static_cast<std::int16_t>(m.int_value())};
        case DataType::Int32:
            return std::int64_t{static_cast<std::int32_t>(m.int_value())};
        default:
            return std::uint64_t{m.int_value()};
        }
    case pb::Metric::kLongValue:
        if (Signed(t)) return static_cast<std::int64_t>(m.long_value());
        return std::uint64_t{m.long_value()};
    case pb::Metric::kFloatValue:
        return m.float_value();
    case pb::Metric::kDoubleValue:
        return m.double_value();
    case pb::Metric::kBooleanValue:
        return m.boolean_value();
    case pb::Metric::kStringValue:
        return m.string_value();
    case pb::Metric::kBytesValue:
        return m.bytes_value();
    default:
        return {};
    }
}

void PropertiesOf(const pb::Metric& in, Metric& out) {
    const pb::PropertySet& set = in.properties();
    for (int i = 0; i < set.keys_size() && i < set.values_size(); ++i) {
        const pb::PropertyValue& v = set.values(i);
        if (set.keys(i) == kEngUnit && v.has_string_value())
            out.engUnit = v.string_value();
        else if (set.keys(i) == kQuality && v.has_int_value())
            out.quality = static_cast<std::int32_t>(v.int_value());
        else if (set.keys(i) == kEngLow && v.has_double_value())
            out.engLow = v.double_value();
        else if (set.keys(i) == kEngHigh && v.has_double_value())
            out.engHigh = v.double_value();
        else if (set.keys(i) == kReadOnly && v.has_boolean_value())
            out.readOnly = v.boolean_value();
    }
}

} // namespace

bool Fits(DataType t, const Value& v) {
    if (std::holds_alternative<std::monostate>(v)) return true;
    if (Signed(t) || Unsigned(t)) return IntegerFits(t, v);
    switch (t) {
    case DataType::Float:
        return std::holds_alternative<float>(v);
    case DataType::Double:
        return std::holds_alternative<double>(v);
    case DataType::Boolean:
        return std::holds_alternative<bool>(v);
    default:
        return Textual(t) && std::holds_alternative<std::string>(v);
    }
}

struct Encoder::Message {
    pb::Payload payload;
};

Encoder::Encoder() : message_(std::make_unique<Message>()) {}
Encoder::~Encoder() = default;

// The message is cleared, not freed: its metrics and their properties are reused from payload to
// payload (repeated fields keep cleared elements), so a steady stream encodes without the heap.
bool Encoder::Encode(const Payload& p, std::string& out) {
    out.clear();
    pb::Payload& msg = message_->payload;
    msg.Clear();
    msg.set_timestamp(p.timestamp);
    if (p.seq) msg.set_seq(*p.seq);
    for (const Metric& m : p.metrics) {
        if (!Fits(m.datatype, m.value)) return false;
        pb::Metric* e = msg.add_metrics();
        if (!m.name.empty()) e->set_name(m.name);
        if (m.alias) e->set_alias(*m.alias);
        e->set_timestamp(m.timestamp);
        e->set_datatype(static_cast<std::uint32_t>(m.datatype));
        if (m.historical) e->set_is_historical(true);
        SetProperties(*e, m);
        SetValue(*e, m.datatype, m.value);
    }
    if (msg.SerializeToString(&out)) return true;
    out.clear();
    return false;
}

bool Encode(const Payload& p, std::string& out) {
    Encoder encoder;
    return encoder.Encode(p, out);
}

std::string Encode(const Payload& p) {
    std::string out;
    Encode(p, out);
    return out;
}

bool Decode(std::string_view bytes, Payload& p) {
    pb::Payload msg;
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        !msg.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())))
        return false;
    p = {};
    p.timestamp = msg.timestamp();
    if (msg.has_seq()) p.seq = msg.seq();
    for (const pb::Metric& in : msg.metrics()) {
        Metric m;
        m.name = in.name();
        if (in.has_alias()) m.alias = in.alias();
        m.timestamp = in.timestamp();
        m.datatype = static_cast<DataType>(in.datatype());
        m.historical = in.is_historical();
        m.value = ValueOf(in, m.datatype);
        PropertiesOf(in, m);
        p.metrics.push_back(std::move(m));
    }
    return true;
}

} // namespace tarvik::sparkplug
