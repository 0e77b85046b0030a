// WalkHartReply: the one walk over the HART codec's decoded replies (tarvik/HartFields.h).
#include "tarvik/HartFields.h"

#include <iterator>

#include "hart/Universal.h"

namespace tarvik::link {

namespace {

namespace h = tarvik::hart;
using Kind = HartInteger;

template <class T>
void Integer(HartFieldSink& s, const HartFieldName& name, const std::optional<T>& v,
             Kind kind = Kind::Plain) {
    if (v) s.Integer(name, static_cast<std::int64_t>(*v), kind);
}

void Real(HartFieldSink& s, const HartFieldName& name, const std::optional<float>& v,
          std::optional<std::uint8_t> unitCode = std::nullopt) {
    if (v) s.Real(name, *v, unitCode);
}

void Variables(HartFieldSink& s, std::uint8_t command, std::span<const std::uint8_t> data) {
    if (command == h::kCmdReadPrimaryVariable) {
        const auto pv = h::DecodePrimaryVariable(data);
        s.Measured({"pv", "PV"}, "pv_unit", pv.value, pv.unit);
        return;
    }
    if (command == h::kCmdReadLoopCurrent) {
        const auto lc = h::DecodeLoopCurrent(data);
        Real(s, {"current_ma", "loop current", "mA"}, lc.milliamperes);
        Real(s, {"percent_of_range", "percent", "%"}, lc.percentOfRange);
        return;
    }
    const auto v = h::DecodeDynamicVariables(data);
    Real(s, {"current_ma", "loop current", "mA"}, v.milliamperes);
    static constexpr HartFieldName kValues[] = {{"pv", "PV"}, {"sv", "SV"}, {"tv", "TV"}, {"qv", "QV"}};
    static constexpr const char* kUnits[] = {"pv_unit", "sv_unit", "tv_unit", "qv_unit"};
    for (std::size_t i = 0; i < v.count && i < std::size(kValues); ++i)
        s.Measured(kValues[i], kUnits[i], v.variables[i].value, v.variables[i].unit);
}

void Texts(HartFieldSink& s, std::uint8_t command, std::span<const std::uint8_t> data) {
    if (command == h::kCmdReadMessage || command == h::kCmdWriteMessage) {
        s.Text({"message", "message"}, h::DecodeMessage(data));
    } else if (command == h::kCmdReadLongTag || command == h::kCmdWriteLongTag) {
        s.Text({"long_tag", "long tag"}, h::DecodeLongTag(data));
    } else {
        const auto t = h::DecodeTagDescriptorDate(data);
        s.Text({"tag", "tag"}, t.tag);
        s.Text({"descriptor", "descriptor"}, t.descriptor);
        s.Date(t.day, t.month, t.yearSince1900);
    }
}

void Ranges(HartFieldSink& s, std::uint8_t command, std::span<const std::uint8_t> data,
            std::optional<std::uint8_t> universalRevision) {
    if (command == h::kCmdReadTransducerInfo) {
        const auto t = h::DecodeTransducerInfo(data);
        Integer(s, {"transducer_serial", "sensor serial"}, t.serialNumber);
        Integer(s, {"limits_unit", "limits unit"}, t.limitsUnit, Kind::UnitCode);
        Real(s, {"upper_limit", "sensor upper"}, t.upperLimit, t.limitsUnit);
        Real(s, {"lower_limit", "sensor lower"}, t.lowerLimit, t.limitsUnit);
        Real(s, {"minimum_span", "minimum span"}, t.minimumSpan, t.limitsUnit);
        return;
    }
    const auto d = universalRevision ? h::DecodeDeviceInfoOfRevision(data, *universalRevision)
                                     : h::DecodeDeviceInfo(data);
    Integer(s, {"alarm_selection", "alarm code"}, d.alarmSelection);
    Integer(s, {"transfer_function", "transfer"}, d.transferFunction, Kind::TransferFunction);
    Integer(s, {"range_unit", "range unit"}, d.rangeUnit, Kind::UnitCode);
    Real(s, {"upper_range", "upper range"}, d.upperRange, d.rangeUnit);
    Real(s, {"lower_range", "lower range"}, d.lowerRange, d.rangeUnit);
    Real(s, {"damping_s", "damping", "s"}, d.dampingSeconds);
    Integer(s, {"write_protect", "write protect"}, d.writeProtect);
    Integer(s, {"private_label", "private label"}, d.privateLabel);
    Integer(s, {"analog_channel_flags", "analog flags"}, d.analogChannelFlags);
}

void Others(HartFieldSink& s, std::uint8_t command, std::span<const std::uint8_t> data) {
    switch (command) {
    case h::kCmdWritePollingAddress: {
        const auto p = h::DecodePollingAddress(data);
        Integer(s, {"polling_address", "polling address"}, p.address);
        Integer(s, {"loop_current_mode", "current mode"}, p.loopCurrentMode);
        break;
    }
    case h::kCmdReadFinalAssembly:
    case h::kCmdWriteFinalAssembly:
        Integer(s, {"final_assembly", "final assembly"}, h::DecodeFinalAssembly(data));
        break;
    case h::kCmdResetConfigChanged:
        Integer(s, {"config_change_counter", "config changes"}, h::DecodeConfigCounter(data));
        break;
    case h::kCmdReadAdditionalStatus: {
        const auto st = h::DecodeAdditionalStatus(data);
        s.Bytes({"additional_status", "more status"}, std::span(st.bytes).first(st.count));
        break;
    }
    case h::kCmdWriteBurstCommand:
        Integer(s, {"burst_command", "burst command"}, h::DecodeFirstByte(data));
        break;
    case h::kCmdBurstMode:
        Integer(s, {"burst_mode", "burst mode"}, h::DecodeFirstByte(data));
        break;
    default:
        break;
    }
}

} // namespace

void WalkHartReply(std::uint8_t command, std::span<const std::uint8_t> data, HartFieldSink& sink,
                   std::optional<std::uint8_t> universalRevision) {
    switch (command) {
    case h::kCmdReadUniqueId:
    case h::kCmdReadUniqueIdByTag:
    case h::kCmdReadUniqueIdByLongTag:
        sink.Identity(h::DecodeIdentity(data));
        break;
    case h::kCmdReadPrimaryVariable:
    case h::kCmdReadLoopCurrent:
    case h::kCmdReadDynamicVariables:
        Variables(sink, command, data);
        break;
    case h::kCmdReadMessage:
    case h::kCmdWriteMessage:
    case h::kCmdReadTagDescriptorDate:
    case h::kCmdWriteTagDescriptorDate:
    case h::kCmdReadLongTag:
    case h::kCmdWriteLongTag:
        Texts(sink, command, data);
        break;
    case h::kCmdReadTransducerInfo:
    case h::kCmdReadDeviceInfo:
        Ranges(sink, command, data, universalRevision);
        break;
    default:
        Others(sink, command, data);
        break;
    }
}

} // namespace tarvik::link
