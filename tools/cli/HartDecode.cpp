#include "HartDecode.h"

#include <fmt/format.h>

#include "Facts.h"
#include "hart/Status.h"
#include "hart/Universal.h"
#include "tarvik/HartFields.h"

namespace tarvik::cli {

namespace h = tarvik::hart;

namespace {

constexpr int kYearBase = 1900;
constexpr std::uint8_t kAlarmingStatus = h::kStatusMalfunction | h::kStatusMoreStatus |
                                         h::kStatusCurrentSaturated | h::kStatusNonPvOutOfLimits |
                                         h::kStatusPvOutOfLimits;

class Fields {
public:
    void Add(std::string key, std::string label, Json value, std::string text) {
        out.push_back({std::move(key), std::move(label), std::move(value), std::move(text)});
    }
    template <class T>
    void Number(const std::string& key, const std::string& label, const std::optional<T>& v) {
        if (v) Add(key, label, *v, fmt::format("{}", *v));
    }
    std::vector<HartField> out;
};

std::string Unit(std::uint8_t code) {
    return fmt::format("{} ({})", code, tools::Facts::Get().UnitName(code));
}

Json UnitJson(std::uint8_t code) {
    const auto& facts = tools::Facts::Get();
    return Json{{"unit", code}, {"unit_name", facts.UnitName(code)}, {"symbol", facts.UnitSymbol(code)}};
}

// A device's texts are Latin-1 (the long tag; packed texts are ASCII): JSON and terminals take
// UTF-8, so bytes from 0x80 on become two-byte sequences instead of invalid UTF-8.
std::string Utf8FromLatin1(std::string_view text) {
    constexpr unsigned kAsciiEnd = 0x80, kLead = 0xC0, kFollow = 0x80, kLowBits = 0x3F, kShift = 6;
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < kAsciiEnd) {
            out.push_back(c);
            continue;
        }
        out.push_back(static_cast<char>(kLead | (b >> kShift)));
        out.push_back(static_cast<char>(kFollow | (b & kLowBits)));
    }
    return out;
}

// Renders the walk's values for people (text) and scripts (JSON): units and transfer functions
// named, a measured variable as one field with its unit, the date as one ISO date.
class CliSink final : public link::HartFieldSink {
public:
    void Integer(const link::HartFieldName& name, std::int64_t value, link::HartInteger kind) override {
        if (kind == link::HartInteger::UnitCode) {
            const auto code = static_cast<std::uint8_t>(value);
            f.Add(name.key, name.label, UnitJson(code), Unit(code));
        } else if (kind == link::HartInteger::TransferFunction) {
            f.Add(name.key, name.label, value,
                  value == h::kTransferLinear       ? "0 (linear)"
                  : value == h::kTransferSquareRoot ? "1 (square root)"
                                                    : std::to_string(value));
        } else {
            f.Add(name.key, name.label, value, std::to_string(value));
        }
    }
    void Real(const link::HartFieldName& name, float value, std::optional<std::uint8_t> unitCode) override {
        std::string unit = name.unit;
        if (unit.empty() && unitCode) unit = tools::Facts::Get().UnitSymbol(*unitCode);
        f.Add(name.key, name.label, NumberJson(value), HumanNumber(value) + (unit.empty() ? "" : " " + unit));
    }
    void Measured(const link::HartFieldName& name, const char*, std::optional<float> value,
                  std::optional<std::uint8_t> unitCode) override {
        if (!value || !unitCode) return;
        const auto& facts = tools::Facts::Get();
        f.Add(name.key, name.label,
              Json{{"value", NumberJson(*value)},
                   {"unit", *unitCode},
                   {"unit_name", facts.UnitName(*unitCode)},
                   {"symbol", facts.UnitSymbol(*unitCode)}},
              fmt::format("{}   (unit {}: {})", ValueWithUnit(*value, *unitCode), *unitCode,
                          facts.UnitName(*unitCode)));
    }
    void Text(const link::HartFieldName& name, std::string_view latin1) override {
        const std::string text = Utf8FromLatin1(latin1);
        f.Add(name.key, name.label, text, fmt::format("'{}'", text));
    }
    void Bytes(const link::HartFieldName& name, std::span<const std::uint8_t> bytes) override {
        const std::string hex = Hex(bytes);
        f.Add(name.key, name.label, hex, hex);
    }
    void Date(std::optional<std::uint8_t> day, std::optional<std::uint8_t> month,
              std::optional<std::uint8_t> yearSince1900) override {
        if (!day || !month || !yearSince1900) return;
        const std::string date = fmt::format("{:04}-{:02}-{:02}", kYearBase + *yearSince1900, *month, *day);
        f.Add("date", "date", date, date);
    }
    void Identity(const h::Identity& id) override { f.out = IdentityFields(id); }

    Fields f;
};

} // namespace

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t b : bytes)
        out += fmt::format("{}{:02X}", out.empty() ? "" : " ", b);
    return out;
}

std::string FormatLongAddress(const h::Address& a) {
    return fmt::format("{:02X}:{:02X}:{:02X}{:02X}{:02X}", a.unique[0], a.unique[1], a.unique[2], a.unique[3],
                       a.unique[4]);
}

std::string FormatTypeAndId(const h::Identity& id) {
    return fmt::format("{:02X}:{:02X}{:02X}{:02X}", id.AddressType(), id.deviceId[0], id.deviceId[1],
                       id.deviceId[2]);
}

std::vector<HartField> IdentityFields(const h::Identity& id) {
    Fields f;
    if (id.complete) {
        f.Add("address", "address", FormatTypeAndId(id), FormatTypeAndId(id));
        f.Add("long_address", "long address", FormatLongAddress(id.LongAddress()),
              FormatLongAddress(id.LongAddress()));
    }
    // From revision 7 the type is 16 bits and the maker is in bytes 17-18, which a short reply lacks.
    const bool expanded = id.universalRevision >= h::kRevisionExpandedType;
    const std::string maker = !expanded             ? fmt::format("0x{:02X}", id.manufacturer)
                              : id.manufacturerCode ? fmt::format("0x{:04X}", id.manufacturer)
                                                    : std::string("?");
    f.Add("manufacturer", "maker / type",
          expanded && !id.manufacturerCode ? Json(nullptr) : Json(id.manufacturer),
          fmt::format("{} / 0x{:0{}X}", maker, id.deviceType, expanded ? 4 : 2));
    f.Add("device_type", "", id.deviceType, "");
    if (id.privateLabel)
        f.Add("private_label", "private label", *id.privateLabel, std::to_string(*id.privateLabel));
    f.Add("universal_revision", "revisions", id.universalRevision,
          fmt::format("universal {}, device {}, software {}, hardware {}", id.universalRevision,
                      id.deviceRevision, id.softwareRevision, id.hardwareRevision));
    f.Add("device_revision", "", id.deviceRevision, "");
    f.Add("software_revision", "", id.softwareRevision, "");
    f.Add("hardware_revision", "", id.hardwareRevision, "");
    f.Add("preambles", "preambles", id.preambles, std::to_string(id.preambles));
    f.Number("config_change_counter", "config changes", id.configChangeCounter);
    if (!id.complete) f.Add("complete", "identity", false, "cut short: fewer than 12 bytes");
    return f.out;
}

std::vector<HartField> DecodeHartReply(std::uint8_t command, std::span<const std::uint8_t> data,
                                       std::optional<std::uint8_t> universalRevision) {
    CliSink sink;
    link::WalkHartReply(command, data, sink, universalRevision);
    return std::move(sink.f.out);
}

void AddFields(Report& report, const std::vector<HartField>& fields) {
    for (const HartField& f : fields)
        if (f.label.empty())
            report.Context(f.key, f.value);
        else
            report.Field(f.key, f.label, f.value, f.text);
}

bool DeviceStatusAlarming(std::uint8_t status) {
    return (status & kAlarmingStatus) != 0;
}

} // namespace tarvik::cli
