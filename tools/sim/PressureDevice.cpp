#include "PressureDevice.h"

#include <cmath>
#include <numbers>
#include <sstream>

namespace tarvik::sim {
namespace {

constexpr double kBasePressureBar = 3.2; // the process sits here ...
constexpr double kSwingBar = 0.05;       // ... and swings this much ...
constexpr double kSwingPeriodS = 30.0;   // ... with this period
constexpr double kNoiseBar = 0.002;

struct PressureUnitDef {
    std::uint8_t code;
    double perBar;
};
constexpr PressureUnitDef kPressureUnits[] = {
    {7, 1.0},            // bar
    {8, 1000.0},         // mbar
    {6, 14.503773773},   // psi
    {11, 100000.0},      // Pa
    {12, 100.0},         // kPa
    {237, 0.1},          // MPa
    {14, 0.98692326672}, // atm
    {10, 1.0197162130},  // kg/cm2
    {13, 750.06167382},  // torr
    {5, 750.06167382},   // mmHg at 0 C
    {1, 401.46307866},   // inH2O at 68 F
};

} // namespace

PressureDevice::PressureDevice(HartIdentity identity, std::string tag, std::uint32_t baud, std::uint32_t seed)
    : HartDevice(identity, std::move(tag), "PRESSURE XMTR", baud, seed) {}

std::optional<double> PressureDevice::FromBar(double bar, std::uint8_t unit) {
    for (const PressureUnitDef& u : kPressureUnits)
        if (u.code == unit) return bar * u.perBar;
    return std::nullopt;
}

double PressureDevice::PressureBar() const {
    return kBasePressureBar + kSwingBar * std::sin(2 * std::numbers::pi * time_ / kSwingPeriodS);
}

bool PressureDevice::OverRange() const {
    return PressureBar() > fullScaleBar_[static_cast<std::size_t>(application_ - 1)];
}

bool PressureDevice::IsWrite(std::uint8_t command) const {
    return command == kCmdSelectApplication || command == kCmdSelectPressureUnit;
}

std::optional<HartAnswer> PressureDevice::Command(std::uint8_t command, std::span<const std::uint8_t> data) {
    switch (command) {
    case kCmdReadPrimary: {
        Bytes out{unit_};
        AppendFloat(out, static_cast<float>(FromBar(PressureBar() + Noise(kNoiseBar), unit_).value_or(0)));
        return HartAnswer::Ok(std::move(out));
    }
    case kCmdReadRange: {
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] < 1 || data[0] > kApplicationCount) return HartAnswer::Refuse(kRcInvalidSelection);
        Bytes out{unit_};
        AppendFloat(out, static_cast<float>(FromBar(fullScaleBar_[data[0] - 1U], unit_).value_or(0)));
        return HartAnswer::Ok(std::move(out));
    }
    case kCmdSelectPressureUnit:
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (!FromBar(1, data[0])) return HartAnswer::Refuse(kRcInvalidSelection);
        if (unit_ != data[0]) ConfigChanged();
        unit_ = data[0];
        return HartAnswer::Ok({unit_});
    case kCmdSelectApplication:
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (data[0] < 1 || data[0] > kApplicationCount) return HartAnswer::Refuse(kRcInvalidSelection);
        if (application_ != data[0]) ConfigChanged();
        application_ = data[0];
        return HartAnswer::Ok({data[0]});
    case kCmdReadPressureSettings:
        // Active application, pressure unit, damping (tenths of a second), two reserved bytes.
        return HartAnswer::Ok({static_cast<std::uint8_t>(application_), unit_, 5, 0, 0});
    default:
        return std::nullopt;
    }
}

std::array<std::uint8_t, 4> PressureDevice::AdditionalStatus() const {
    // Byte 0: bit 0 pressure above the active application's range. Byte 1: bit 0 write-protected.
    // Byte 2: bit 0 working data not saved.
    std::array<std::uint8_t, 4> s{};
    if (OverRange()) s[0] |= 0x01;
    if (WriteProtected()) s[1] |= 0x01;
    if (!Saved()) s[2] |= 0x01;
    return s;
}

std::uint8_t PressureDevice::ProcessStatus() const {
    return OverRange() ? static_cast<std::uint8_t>(kStatusPvOutOfLimits | kStatusMoreStatus) : 0;
}

std::string PressureDevice::SaveConfig() const {
    std::ostringstream s;
    s << application_ << ' ' << int(unit_);
    return s.str();
}

void PressureDevice::LoadConfig(const std::string& saved) {
    std::istringstream s(saved);
    int app = application_, unit = unit_;
    s >> app >> unit;
    application_ = app;
    unit_ = static_cast<std::uint8_t>(unit);
}

} // namespace tarvik::sim
