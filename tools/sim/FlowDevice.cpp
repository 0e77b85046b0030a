#include "FlowDevice.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <utility>

namespace tarvik::sim {
namespace {

constexpr double kDeviationLimitPct = 2.0; // additional status: flow away from the set point
constexpr double kOpenValvePct = 110.0;    // a valve forced open lets more than full scale through
constexpr double kNoiseFullAbovePct = 5.0; // full noise amplitude from this flow on
constexpr double kLitersPerCubicFoot = 28.316846592;
constexpr double kMinutesPerHour = 60.0;
constexpr double kSecondsPerMinute = 60.0;

// Flow units the device offers. Volume units convert by a factor from liters per minute; mass
// units by the active gas's density.
struct FlowUnitDef {
    std::uint8_t code;
    double perLpm; // volume: units per (l/min); mass: units per (kg/min)
    bool mass;
    std::uint8_t total;   // unit of the totalizer
    double totalPerLiter; // volume: total units per liter; mass: per kg
};
constexpr FlowUnitDef kFlowUnits[] = {
    {17, 1.0, false, 41, 1.0},                                               // l/min -> l
    {138, kMinutesPerHour, false, 41, 1.0},                                  // l/h -> l
    {19, kMinutesPerHour / 1000.0, false, 43, 1.0 / 1000.0},                 // m3/h -> m3
    {131, 1.0 / 1000.0, false, 43, 1.0 / 1000.0},                            // m3/min -> m3
    {15, 1.0 / kLitersPerCubicFoot, false, 112, 1.0 / kLitersPerCubicFoot},  // ft3/min -> ft3
    {123, 1.0 / kLitersPerCubicFoot, false, 168, 1.0 / kLitersPerCubicFoot}, // SCFM -> SCF
    {121, kMinutesPerHour / 1000.0, false, 166, 1.0 / 1000.0},               // Nm3/h -> Nm3
    {122, kMinutesPerHour, false, 167, 1.0},                                 // Nl/h -> Nl
    {70, 1000.0 / kSecondsPerMinute, true, 60, 1000.0},                      // g/s -> g
    {71, 1000.0, true, 60, 1000.0},                                          // g/min -> g
    {72, 1000.0 * kMinutesPerHour, true, 60, 1000.0},                        // g/h -> g
    {74, 1.0, true, 61, 1.0},                                                // kg/min -> kg
    {75, kMinutesPerHour, true, 61, 1.0},                                    // kg/h -> kg
};

const FlowUnitDef* FindUnit(std::uint8_t code) {
    for (const FlowUnitDef& u : kFlowUnits)
        if (u.code == code) return &u;
    return nullptr;
}

} // namespace

FlowDevice::FlowDevice(HartIdentity identity, std::string tag, std::uint32_t baud, std::uint32_t seed)
    : HartDevice(identity, std::move(tag), "MASS FLOW CTRL", baud, seed),
      gases_{{
          {"AIR         ", 50.0, 1.293, 0.0, 1.01325},
          {"NITROGEN N2 ", 50.0, 1.250, 0.0, 1.01325},
          {"OXYGEN O2   ", 49.0, 1.429, 0.0, 1.01325},
          {"ARGON AR    ", 70.0, 1.784, 0.0, 1.01325},
          {"HELIUM HE   ", 72.5, 0.179, 0.0, 1.01325},
          {"CO2         ", 37.0, 1.977, 0.0, 1.01325},
          {"HYDROGEN H2 ", 50.5, 0.090, 0.0, 1.01325},
          {"METHANE CH4 ", 38.0, 0.717, 0.0, 1.01325},
          {"PROPANE C3H8", 18.0, 2.010, 0.0, 1.01325},
          {"N2O         ", 35.5, 1.978, 0.0, 1.01325},
      }} {}

std::optional<double> FlowDevice::FromLpm(double lpm, std::uint8_t unit) const {
    const FlowUnitDef* u = FindUnit(unit);
    if (!u) return std::nullopt;
    if (!u->mass) return lpm * u->perLpm;
    const double kgPerMinute = lpm / 1000.0 * ActiveGasEntry().density;
    return kgPerMinute * u->perLpm;
}

double FlowDevice::TargetPercent() const {
    switch (vor_) {
    case kVorClosed:
        return 0.0;
    case kVorOpen:
        return kOpenValvePct;
    default:
        return setPointPct_;
    }
}

void FlowDevice::Advance(double dt) {
    // First-order lag toward the target; the totalizer takes the exact integral of the curve.
    const double target = TargetPercent();
    const double decay = std::exp(-dt / tau_);
    const double integralPct = target * dt + (flowPct_ - target) * tau_ * (1.0 - decay);
    flowPct_ = target + (flowPct_ - target) * decay;
    if (totalState_ == kTotalRun)
        totalLiters_ += integralPct / 100.0 * ActiveGasEntry().fullScaleLpm / kSecondsPerMinute;
}

std::uint8_t FlowDevice::TotalUnit() const {
    const FlowUnitDef* u = FindUnit(flowUnit_);
    return u ? u->total : 41;
}

double FlowDevice::TotalInUnit() const {
    const FlowUnitDef* u = FindUnit(flowUnit_);
    if (!u) return totalLiters_;
    if (!u->mass) return totalLiters_ * u->totalPerLiter;
    return totalLiters_ / 1000.0 * ActiveGasEntry().density * u->totalPerLiter;
}

Bytes FlowDevice::SetPointData() const {
    Bytes out{kUnitPercent};
    AppendFloat(out, static_cast<float>(setPointPct_));
    out.push_back(flowUnit_);
    AppendFloat(out,
                static_cast<float>(
                    FromLpm(setPointPct_ / 100.0 * ActiveGasEntry().fullScaleLpm, flowUnit_).value_or(0)));
    return out;
}

bool FlowDevice::IsWrite(std::uint8_t command) const {
    switch (command) {
    case kCmdWriteSetPoint:
    case kCmdSelectGas:
    case kCmdSelectFlowUnit:
    case kCmdWriteVor:
    case kCmdWriteTotalizerState:
        return true;
    default:
        return false;
    }
}

std::optional<HartAnswer> FlowDevice::Command(std::uint8_t command, std::span<const std::uint8_t> data) {
    static constexpr std::pair<std::uint8_t, Handler> kHandlers[] = {
        {kCmdReadPrimary, &FlowDevice::ReadFlow},
        {kCmdReadSetPoint, &FlowDevice::ReadSetPoint},
        {kCmdWriteSetPoint, &FlowDevice::WriteSetPoint},
        {kCmdReadGasData, &FlowDevice::GasCommand},
        {kCmdReadGasName, &FlowDevice::GasCommand},
        {kCmdSelectGas, &FlowDevice::GasCommand},
        {kCmdReadSettings, &FlowDevice::ReadSettings},
        {kCmdSelectFlowUnit, &FlowDevice::SelectFlowUnit},
        {kCmdReadVor, &FlowDevice::ReadVor},
        {kCmdWriteVor, &FlowDevice::WriteVor},
        {kCmdReadTotalizerState, &FlowDevice::ReadTotalizerState},
        {kCmdWriteTotalizerState, &FlowDevice::WriteTotalizerState},
        {kCmdReadTotalizer, &FlowDevice::ReadTotalizer},
    };
    for (const auto& [code, handler] : kHandlers)
        if (code == command) return (this->*handler)(command, data);
    return std::nullopt;
}

HartAnswer FlowDevice::ReadFlow(std::uint8_t, Data) {
    // Sensor noise, fading out toward zero flow (a closed valve reads a steady zero).
    const double pct = flowPct_ + Noise(noisePct_ * std::min(1.0, std::fabs(flowPct_) / kNoiseFullAbovePct));
    Bytes out{flowUnit_};
    AppendFloat(
        out, static_cast<float>(FromLpm(pct / 100.0 * ActiveGasEntry().fullScaleLpm, flowUnit_).value_or(0)));
    return HartAnswer::Ok(std::move(out));
}

HartAnswer FlowDevice::ReadSetPoint(std::uint8_t, Data) {
    return HartAnswer::Ok(SetPointData());
}

HartAnswer FlowDevice::WriteSetPoint(std::uint8_t, Data data) {
    if (data.size() < 5) return HartAnswer::Refuse(kRcTooFewBytes);
    const double value = FloatAt(data, 1);
    double pct = 0;
    if (data[0] == kUnitPercent) {
        pct = value;
    } else if (data[0] == kUnitNotUsed) {
        const double fs = FromLpm(ActiveGasEntry().fullScaleLpm, flowUnit_).value_or(0);
        pct = fs > 0 ? value / fs * 100.0 : NAN;
    } else {
        return HartAnswer::Refuse(kRcInvalidSelection);
    }
    if (std::isnan(pct)) return HartAnswer::Refuse(kRcInvalidSelection);
    if (pct < 0) return HartAnswer::Refuse(kRcTooSmall);
    if (pct > 100) return HartAnswer::Refuse(kRcTooLarge);
    setPointPct_ = pct;
    return HartAnswer::Ok(SetPointData());
}

HartAnswer FlowDevice::GasCommand(std::uint8_t command, Data data) {
    if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
    const int n = data[0];
    if (n < 1 || n > kGasCount) return HartAnswer::Refuse(kRcInvalidSelection);
    const Gas& g = gases_[static_cast<std::size_t>(n - 1)];
    // Reserved up front: g++ -O2 misjudges an insert into a one-element vector as out of bounds.
    Bytes out;
    out.reserve(32);
    out.push_back(data[0]);
    if (command == kCmdReadGasName) {
        out.insert(out.end(), g.name.begin(), g.name.begin() + kGasNameLength);
    } else if (command == kCmdReadGasData) {
        out.push_back(kUnitLitersPerMinute);
        AppendFloat(out, static_cast<float>(g.fullScaleLpm));
        out.push_back(kUnitKgPerCubicMeter);
        AppendFloat(out, static_cast<float>(g.density));
        out.push_back(kUnitCelsius);
        AppendFloat(out, static_cast<float>(g.referenceCelsius));
        out.push_back(kUnitBar);
        AppendFloat(out, static_cast<float>(g.referenceBar));
    } else if (gas_ != n) {
        gas_ = n;
        ConfigChanged();
    }
    return HartAnswer::Ok(std::move(out));
}

HartAnswer FlowDevice::ReadSettings(std::uint8_t, Data) {
    // Control mode (0: digital set point), active gas, flow unit, totalizer state.
    return HartAnswer::Ok({0, static_cast<std::uint8_t>(gas_), flowUnit_, totalState_});
}

HartAnswer FlowDevice::SelectFlowUnit(std::uint8_t, Data data) {
    if (data.size() < 2) return HartAnswer::Refuse(kRcTooFewBytes);
    if (!FindUnit(data[0])) return HartAnswer::Refuse(kRcInvalidSelection);
    if (flowUnit_ != data[0]) {
        flowUnit_ = data[0];
        ConfigChanged();
    }
    return HartAnswer::Ok({data[0], data[1]});
}

HartAnswer FlowDevice::ReadVor(std::uint8_t, Data) {
    return HartAnswer::Ok({vor_});
}

HartAnswer FlowDevice::WriteVor(std::uint8_t, Data data) {
    if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
    if (data[0] > kVorOpen) return HartAnswer::Refuse(kRcTooLarge);
    vor_ = data[0];
    return HartAnswer::Ok({vor_});
}

HartAnswer FlowDevice::ReadTotalizerState(std::uint8_t, Data) {
    return HartAnswer::Ok({totalState_, TotalUnit()});
}

HartAnswer FlowDevice::WriteTotalizerState(std::uint8_t, Data data) {
    if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
    if (data[0] > kTotalReset) return HartAnswer::Refuse(kRcTooLarge);
    if (data[0] == kTotalReset)
        totalLiters_ = 0; // the counting state stays as it was
    else
        totalState_ = data[0];
    return HartAnswer::Ok({data[0]});
}

HartAnswer FlowDevice::ReadTotalizer(std::uint8_t, Data) {
    Bytes out{TotalUnit()};
    AppendFloat(out, static_cast<float>(TotalInUnit()));
    return HartAnswer::Ok(std::move(out));
}

std::array<std::uint8_t, 4> FlowDevice::AdditionalStatus() const {
    // Byte 0: bit 0 flow away from the set point, bit 1 valve override active, bit 2 totalizer
    // running. Byte 1: bit 0 write-protected. Byte 2: bit 0 working data not saved.
    std::array<std::uint8_t, 4> s{};
    if (std::fabs(flowPct_ - setPointPct_) > kDeviationLimitPct) s[0] |= 0x01;
    if (vor_ != kVorNormal) s[0] |= 0x02;
    if (totalState_ == kTotalRun) s[0] |= 0x04;
    if (WriteProtected()) s[1] |= 0x01;
    if (!Saved()) s[2] |= 0x01;
    return s;
}

std::uint8_t FlowDevice::ProcessStatus() const {
    return vor_ != kVorNormal ? kStatusMoreStatus : 0;
}

std::string FlowDevice::SaveConfig() const {
    std::ostringstream s;
    s << gas_ << ' ' << int(flowUnit_);
    return s.str();
}

void FlowDevice::LoadConfig(const std::string& saved) {
    std::istringstream s(saved);
    int gas = gas_, unit = flowUnit_;
    s >> gas >> unit;
    gas_ = gas;
    flowUnit_ = static_cast<std::uint8_t>(unit);
}

} // namespace tarvik::sim
