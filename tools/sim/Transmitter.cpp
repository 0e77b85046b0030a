#include "Transmitter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "hart/Configure.h"
#include "hart/Status.h"
#include "hart/Universal.h"

namespace tarvik::sim {

namespace {

namespace h = tarvik::hart;

constexpr std::uint8_t kUniversalRevision = 7;
constexpr std::uint8_t kPreamblesWanted = 5;
constexpr std::uint8_t kLastDeviceVariable = 3;
constexpr std::uint8_t kSignallingBell202 = 0;
constexpr std::uint8_t kProfileTransmitter = 1;
constexpr std::uint8_t kUnitCelsius = 32;
constexpr std::uint8_t kWriteProtectNone = 0;
constexpr std::uint8_t kReserved = 250; // command 15 byte 16 from revision 7 on
constexpr std::uint8_t kNotUsed = 250;  // a unit, code or slot not used
// Extended device status (command 0 byte 16, command 9 byte 0).
constexpr std::uint8_t kExtendedDeviceVariableAlert = 0x02;
// Device variable classifications (command 8, 9) and status (command 9).
constexpr std::uint8_t kClassNone = 0;
constexpr std::uint8_t kClassTemperature = 64;
constexpr std::uint8_t kVariableStatusGood = 0xC0;
// Device variable codes that stand for the dynamic variables PV..QV.
constexpr std::uint8_t kCodePrimary = 246, kCodeQuaternary = 249;
constexpr std::size_t kMaxSlotsWithStatus = 8; // command 9
constexpr std::size_t kMaxSlots = 4;           // command 33
constexpr double kTimeUnitsPerSecond = 32000;  // 1/32 ms
constexpr double kSecondsPerDay = 86400;
constexpr std::uint8_t kBurstMessages = 1;
constexpr std::size_t kAdditionalStatusBytes = 6;
constexpr float kLowestCurrent = 3.8f, kHighestCurrent = 20.5f, kFixedCurrent = 4.0f;
constexpr float kSensorUpper = 850, kSensorLower = -200, kMinimumSpan = 10;
constexpr double kPt100Alpha = 0.00385; // sensor resistance per degree, relative
constexpr double kPt100Ohms = 100;
constexpr double kCycleSeconds = 120;
constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kPackedTag = h::kPackedTagBytes;

// The commands that change the configuration: refused in write-protect mode, and they set the
// configuration-changed flag.
bool ConfigurationWrite(std::uint8_t c) {
    switch (c) {
    case h::kCmdWritePollingAddress:
    case h::kCmdWriteMessage:
    case h::kCmdWriteTagDescriptorDate:
    case h::kCmdWriteFinalAssembly:
    case h::kCmdWriteLongTag:
    case h::kCmdWriteDamping:
    case h::kCmdWriteRange:
    case h::kCmdSetUpperRange:
    case h::kCmdSetLowerRange:
    case h::kCmdSetZero:
    case h::kCmdWriteUnit:
    case h::kCmdTrimZero:
    case h::kCmdTrimGain:
    case h::kCmdWriteTransferFunction:
    case h::kCmdWriteAssignments:
    case h::kCmdWriteVariableUnit:
    case h::kCmdWritePreambles:
    case h::kCmdWriteBurstPeriod:
    case h::kCmdWriteBurstTrigger:
    case h::kCmdWriteBurstVariables:
    case h::kCmdWriteBurstCommand:
    case h::kCmdBurstMode:
        return true;
    default:
        return false;
    }
}

bool ValidBurstCommand(std::uint8_t c) {
    return c == h::kCmdReadPrimaryVariable || c == h::kCmdReadLoopCurrent ||
           c == h::kCmdReadDynamicVariables || c == h::kCmdReadVariablesWithStatus ||
           c == h::kCmdReadDeviceVariables;
}

void Put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void Put32(Bytes& out, std::uint32_t v) {
    Put16(out, static_cast<std::uint16_t>(v >> 16));
    Put16(out, static_cast<std::uint16_t>(v));
}

std::uint8_t High(std::uint16_t v) {
    return static_cast<std::uint8_t>(v >> 8);
}

std::uint8_t Low(std::uint16_t v) {
    return static_cast<std::uint8_t>(v);
}

} // namespace

Transmitter::Transmitter(TransmitterConfig config, std::uint32_t seed)
    : config_(std::move(config)), finalAssembly_(1000 + config_.deviceId[2]),
      loopCurrentMode_(config_.polling == 0 ? h::kLoopCurrentEnabled : h::kLoopCurrentDisabled), rng_(seed) {
    pv_ = 60 + 25 * std::sin(config_.phase);
    sv_ = 22;
}

h::Address Transmitter::LongAddress() const {
    return h::Address::Long({High(kTransmitterType), Low(kTransmitterType), config_.deviceId[0],
                             config_.deviceId[1], config_.deviceId[2]});
}

std::string Transmitter::Describe() const {
    const auto& u = LongAddress().unique;
    char buf[96];
    std::snprintf(buf, sizeof buf, "polling %u  address %02X:%02X%02X%02X  tag %s", config_.polling, u[1],
                  u[2], u[3], u[4], config_.tag.c_str());
    return buf;
}

bool Transmitter::ForMe(const h::Frame& request) const {
    if (!request.isLong) return (request.address[0] & h::kAddressMask) == config_.polling;
    const h::Address a = request.DeviceAddress();
    if (a == LongAddress()) return true;
    // The look-ups by tag go to the broadcast address (all zero); only the right tag answers.
    const bool lookup =
        request.command == h::kCmdReadUniqueIdByTag || request.command == h::kCmdReadUniqueIdByLongTag;
    return lookup && a == h::Address::Long({});
}

void Transmitter::Advance(double now) {
    if (elapsed_ < 0) elapsed_ = now;
    const double dt = std::clamp(now - elapsed_, 0.0, 3600.0);
    elapsed_ = std::max(elapsed_, now);
    const double target = 60 + 25 * std::sin(2 * kPi * now / kCycleSeconds + config_.phase) +
                          std::uniform_real_distribution<double>(-0.2, 0.2)(rng_);
    // First-order lag with the damping as its time constant.
    const double k = damping_ > 0 ? 1 - std::exp(-dt / damping_) : 1;
    pv_ += (target - pv_) * k;
    sv_ = 22 + 2 * std::sin(2 * kPi * now / (10 * kCycleSeconds));
}

float Transmitter::Percent() const {
    return static_cast<float>((Pv() - lowerRange_) / (upperRange_ - lowerRange_) * 100);
}

float Transmitter::Current() const {
    // With the loop current disabled (a multidrop line) it stays at its minimum.
    if (fixedCurrent_) return *fixedCurrent_;
    if (loopCurrentMode_ == h::kLoopCurrentDisabled) return kFixedCurrent;
    const float percent =
        transferFunction_ == h::kTransferSquareRoot ? 10 * std::sqrt(std::max(Percent(), 0.0f)) : Percent();
    return std::clamp(4 + 16 * percent / 100, kLowestCurrent, kHighestCurrent);
}

std::uint8_t Transmitter::DeviceStatus() const {
    std::uint8_t s = configChanged_ ? h::kStatusConfigChanged : 0;
    if (loopCurrentMode_ == h::kLoopCurrentDisabled || fixedCurrent_) s |= h::kStatusCurrentFixed;
    if (Pv() < lowerRange_ || Pv() > upperRange_) s |= h::kStatusPvOutOfLimits;
    return s;
}

std::uint8_t Transmitter::ExtendedStatus() const {
    return Pv() < lowerRange_ || Pv() > upperRange_ ? kExtendedDeviceVariableAlert : 0;
}

Bytes Transmitter::Identity() const {
    Bytes d{h::kExpansionCode,
            High(kTransmitterType),
            Low(kTransmitterType),
            kPreamblesWanted,
            kUniversalRevision,
            1,
            3,
            static_cast<std::uint8_t>((2 << 3) | kSignallingBell202),
            0,
            config_.deviceId[0],
            config_.deviceId[1],
            config_.deviceId[2],
            replyPreambles_,
            kLastDeviceVariable};
    Put16(d, changeCounter_);
    d.push_back(ExtendedStatus());
    Put16(d, kTransmitterManufacturer);
    Put16(d, kTransmitterPrivateLabel);
    d.push_back(kProfileTransmitter);
    return d;
}

Bytes Transmitter::Variables(std::uint8_t command) const {
    Bytes d;
    if (command == h::kCmdReadPrimaryVariable) {
        const auto pv = DeviceVariable(assignments_[0]);
        d.push_back(pv->unit);
        AppendFloat(d, pv->value);
        return d;
    }
    AppendFloat(d, Current());
    if (command == h::kCmdReadLoopCurrent) {
        AppendFloat(d, Percent());
        return d;
    }
    for (std::uint8_t code : assignments_) {
        const auto v = DeviceVariable(code);
        d.push_back(v ? v->unit : kNotUsed);
        AppendFloat(d, v ? v->value : 0);
    }
    return d;
}

std::optional<HartAnswer> Transmitter::Command(std::uint8_t command, std::span<const std::uint8_t> data,
                                               double now) {
    switch (command) {
    case h::kCmdReadUniqueId:
        return HartAnswer::Ok(Identity());
    case h::kCmdReadPrimaryVariable:
    case h::kCmdReadLoopCurrent:
    case h::kCmdReadDynamicVariables:
        return HartAnswer::Ok(Variables(command));
    case h::kCmdReadUniqueIdByTag: {
        std::array<std::uint8_t, kPackedTag> mine{};
        h::TagRequest(config_.tag, mine);
        if (data.size() < kPackedTag || !std::equal(mine.begin(), mine.end(), data.begin()))
            return std::nullopt;
        return HartAnswer::Ok(Identity());
    }
    case h::kCmdReadUniqueIdByLongTag: {
        std::array<std::uint8_t, h::kLongTagChars> mine{};
        h::LongTagRequest(config_.longTag, mine);
        if (data.size() < mine.size() || !std::equal(mine.begin(), mine.end(), data.begin()))
            return std::nullopt;
        return HartAnswer::Ok(Identity());
    }
    case h::kCmdReadMessage: {
        std::array<std::uint8_t, h::kPackedMessageBytes> m{};
        h::MessageRequest(config_.message, m);
        return HartAnswer::Ok(Bytes(m.begin(), m.end()));
    }
    case h::kCmdReadTagDescriptorDate: {
        std::array<std::uint8_t, h::kTagDescriptorDateBytes> t{};
        h::TagDescriptorDateRequest({config_.tag, config_.descriptor, date_[0], date_[1], date_[2]}, t);
        return HartAnswer::Ok(Bytes(t.begin(), t.end()));
    }
    case h::kCmdReadTransducerInfo: {
        Bytes d{0x00, config_.deviceId[1], config_.deviceId[2], kUnitCelsius};
        for (float f : {kSensorUpper, kSensorLower, kMinimumSpan})
            AppendFloat(d, f);
        return HartAnswer::Ok(std::move(d));
    }
    case h::kCmdReadDeviceInfo:
        return HartAnswer::Ok(DeviceInformation());
    case h::kCmdReadFinalAssembly:
        return HartAnswer::Ok({static_cast<std::uint8_t>(finalAssembly_ >> 16),
                               static_cast<std::uint8_t>(finalAssembly_ >> 8),
                               static_cast<std::uint8_t>(finalAssembly_)});
    case h::kCmdReadLongTag: {
        std::array<std::uint8_t, h::kLongTagChars> t{};
        h::LongTagRequest(config_.longTag, t);
        return HartAnswer::Ok(Bytes(t.begin(), t.end()));
    }
    case h::kCmdReadAdditionalStatus:
        return HartAnswer::Ok(Bytes(kAdditionalStatusBytes, 0));
    default:
        if (auto answer = Configuration(command, data, now)) return answer;
        if (auto answer = Settings(command, data)) return answer;
        return Write(command, data);
    }
}

Bytes Transmitter::DeviceInformation() const {
    Bytes d{0, transferFunction_, PvUnit()};
    for (double f :
         {FromCelsius(upperRange_, PvUnit()), FromCelsius(lowerRange_, PvUnit()), double{damping_}})
        AppendFloat(d, static_cast<float>(f));
    for (std::uint8_t b :
         {config_.writeProtected ? h::kWriteProtected : kWriteProtectNone, kReserved, std::uint8_t{0}})
        d.push_back(b);
    return d;
}

std::optional<Transmitter::Variable> Transmitter::DeviceVariable(std::uint8_t code) const {
    if (code >= kCodePrimary && code <= kCodeQuaternary) code = assignments_[code - kCodePrimary];
    if (code > kLastDeviceVariable) return std::nullopt;
    const double celsius[] = {Pv(), sv_, 0, sv_ + 8};
    const std::uint8_t unit = units_[code];
    if (code == 2)
        return Variable{code, kClassNone, unit, static_cast<float>(kPt100Ohms * (1 + kPt100Alpha * pv_))};
    return Variable{code, kClassTemperature, unit, static_cast<float>(FromCelsius(celsius[code], unit))};
}

std::optional<HartAnswer> Transmitter::Configuration(std::uint8_t command, std::span<const std::uint8_t> data,
                                                     double now) const {
    Bytes d;
    switch (command) {
    case h::kCmdReadLoopConfiguration:
        return HartAnswer::Ok({config_.polling, loopCurrentMode_});
    case h::kCmdReadClassifications:
        for (std::uint8_t code = 0; code <= kLastDeviceVariable; ++code)
            d.push_back(DeviceVariable(code)->classification);
        return HartAnswer::Ok(std::move(d));
    case h::kCmdReadVariablesWithStatus:
    case h::kCmdReadDeviceVariables: {
        const bool withStatus = command == h::kCmdReadVariablesWithStatus;
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (withStatus) d.push_back(ExtendedStatus());
        for (std::uint8_t code :
             data.first(std::min(data.size(), withStatus ? kMaxSlotsWithStatus : kMaxSlots))) {
            const auto v = DeviceVariable(code);
            if (!v) return HartAnswer::Refuse(kRcInvalidSelection);
            d.push_back(code);
            if (withStatus) d.push_back(v->classification);
            d.push_back(v->unit);
            AppendFloat(d, v->value);
            if (withStatus) d.push_back(kVariableStatusGood);
        }
        if (withStatus)
            Put32(d, static_cast<std::uint32_t>(std::fmod(std::max(now, 0.0), kSecondsPerDay) *
                                                kTimeUnitsPerSecond));
        return HartAnswer::Ok(std::move(d));
    }
    case h::kCmdReadVariableAssignments:
        return HartAnswer::Ok(Bytes(assignments_.begin(), assignments_.end()));
    case h::kCmdReadBurstConfiguration:
        if (!data.empty() && data[0] >= kBurstMessages) return HartAnswer::Refuse(kRcInvalidSelection);
        return HartAnswer::Ok(BurstConfiguration());
    default:
        return std::nullopt;
    }
}

std::optional<HartAnswer> Transmitter::Write(std::uint8_t command, std::span<const std::uint8_t> data) {
    const auto need = [&data](std::size_t n) { return data.size() >= n; };
    const Bytes echo(data.begin(), data.end());
    switch (command) {
    case h::kCmdWritePollingAddress: {
        if (!need(1)) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] > h::kMaxPollingAddress) return HartAnswer::Refuse(kRcInvalidSelection);
        // A master of revision 5 sends the address alone: the mode follows from it.
        const std::uint8_t mode =
            need(2) ? data[1] : (data[0] == 0 ? h::kLoopCurrentEnabled : h::kLoopCurrentDisabled);
        if (mode != h::kLoopCurrentEnabled && mode != h::kLoopCurrentDisabled)
            return HartAnswer::Refuse(kRcInvalidSelection);
        config_.polling = data[0];
        loopCurrentMode_ = mode;
        return HartAnswer::Ok({data[0], mode});
    }
    case h::kCmdWriteMessage:
        if (!need(h::kPackedMessageBytes)) return HartAnswer::Refuse(kRcTooFewBytes);
        config_.message = h::DecodeMessage(data);
        return HartAnswer::Ok(Bytes(data.begin(), data.begin() + h::kPackedMessageBytes));
    case h::kCmdWriteTagDescriptorDate: {
        if (!need(h::kTagDescriptorDateBytes)) return HartAnswer::Refuse(kRcTooFewBytes);
        const h::TagDescriptorDate t = h::DecodeTagDescriptorDate(data);
        config_.tag = t.tag;
        config_.descriptor = t.descriptor;
        date_ = {*t.day, *t.month, *t.yearSince1900};
        return HartAnswer::Ok(Bytes(data.begin(), data.begin() + h::kTagDescriptorDateBytes));
    }
    case h::kCmdWriteFinalAssembly:
        if (!need(3)) return HartAnswer::Refuse(kRcTooFewBytes);
        finalAssembly_ = *h::DecodeFinalAssembly(data);
        return HartAnswer::Ok(Bytes(data.begin(), data.begin() + 3));
    case h::kCmdWriteLongTag:
        if (!need(h::kLongTagChars)) return HartAnswer::Refuse(kRcTooFewBytes);
        config_.longTag = h::DecodeLongTag(data);
        return HartAnswer::Ok(Bytes(data.begin(), data.begin() + h::kLongTagChars));
    case h::kCmdResetConfigChanged:
        configChanged_ = false;
        return HartAnswer::Ok(
            Bytes{static_cast<std::uint8_t>(changeCounter_ >> 8), static_cast<std::uint8_t>(changeCounter_)});
    case h::kCmdWriteBurstCommand:
        if (!need(1)) return HartAnswer::Refuse(kRcTooFewBytes);
        if (!ValidBurstCommand(data[0])) return HartAnswer::Refuse(kRcInvalidSelection);
        burstCommand_ = data[0];
        return HartAnswer::Ok({data[0]});
    case h::kCmdBurstMode:
        if (!need(1)) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] != h::kBurstOff && data[0] != h::kBurstOn) return HartAnswer::Refuse(kRcInvalidSelection);
        burst_ = data[0] == h::kBurstOn;
        return HartAnswer::Ok({data[0]});
    default:
        return std::nullopt;
    }
}

Bytes Transmitter::Frame(h::FrameType type, const h::Address& address, h::Master master, std::uint8_t command,
                         const HartAnswer& answer) const {
    h::FrameBytes f;
    h::BuildReply(type, address, master, command, answer.responseCode, DeviceStatus(), answer.data,
                  replyPreambles_, f);
    return Bytes(f.Bytes().begin(), f.Bytes().end());
}

std::optional<Bytes> Transmitter::Answer(const h::Frame& request, double now) {
    if (request.type != h::FrameType::Request || !ForMe(request)) return std::nullopt;
    Advance(now);
    const h::Address own = request.isLong ? LongAddress() : h::Address::Polling(config_.polling);
    const h::Master master = request.FromPrimary() ? h::Master::Primary : h::Master::Secondary;
    if (!request.checksumOk)
        return Frame(h::FrameType::Reply, own, master, request.command,
                     HartAnswer::Refuse(kCommErrorChecksum));
    std::optional<HartAnswer> answer;
    if (config_.writeProtected && ConfigurationWrite(request.command))
        answer = HartAnswer::Refuse(h::kRcWriteProtected);
    else
        answer = Command(request.command, request.Data(), now);
    if (!answer) {
        const bool lookup =
            request.command == h::kCmdReadUniqueIdByTag || request.command == h::kCmdReadUniqueIdByLongTag;
        if (lookup) return std::nullopt; // not my tag: stay silent
        answer = HartAnswer::Refuse(kRcNotImplemented);
    }
    const bool took = answer->responseCode == kRcSuccess || answer->responseCode == h::kRcSetToNearest ||
                      answer->responseCode == h::kRcSpanTooSmall;
    if (took && ConfigurationWrite(request.command)) {
        configChanged_ = true;
        ++changeCounter_;
    }
    return Frame(h::FrameType::Reply, own, master, request.command, *answer);
}

std::optional<Bytes> Transmitter::Burst(double now) {
    if (!burst_ || now < burstDue_) return std::nullopt;
    Advance(now);
    // Continuous: every period; the other triggers here send at the longest period.
    const std::uint32_t period = triggerMode_ == h::kTriggerContinuous ? burstPeriod_ : burstMaxPeriod_;
    burstDue_ = now + h::BurstSeconds(period);
    HartAnswer answer = HartAnswer::Ok(Variables(burstCommand_));
    if (burstCommand_ == h::kCmdReadVariablesWithStatus || burstCommand_ == h::kCmdReadDeviceVariables) {
        Bytes codes;
        for (std::uint8_t c : burstVariables_)
            if (c != kNotUsed) codes.push_back(c);
        if (burstCommand_ == h::kCmdReadDeviceVariables && codes.size() > kMaxSlots) codes.resize(kMaxSlots);
        answer = *Configuration(burstCommand_, codes, now);
    }
    return Frame(h::FrameType::Burst, LongAddress(), h::Master::Primary, burstCommand_, answer);
}

} // namespace tarvik::sim
