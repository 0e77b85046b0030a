#include "HartDecode.h"

#include <fmt/format.h>

#include "Facts.h"
#include "hart/Status.h"
#include "hart/Universal.h"

namespace tarvik::cli {

namespace h = tarvik::hart;

namespace {

constexpr std::uint8_t kAlarmingStatus = h::kStatusMalfunction | h::kStatusMoreStatus |
                                         h::kStatusCurrentSaturated | h::kStatusNonPvOutOfLimits |
                                         h::kStatusPvOutOfLimits;

class Fields {
public:
    void Add(std::string key, std::string label, Json value, std::string text) {
        out.push_back({std::move(key), std::move(label), std::move(value), std::move(text)});
    }
    template <class T>
    void Number(const std::string& key, const std::string& label, const std::optional<T>& v,
                const std::string& suffix = "") {
        if (v) Add(key, label, *v, fmt::format("{}{}", *v, suffix));
    }
    void Float(const std::string& key, const std::string& label, const std::optional<float>& v,
               const std::string& unit = "") {
        if (v) Add(key, label, NumberJson(*v), HumanNumber(*v) + (unit.empty() ? "" : " " + unit));
    }
    void Unit(const std::string& key, const std::string& label, const std::optional<std::uint8_t>& code) {
        if (!code) return;
        const auto& facts = tools::Facts::Get();
        Add(key, label,
            Json{{"unit", *code}, {"unit_name", facts.UnitName(*code)}, {"symbol", facts.UnitSymbol(*code)}},
            fmt::format("{} ({})", *code, facts.UnitName(*code)));
    }
    void Valued(const std::string& key, const std::string& label, std::uint8_t unit, float value) {
        const auto& facts = tools::Facts::Get();
        Add(key, label,
            Json{{"value", NumberJson(value)},
                 {"unit", unit},
                 {"unit_name", facts.UnitName(unit)},
                 {"symbol", facts.UnitSymbol(unit)}},
            fmt::format("{}   (unit {}: {})", ValueWithUnit(value, unit), unit, facts.UnitName(unit)));
    }
    void Text(const std::string& key, const std::string& label, const std::string& text) {
        Add(key, label, text, "'" + text + "'");
    }
    std::vector<HartField> out;
};

std::string UnitSymbol(const std::optional<std::uint8_t>& code) {
    return code ? tools::Facts::Get().UnitSymbol(*code) : "";
}

void Variables(Fields& f, std::uint8_t command, std::span<const std::uint8_t> data) {
    if (command == h::kCmdReadPrimaryVariable) {
        const auto pv = h::DecodePrimaryVariable(data);
        if (pv.unit && pv.value) f.Valued("pv", "PV", *pv.unit, *pv.value);
    } else if (command == h::kCmdReadLoopCurrent) {
        const auto lc = h::DecodeLoopCurrent(data);
        f.Float("current_ma", "loop current", lc.milliamperes, "mA");
        f.Float("percent_of_range", "percent", lc.percentOfRange, "%");
    } else {
        const auto v = h::DecodeDynamicVariables(data);
        f.Float("current_ma", "loop current", v.milliamperes, "mA");
        const char* names[] = {"pv", "sv", "tv", "qv"};
        const char* labels[] = {"PV", "SV", "TV", "QV"};
        for (std::size_t i = 0; i < v.count; ++i)
            f.Valued(names[i], labels[i], v.variables[i].unit, v.variables[i].value);
    }
}

void Texts(Fields& f, std::uint8_t command, std::span<const std::uint8_t> data) {
    switch (command) {
    case h::kCmdReadMessage:
    case h::kCmdWriteMessage:
        f.Text("message", "message", h::DecodeMessage(data));
        break;
    case h::kCmdReadLongTag:
    case h::kCmdWriteLongTag:
        f.Text("long_tag", "long tag", h::DecodeLongTag(data));
        break;
    default: {
        const auto t = h::DecodeTagDescriptorDate(data);
        f.Text("tag", "tag", t.tag);
        f.Text("descriptor", "descriptor", t.descriptor);
        if (t.day && t.month && t.yearSince1900)
            f.Add("date", "date", fmt::format("{:04}-{:02}-{:02}", 1900 + *t.yearSince1900, *t.month, *t.day),
                  fmt::format("{:04}-{:02}-{:02}", 1900 + *t.yearSince1900, *t.month, *t.day));
    }
    }
}

void Ranges(Fields& f, std::uint8_t command, std::span<const std::uint8_t> data) {
    if (command == h::kCmdReadTransducerInfo) {
        const auto t = h::DecodeTransducerInfo(data);
        f.Number("transducer_serial", "sensor serial", t.serialNumber);
        f.Unit("limits_unit", "limits unit", t.limitsUnit);
        f.Float("upper_limit", "sensor upper", t.upperLimit, UnitSymbol(t.limitsUnit));
        f.Float("lower_limit", "sensor lower", t.lowerLimit, UnitSymbol(t.limitsUnit));
        f.Float("minimum_span", "minimum span", t.minimumSpan, UnitSymbol(t.limitsUnit));
        return;
    }
    const auto d = h::DecodeDeviceInfo(data);
    f.Number("alarm_selection", "alarm code", d.alarmSelection);
    if (d.transferFunction)
        f.Add("transfer_function", "transfer", *d.transferFunction,
              *d.transferFunction == h::kTransferLinear       ? "0 (linear)"
              : *d.transferFunction == h::kTransferSquareRoot ? "1 (square root)"
                                                              : std::to_string(*d.transferFunction));
    f.Unit("range_unit", "range unit", d.rangeUnit);
    f.Float("upper_range", "upper range", d.upperRange, UnitSymbol(d.rangeUnit));
    f.Float("lower_range", "lower range", d.lowerRange, UnitSymbol(d.rangeUnit));
    f.Float("damping_s", "damping", d.dampingSeconds, "s");
    f.Number("write_protect", "write protect", d.writeProtect);
    f.Number("private_label", "private label", d.privateLabel);
    f.Number("analog_channel_flags", "analog flags", d.analogChannelFlags);
}

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
    return fmt::format("{:02X}:{:02X}{:02X}{:02X}", id.deviceType, id.deviceId[0], id.deviceId[1],
                       id.deviceId[2]);
}

std::vector<HartField> IdentityFields(const h::Identity& id) {
    Fields f;
    if (id.complete) {
        f.Add("address", "address", FormatTypeAndId(id), FormatTypeAndId(id));
        f.Add("long_address", "long address", FormatLongAddress(id.LongAddress()),
              FormatLongAddress(id.LongAddress()));
    }
    f.Add("manufacturer", "maker / type", id.manufacturer,
          fmt::format("0x{:02X} / 0x{:02X}", id.manufacturer, id.deviceType));
    f.Add("device_type", "", id.deviceType, "");
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

std::vector<HartField> DecodeHartReply(std::uint8_t command, std::span<const std::uint8_t> data) {
    Fields f;
    switch (command) {
    case h::kCmdReadUniqueId:
    case h::kCmdReadUniqueIdByTag:
    case h::kCmdReadUniqueIdByLongTag:
        return IdentityFields(h::DecodeIdentity(data));
    case h::kCmdReadPrimaryVariable:
    case h::kCmdReadLoopCurrent:
    case h::kCmdReadDynamicVariables:
        Variables(f, command, data);
        break;
    case h::kCmdWritePollingAddress: {
        const auto p = h::DecodePollingAddress(data);
        f.Number("polling_address", "polling address", p.address);
        f.Number("loop_current_mode", "current mode", p.loopCurrentMode);
        break;
    }
    case h::kCmdReadMessage:
    case h::kCmdWriteMessage:
    case h::kCmdReadTagDescriptorDate:
    case h::kCmdWriteTagDescriptorDate:
    case h::kCmdReadLongTag:
    case h::kCmdWriteLongTag:
        Texts(f, command, data);
        break;
    case h::kCmdReadTransducerInfo:
    case h::kCmdReadDeviceInfo:
        Ranges(f, command, data);
        break;
    case h::kCmdReadFinalAssembly:
    case h::kCmdWriteFinalAssembly:
        f.Number("final_assembly", "final assembly", h::DecodeFinalAssembly(data));
        break;
    case h::kCmdResetConfigChanged:
        f.Number("config_change_counter", "config changes", h::DecodeConfigCounter(data));
        break;
    case h::kCmdReadAdditionalStatus: {
        const auto s = h::DecodeAdditionalStatus(data);
        const std::string hex = Hex(std::span(s.bytes).first(s.count));
        f.Add("additional_status", "more status", hex, hex);
        break;
    }
    case h::kCmdWriteBurstCommand:
        f.Number("burst_command", "burst command", h::DecodeFirstByte(data));
        break;
    case h::kCmdBurstMode:
        f.Number("burst_mode", "burst mode", h::DecodeFirstByte(data));
        break;
    default:
        break;
    }
    return f.out;
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
