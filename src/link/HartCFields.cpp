// TarvikHartDecode: the universal commands' replies, decoded by the HART codec, as named fields
// for C hosts. Field names are the ones the command line's JSON output uses where it has one.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "HartCInternal.h"
#include "hart/Universal.h"

namespace tarvik::link::c {

namespace {

namespace h = tarvik::hart;
constexpr int kYearBase = 1900;

class Fields {
public:
    Fields(TarvikHartField* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void Integer(const char* name, std::int64_t v) {
        Number(name, TarvikHartInteger, static_cast<double>(v));
    }
    void Real(const char* name, float v) { Number(name, TarvikHartFloat, static_cast<double>(v)); }
    template <class T>
    void Integer(const char* name, const std::optional<T>& v) {
        if (v) Integer(name, static_cast<std::int64_t>(*v));
    }
    void Real(const char* name, const std::optional<float>& v) {
        if (v) Real(name, *v);
    }
    void Text(const char* name, const std::string& text) {
        Raw(name, TarvikHartText, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    void Bytes(const char* name, std::span<const std::uint8_t> bytes) {
        Raw(name, TarvikHartBytes, bytes.data(), bytes.size());
    }
    std::size_t Count() const { return count_; }
    bool Overflowed() const { return overflow_; }

private:
    TarvikHartField* Next(const char* name, std::int32_t kind) {
        if (count_ == capacity_) {
            overflow_ = true;
            return nullptr;
        }
        TarvikHartField* f = &out_[count_++];
        *f = TarvikHartField{};
        f->name = name;
        f->kind = kind;
        return f;
    }
    void Number(const char* name, std::int32_t kind, double v) {
        if (TarvikHartField* f = Next(name, kind)) f->number = v;
    }
    void Raw(const char* name, std::int32_t kind, const std::uint8_t* data, std::size_t n) {
        TarvikHartField* f = Next(name, kind);
        if (!f) return;
        n = std::min(n, sizeof f->text - 1); // every codec text fits; the NUL always does
        std::memcpy(f->text, data, n);
        f->size = static_cast<std::uint32_t>(n);
    }

    TarvikHartField* out_;
    std::size_t capacity_, count_ = 0;
    bool overflow_ = false;
};

void Variables(Fields& f, std::uint8_t command, std::span<const std::uint8_t> data) {
    if (command == h::kCmdReadPrimaryVariable) {
        const auto pv = h::DecodePrimaryVariable(data);
        f.Real("pv", pv.value);
        f.Integer("pv_unit", pv.unit);
        return;
    }
    if (command == h::kCmdReadLoopCurrent) {
        const auto lc = h::DecodeLoopCurrent(data);
        f.Real("current_ma", lc.milliamperes);
        f.Real("percent_of_range", lc.percentOfRange);
        return;
    }
    const auto v = h::DecodeDynamicVariables(data);
    f.Real("current_ma", v.milliamperes);
    static constexpr const char* kValues[] = {"pv", "sv", "tv", "qv"};
    static constexpr const char* kUnits[] = {"pv_unit", "sv_unit", "tv_unit", "qv_unit"};
    for (std::size_t i = 0; i < v.count && i < std::size(kValues); ++i) {
        f.Real(kValues[i], v.variables[i].value);
        f.Integer(kUnits[i], v.variables[i].unit);
    }
}

void Texts(Fields& f, std::uint8_t command, std::span<const std::uint8_t> data) {
    if (command == h::kCmdReadMessage || command == h::kCmdWriteMessage) {
        f.Text("message", h::DecodeMessage(data));
    } else if (command == h::kCmdReadLongTag || command == h::kCmdWriteLongTag) {
        f.Text("long_tag", h::DecodeLongTag(data));
    } else {
        const auto t = h::DecodeTagDescriptorDate(data);
        f.Text("tag", t.tag);
        f.Text("descriptor", t.descriptor);
        f.Integer("day", t.day);
        f.Integer("month", t.month);
        if (t.yearSince1900) f.Integer("year", kYearBase + *t.yearSince1900);
    }
}

void Ranges(Fields& f, std::uint8_t command, std::span<const std::uint8_t> data) {
    if (command == h::kCmdReadTransducerInfo) {
        const auto t = h::DecodeTransducerInfo(data);
        f.Integer("transducer_serial", t.serialNumber);
        f.Integer("limits_unit", t.limitsUnit);
        f.Real("upper_limit", t.upperLimit);
        f.Real("lower_limit", t.lowerLimit);
        f.Real("minimum_span", t.minimumSpan);
        return;
    }
    const auto d = h::DecodeDeviceInfo(data);
    f.Integer("alarm_selection", d.alarmSelection);
    f.Integer("transfer_function", d.transferFunction);
    f.Integer("range_unit", d.rangeUnit);
    f.Real("upper_range", d.upperRange);
    f.Real("lower_range", d.lowerRange);
    f.Real("damping_s", d.dampingSeconds);
    f.Integer("write_protect", d.writeProtect);
    f.Integer("private_label", d.privateLabel);
    f.Integer("analog_channel_flags", d.analogChannelFlags);
}

void Others(Fields& f, std::uint8_t command, std::span<const std::uint8_t> data) {
    switch (command) {
    case h::kCmdWritePollingAddress: {
        const auto p = h::DecodePollingAddress(data);
        f.Integer("polling_address", p.address);
        f.Integer("loop_current_mode", p.loopCurrentMode);
        break;
    }
    case h::kCmdReadFinalAssembly:
    case h::kCmdWriteFinalAssembly:
        f.Integer("final_assembly", h::DecodeFinalAssembly(data));
        break;
    case h::kCmdResetConfigChanged:
        f.Integer("config_change_counter", h::DecodeConfigCounter(data));
        break;
    case h::kCmdReadAdditionalStatus: {
        const auto s = h::DecodeAdditionalStatus(data);
        f.Bytes("additional_status", std::span(s.bytes).first(s.count));
        break;
    }
    case h::kCmdWriteBurstCommand:
        f.Integer("burst_command", h::DecodeFirstByte(data));
        break;
    case h::kCmdBurstMode:
        f.Integer("burst_mode", h::DecodeFirstByte(data));
        break;
    default:
        break;
    }
}

} // namespace

std::int32_t IdentityFields(const hart::Identity& id, TarvikHartField* out, std::size_t capacity,
                            std::int32_t* count) {
    Fields f(out, capacity);
    f.Integer("complete", id.complete ? 1 : 0);
    if (id.complete) f.Bytes("long_address", id.LongAddress().unique);
    f.Integer("expansion", id.expansion);
    f.Integer("manufacturer", id.manufacturer);
    f.Integer("device_type", id.deviceType);
    f.Integer("preambles", id.preambles);
    f.Integer("universal_revision", id.universalRevision);
    f.Integer("device_revision", id.deviceRevision);
    f.Integer("software_revision", id.softwareRevision);
    f.Integer("hardware_revision", id.hardwareRevision);
    f.Integer("signalling", id.signalling);
    f.Integer("flags", id.flags);
    f.Integer("device_id", (id.deviceId[0] << 16) | (id.deviceId[1] << 8) | id.deviceId[2]);
    f.Integer("reply_preambles", id.replyPreambles);
    f.Integer("last_device_variable", id.lastDeviceVariable);
    f.Integer("config_change_counter", id.configChangeCounter);
    f.Integer("extended_status", id.extendedStatus);
    f.Integer("manufacturer_code", id.manufacturerCode);
    f.Integer("private_label", id.privateLabel);
    f.Integer("profile", id.profile);
    *count = static_cast<std::int32_t>(f.Count());
    return f.Overflowed() ? ResultBadLength : ResultOk;
}

std::int32_t DecodeFields(std::uint8_t command, std::span<const std::uint8_t> data, TarvikHartField* out,
                          std::size_t capacity, std::int32_t* count) {
    switch (command) {
    case h::kCmdReadUniqueId:
    case h::kCmdReadUniqueIdByTag:
    case h::kCmdReadUniqueIdByLongTag:
        return IdentityFields(h::DecodeIdentity(data), out, capacity, count);
    default:
        break;
    }
    Fields f(out, capacity);
    switch (command) {
    case h::kCmdReadPrimaryVariable:
    case h::kCmdReadLoopCurrent:
    case h::kCmdReadDynamicVariables:
        Variables(f, command, data);
        break;
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
    default:
        Others(f, command, data);
        break;
    }
    *count = static_cast<std::int32_t>(f.Count());
    return f.Overflowed() ? ResultBadLength : ResultOk;
}

} // namespace tarvik::link::c
