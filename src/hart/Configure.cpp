#include "Configure.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace tarvik::hart {

namespace {

constexpr std::size_t kFloatBytes = 4;
constexpr double kBurstUnitsPerSecond = 32000; // 1/32 ms

class Writer {
public:
    Writer& U8(std::uint8_t v) {
        if (r_.size < r_.bytes.size()) r_.bytes[r_.size++] = v;
        return *this;
    }
    Writer& U32(std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            U8(static_cast<std::uint8_t>(v >> shift));
        return *this;
    }
    Writer& F32(float v) { return U32(std::bit_cast<std::uint32_t>(v)); }
    RequestData Done() const { return r_; }

private:
    RequestData r_;
};

std::optional<float> FloatAt(std::span<const std::uint8_t> data, std::size_t pos) {
    if (data.size() < pos + kFloatBytes) return std::nullopt;
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < kFloatBytes; ++i)
        v = (v << 8) | data[pos + i];
    return std::bit_cast<float>(v);
}

} // namespace

RequestData FloatRequest(float value) {
    return Writer().F32(value).Done();
}

RequestData ByteRequest(std::uint8_t value) {
    return Writer().U8(value).Done();
}

RequestData RangeRequest(std::uint8_t unit, float upper, float lower) {
    return Writer().U8(unit).F32(upper).F32(lower).Done();
}

RequestData AssignmentsRequest(const std::array<std::uint8_t, kDynamicVariableCount>& codes) {
    Writer w;
    for (std::uint8_t c : codes)
        w.U8(c);
    return w.Done();
}

RequestData VariableUnitRequest(std::uint8_t code, std::uint8_t unit) {
    return Writer().U8(code).U8(unit).Done();
}

RequestData VariablesRequest(std::span<const std::uint8_t> codes, std::size_t most) {
    Writer w;
    for (std::uint8_t c : codes.first(std::min({codes.size(), most, kMaxVariableSlots})))
        w.U8(c);
    return w.Done();
}

RequestData BurstPeriodRequest(std::uint8_t message, std::uint32_t period, std::uint32_t maxPeriod) {
    return Writer().U8(message).U32(period).U32(maxPeriod).Done();
}

RequestData BurstTriggerRequest(std::uint8_t message, std::uint8_t mode, std::uint8_t classification,
                                std::uint8_t unit, float level) {
    return Writer().U8(message).U8(mode).U8(classification).U8(unit).F32(level).Done();
}

RequestData BurstVariablesRequest(std::span<const std::uint8_t> codes, std::optional<std::uint8_t> message) {
    const std::size_t slots = message ? kMaxVariableSlots : kMaxVariableSlotsOld;
    Writer w;
    for (std::size_t i = 0; i < slots; ++i)
        w.U8(i < codes.size() ? codes[i] : kSlotNotUsed);
    if (message) w.U8(*message);
    return w.Done();
}

RequestData BurstByteRequest(std::uint8_t value, std::uint8_t message) {
    return Writer().U8(value).U8(message).Done();
}

RangeValues DecodeRangeValues(std::span<const std::uint8_t> data) {
    RangeValues r;
    if (!data.empty()) r.unit = data[0];
    r.upper = FloatAt(data, 1);
    r.lower = FloatAt(data, 1 + kFloatBytes);
    return r;
}

std::optional<float> DecodeFloat(std::span<const std::uint8_t> data) {
    return FloatAt(data, 0);
}

std::optional<std::uint32_t> BurstTimeUnits(double seconds) {
    const double units = std::round(seconds * kBurstUnitsPerSecond);
    if (!std::isfinite(units) || units < 1 || units > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return static_cast<std::uint32_t>(units);
}

double BurstSeconds(std::uint32_t units) {
    return units / kBurstUnitsPerSecond;
}

const char* ConfigResponseText(std::uint8_t command, std::uint8_t code) {
    const bool range = command == kCmdWriteRange;
    const bool output = command == kCmdLoopTest || command == kCmdTrimZero || command == kCmdTrimGain;
    switch (code) {
    case kRcSetToNearest:
        return "set to the nearest possible value";
    case kRcLowerTooHigh:
        if (range) return "lower range value too high";
        if (output) return "incorrect loop current mode or value";
        if (command == kCmdWriteBurstPeriod || command == kCmdWriteBurstTrigger)
            return "invalid burst message";
        return nullptr;
    case kRcLowerTooLow:
        return range ? "lower range value too low" : nullptr;
    case kRcUpperTooHigh:
        if (range) return "upper range value too high";
        if (output) return "in multidrop mode";
        return nullptr;
    case kRcInvalidUnit:
        return range || command == kCmdWriteUnit || command == kCmdWriteVariableUnit ||
                       command == kCmdWriteBurstTrigger
                   ? "invalid unit code"
                   : nullptr;
    case kRcBothOutOfLimits:
        return range ? "upper and lower range values out of limits" : nullptr;
    case kRcSpanTooSmall:
        return "span too small";
    case kRcInvalidSpan:
        return "invalid span";
    default:
        return nullptr;
    }
}

bool ResponseIsWarning(std::uint8_t code) {
    return code == kRcSetToNearest || code == kRcSpanTooSmall;
}

const char* ConfigCommandName(std::uint8_t command) {
    switch (command) {
    case kCmdWriteDamping:
        return "write PV damping";
    case kCmdWriteRange:
        return "write PV range values";
    case kCmdSetUpperRange:
        return "set PV upper range value";
    case kCmdSetLowerRange:
        return "set PV lower range value";
    case kCmdLoopTest:
        return "enter/exit fixed current mode";
    case kCmdSelfTest:
        return "perform self test";
    case kCmdDeviceReset:
        return "perform device reset";
    case kCmdSetZero:
        return "set PV zero";
    case kCmdWriteUnit:
        return "write PV units";
    case kCmdTrimZero:
        return "trim loop current zero";
    case kCmdTrimGain:
        return "trim loop current gain";
    case kCmdWriteTransferFunction:
        return "write PV transfer function";
    case kCmdWriteAssignments:
        return "write dynamic variable assignments";
    case kCmdWriteVariableUnit:
        return "write device variable units";
    case kCmdWritePreambles:
        return "write number of response preambles";
    case kCmdWriteBurstPeriod:
        return "write burst period";
    case kCmdWriteBurstTrigger:
        return "write burst trigger";
    case kCmdWriteBurstVariables:
        return "write burst device variables";
    default:
        return nullptr;
    }
}

const char* TriggerModeName(std::uint8_t mode) {
    constexpr const char* kNames[] = {"continuous", "window", "rising", "falling", "on change"};
    return mode < std::size(kNames) ? kNames[mode] : nullptr;
}

} // namespace tarvik::hart
