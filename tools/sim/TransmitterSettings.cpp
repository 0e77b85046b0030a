// The configuration writes of the simulated transmitter, with the response codes a device gives:
// range values checked against the sensor limits (a span below the minimum taken with a warning),
// units that fit the variable, a loop test and trims refused in multidrop mode, and a burst set-up
// that changes what the device bursts and how often.
#include <algorithm>
#include <cmath>

#include "Transmitter.h"
#include "hart/Configure.h"
#include "hart/Status.h"
#include "hart/Universal.h"

namespace tarvik::sim {

namespace {

namespace h = tarvik::hart;

constexpr std::uint8_t kUnitCelsius = 32, kUnitFahrenheit = 33, kUnitRankine = 34, kUnitKelvin = 35;
constexpr std::uint8_t kUnitOhms = 37;
constexpr double kKelvinOffset = 273.15, kFahrenheitScale = 1.8, kFahrenheitOffset = 32;
constexpr double kSensorUpper = 850, kSensorLower = -200, kMinimumSpan = 10; // degrees Celsius
constexpr float kMaxDamping = 60;
constexpr float kLowestFixed = 3.8f, kHighestFixed = 20.5f;
constexpr float kTrimZeroAt = 4, kTrimGainAt = 20, kTrimTolerance = 1; // mA
constexpr std::uint8_t kMinPreambles = 5, kMaxPreambles = 20;
constexpr std::uint8_t kLastVariable = 3;
constexpr std::uint8_t kCodePrimary = 246, kCodeQuaternary = 249;
constexpr std::uint32_t kFastestBurst = 16000; // 0.5 s in 1/32 ms
constexpr std::uint8_t kBurstMessages = 1;
constexpr std::uint8_t kLastTrigger = h::kTriggerOnChange;
constexpr std::size_t kFloatBytes = 4;
constexpr std::size_t kBurstConfigurationBytes = 29;

float F32(std::span<const std::uint8_t> data, std::size_t at) {
    return *h::DecodeFloat(data.subspan(at));
}

std::uint32_t U32(std::span<const std::uint8_t> data, std::size_t at) {
    return static_cast<std::uint32_t>(data[at]) << 24 | static_cast<std::uint32_t>(data[at + 1]) << 16 |
           static_cast<std::uint32_t>(data[at + 2]) << 8 | data[at + 3];
}

Bytes Echo(std::span<const std::uint8_t> data, std::size_t n) {
    return Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
}

bool VariableCode(std::uint8_t c) {
    return c <= kLastVariable || (c >= kCodePrimary && c <= kCodeQuaternary);
}

} // namespace

bool TemperatureUnit(std::uint8_t unit) {
    return unit >= kUnitCelsius && unit <= kUnitKelvin;
}

double FromCelsius(double c, std::uint8_t unit) {
    switch (unit) {
    case kUnitFahrenheit:
        return c * kFahrenheitScale + kFahrenheitOffset;
    case kUnitRankine:
        return (c + kKelvinOffset) * kFahrenheitScale;
    case kUnitKelvin:
        return c + kKelvinOffset;
    default:
        return c;
    }
}

double ToCelsius(double v, std::uint8_t unit) {
    switch (unit) {
    case kUnitFahrenheit:
        return (v - kFahrenheitOffset) / kFahrenheitScale;
    case kUnitRankine:
        return v / kFahrenheitScale - kKelvinOffset;
    case kUnitKelvin:
        return v - kKelvinOffset;
    default:
        return v;
    }
}

std::optional<HartAnswer> Transmitter::Settings(std::uint8_t command, std::span<const std::uint8_t> data) {
    if (auto a = RangeSettings(command, data)) return a;
    if (auto a = OutputSettings(command, data)) return a;
    return BurstSettings(command, data);
}

HartAnswer Transmitter::WriteRange(std::uint8_t unit, double upper, double lower, bool echo) {
    const double u = ToCelsius(upper, unit), l = ToCelsius(lower, unit);
    const bool lowHigh = l > kSensorUpper, lowLow = l < kSensorLower;
    const bool upHigh = u > kSensorUpper, upLow = u < kSensorLower;
    if ((lowHigh || lowLow) && (upHigh || upLow)) return HartAnswer::Refuse(h::kRcBothOutOfLimits);
    if (lowHigh) return HartAnswer::Refuse(h::kRcLowerTooHigh);
    if (lowLow) return HartAnswer::Refuse(h::kRcLowerTooLow);
    if (upHigh) return HartAnswer::Refuse(h::kRcUpperTooHigh);
    if (upLow || u == l) return HartAnswer::Refuse(h::kRcInvalidSpan);
    upperRange_ = static_cast<float>(u);
    lowerRange_ = static_cast<float>(l);
    Bytes d;
    if (echo) {
        d.push_back(unit);
        AppendFloat(d, static_cast<float>(upper));
        AppendFloat(d, static_cast<float>(lower));
    }
    HartAnswer a = HartAnswer::Ok(std::move(d));
    if (std::fabs(u - l) < kMinimumSpan) a.responseCode = h::kRcSpanTooSmall; // taken, with a warning
    return a;
}

std::optional<HartAnswer> Transmitter::RangeSettings(std::uint8_t command,
                                                     std::span<const std::uint8_t> data) {
    switch (command) {
    case h::kCmdWriteDamping: {
        if (data.size() < kFloatBytes) return HartAnswer::Refuse(kRcTooFewBytes);
        const float s = F32(data, 0);
        if (!(s >= 0)) return HartAnswer::Refuse(h::kRcTooSmall);
        if (s > kMaxDamping) return HartAnswer::Refuse(h::kRcTooLarge);
        damping_ = s;
        return HartAnswer::Ok(Echo(data, kFloatBytes));
    }
    case h::kCmdWriteRange:
        if (data.size() < 1 + 2 * kFloatBytes) return HartAnswer::Refuse(kRcTooFewBytes);
        if (!TemperatureUnit(data[0])) return HartAnswer::Refuse(h::kRcInvalidUnit);
        return WriteRange(data[0], F32(data, 1), F32(data, 1 + kFloatBytes), true);
    case h::kCmdSetUpperRange:
        return WriteRange(kUnitCelsius, Pv(), lowerRange_, false);
    case h::kCmdSetLowerRange: // the span kept: the upper value moves with it
        return WriteRange(kUnitCelsius, Pv() + (upperRange_ - lowerRange_), Pv(), false);
    case h::kCmdSetZero:
        zero_ = pv_;
        return HartAnswer::Ok({});
    case h::kCmdWriteUnit:
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (!TemperatureUnit(data[0]) || assignments_[0] == 2) return HartAnswer::Refuse(h::kRcInvalidUnit);
        units_[assignments_[0]] = data[0];
        return HartAnswer::Ok({data[0]});
    case h::kCmdWriteTransferFunction:
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] != h::kTransferLinear && data[0] != h::kTransferSquareRoot)
            return HartAnswer::Refuse(kRcInvalidSelection);
        transferFunction_ = data[0];
        return HartAnswer::Ok({data[0]});
    case h::kCmdWriteAssignments:
        if (data.size() < assignments_.size()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (std::any_of(data.begin(), data.begin() + 4, [](std::uint8_t c) { return c > kLastVariable; }))
            return HartAnswer::Refuse(kRcInvalidSelection);
        std::copy(data.begin(), data.begin() + 4, assignments_.begin());
        return HartAnswer::Ok(Echo(data, assignments_.size()));
    case h::kCmdWriteVariableUnit: {
        if (data.size() < 2) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] > kLastVariable) return HartAnswer::Refuse(kRcInvalidSelection);
        const bool fits = data[0] == 2 ? data[1] == kUnitOhms : TemperatureUnit(data[1]);
        if (!fits) return HartAnswer::Refuse(h::kRcInvalidUnit);
        units_[data[0]] = data[1];
        return HartAnswer::Ok(Echo(data, 2));
    }
    default:
        return std::nullopt;
    }
}

std::optional<HartAnswer> Transmitter::OutputSettings(std::uint8_t command,
                                                      std::span<const std::uint8_t> data) {
    const bool output =
        command == h::kCmdLoopTest || command == h::kCmdTrimZero || command == h::kCmdTrimGain;
    if (output && data.size() < kFloatBytes) return HartAnswer::Refuse(kRcTooFewBytes);
    if (output && loopCurrentMode_ == h::kLoopCurrentDisabled) return HartAnswer::Refuse(h::kRcMultidrop);
    switch (command) {
    case h::kCmdLoopTest: {
        const float ma = F32(data, 0);
        if (ma == h::kLoopTestExit) {
            fixedCurrent_.reset();
        } else {
            if (!(ma >= kLowestFixed)) return HartAnswer::Refuse(h::kRcTooSmall);
            if (ma > kHighestFixed) return HartAnswer::Refuse(h::kRcTooLarge);
            fixedCurrent_ = ma;
        }
        Bytes d;
        AppendFloat(d, ma);
        return HartAnswer::Ok(std::move(d));
    }
    case h::kCmdTrimZero:
    case h::kCmdTrimGain: {
        const float at = command == h::kCmdTrimZero ? kTrimZeroAt : kTrimGainAt;
        if (fixedCurrent_ != at) return HartAnswer::Refuse(h::kRcLowerTooHigh); // not in the right mode
        const float ma = F32(data, 0);
        if (ma > at + kTrimTolerance) return HartAnswer::Refuse(h::kRcTooLarge);
        if (ma < at - kTrimTolerance) return HartAnswer::Refuse(h::kRcTooSmall);
        (command == h::kCmdTrimZero ? trimZero_ : trimGain_) = command == h::kCmdTrimZero ? at - ma : at / ma;
        return HartAnswer::Ok(Echo(data, kFloatBytes));
    }
    case h::kCmdSelfTest:
        return HartAnswer::Ok({});
    case h::kCmdDeviceReset:
        fixedCurrent_.reset();
        return HartAnswer::Ok({});
    case h::kCmdWritePreambles:
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] < kMinPreambles) return HartAnswer::Refuse(h::kRcTooSmall);
        if (data[0] > kMaxPreambles) return HartAnswer::Refuse(h::kRcTooLarge);
        replyPreambles_ = data[0];
        return HartAnswer::Ok({data[0]});
    default:
        return std::nullopt;
    }
}

std::optional<HartAnswer> Transmitter::BurstSettings(std::uint8_t command,
                                                     std::span<const std::uint8_t> data) {
    switch (command) {
    case h::kCmdWriteBurstPeriod: {
        if (data.size() < 1 + 2 * kFloatBytes) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] >= kBurstMessages) return HartAnswer::Refuse(h::kRcLowerTooHigh); // invalid burst message
        const std::uint32_t period = std::max(U32(data, 1), kFastestBurst);
        const std::uint32_t most = std::max(U32(data, 1 + kFloatBytes), period);
        burstPeriod_ = period;
        burstMaxPeriod_ = most;
        Bytes d;
        d.push_back(data[0]);
        for (std::uint32_t v : {period, most})
            for (int shift = 24; shift >= 0; shift -= 8)
                d.push_back(static_cast<std::uint8_t>(v >> shift));
        HartAnswer a = HartAnswer::Ok(std::move(d));
        if (period != U32(data, 1) || most != U32(data, 1 + kFloatBytes)) a.responseCode = h::kRcSetToNearest;
        return a;
    }
    case h::kCmdWriteBurstTrigger:
        if (data.size() < 4 + kFloatBytes) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] >= kBurstMessages) return HartAnswer::Refuse(h::kRcLowerTooHigh);
        if (data[1] > kLastTrigger) return HartAnswer::Refuse(kRcInvalidSelection);
        triggerMode_ = data[1];
        triggerClass_ = data[2];
        triggerUnit_ = data[3];
        triggerLevel_ = F32(data, 4);
        return HartAnswer::Ok(Echo(data, 4 + kFloatBytes));
    case h::kCmdWriteBurstVariables: {
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        const std::size_t slots = std::min(data.size(), burstVariables_.size());
        for (std::size_t i = 0; i < slots; ++i)
            if (data[i] != h::kSlotNotUsed && !VariableCode(data[i]))
                return HartAnswer::Refuse(kRcInvalidSelection);
        burstVariables_.fill(h::kSlotNotUsed);
        std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(slots), burstVariables_.begin());
        return HartAnswer::Ok(Echo(data, data.size()));
    }
    default:
        return std::nullopt;
    }
}

Bytes Transmitter::BurstConfiguration() const {
    Bytes d;
    d.reserve(kBurstConfigurationBytes);
    d.push_back(burst_ ? h::kBurstOn : h::kBurstOff);
    d.push_back(burstCommand_);
    for (std::uint8_t code : burstVariables_)
        d.push_back(code);
    for (std::uint8_t b : {std::uint8_t{0}, kBurstMessages, std::uint8_t{0}, burstCommand_})
        d.push_back(b); // burst message, messages, extended command
    for (std::uint32_t v : {burstPeriod_, burstMaxPeriod_})
        for (int shift = 24; shift >= 0; shift -= 8)
            d.push_back(static_cast<std::uint8_t>(v >> shift));
    for (std::uint8_t b : {triggerMode_, triggerClass_, triggerUnit_})
        d.push_back(b);
    AppendFloat(d, triggerLevel_);
    return d;
}

} // namespace tarvik::sim
