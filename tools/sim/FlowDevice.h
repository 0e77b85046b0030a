// A simulated digital mass-flow controller: a gas table of ten entries, a flow unit, a set point, a
// flow that follows the set point with a first-order lag and a little noise, valve override, and a
// totalizer that integrates the flow.
#pragma once

#include <array>
#include <string>

#include "HartDevice.h"

namespace tarvik::sim {

// Device-specific commands of the flow device.
inline constexpr std::uint8_t kCmdReadGasName = 150;
inline constexpr std::uint8_t kCmdReadGasData = 151;
inline constexpr std::uint8_t kCmdReadSettings = 193;
inline constexpr std::uint8_t kCmdSelectGas = 195;
inline constexpr std::uint8_t kCmdSelectFlowUnit = 196;
inline constexpr std::uint8_t kCmdReadVor = 230;
inline constexpr std::uint8_t kCmdWriteVor = 231;
inline constexpr std::uint8_t kCmdReadSetPoint = 235;
inline constexpr std::uint8_t kCmdWriteSetPoint = 236;
inline constexpr std::uint8_t kCmdReadTotalizerState = 240;
inline constexpr std::uint8_t kCmdWriteTotalizerState = 241;
inline constexpr std::uint8_t kCmdReadTotalizer = 242;

// Unit codes the flow device uses.
inline constexpr std::uint8_t kUnitPercent = 57;
inline constexpr std::uint8_t kUnitNotUsed = 250; // set point given in the flow unit
inline constexpr std::uint8_t kUnitLitersPerMinute = 17;
inline constexpr std::uint8_t kUnitKgPerCubicMeter = 92;
inline constexpr std::uint8_t kUnitCelsius = 32;
inline constexpr std::uint8_t kUnitBar = 7;

inline constexpr int kGasCount = 10;
inline constexpr std::size_t kGasNameLength = 12;

enum Vor : std::uint8_t { kVorNormal = 0, kVorClosed = 1, kVorOpen = 2 };
enum TotalizerState : std::uint8_t { kTotalStop = 0, kTotalRun = 1, kTotalReset = 2 };

struct Gas {
    std::string name;    // 12 characters
    double fullScaleLpm; // full-scale flow of this gas, liters per minute
    double density;      // kg/m3 at the reference conditions
    double referenceCelsius;
    double referenceBar;
};

class FlowDevice : public HartDevice {
public:
    FlowDevice(HartIdentity identity, std::string tag, std::uint32_t baud, std::uint32_t seed);

    std::string Kind() const override { return "HART flow device"; }

    // State, for tests and the simulator's log.
    double FlowPercent() const { return flowPct_; }
    double SetPointPercent() const { return setPointPct_; }
    std::uint8_t FlowUnit() const { return flowUnit_; }
    int ActiveGas() const { return gas_; }
    std::uint8_t ValveOverride() const { return vor_; }
    double TotalLiters() const { return totalLiters_; }
    // Time constant of the flow's lag, seconds; the noise amplitude in percent of full scale.
    void SetDynamics(double tauSeconds, double noisePercent) {
        tau_ = tauSeconds;
        noisePct_ = noisePercent;
    }

    // Value of `liters per minute` in `unit`; nothing for a unit the device does not offer.
    std::optional<double> FromLpm(double lpm, std::uint8_t unit) const;

protected:
    std::optional<HartAnswer> Command(std::uint8_t command, std::span<const std::uint8_t> data) override;
    bool IsWrite(std::uint8_t command) const override;
    void Advance(double dt) override;
    std::array<std::uint8_t, 4> AdditionalStatus() const override;
    std::uint8_t ProcessStatus() const override;
    std::string SaveConfig() const override;
    void LoadConfig(const std::string& saved) override;

private:
    const Gas& ActiveGasEntry() const { return gases_[static_cast<std::size_t>(gas_ - 1)]; }
    double TargetPercent() const;
    std::uint8_t TotalUnit() const;
    double TotalInUnit() const;
    Bytes SetPointData() const;

    // One handler per device-specific command (Command's table); `data` is the request's data.
    using Data = std::span<const std::uint8_t>;
    using Handler = HartAnswer (FlowDevice::*)(std::uint8_t command, Data data);
    HartAnswer ReadFlow(std::uint8_t, Data);
    HartAnswer ReadSetPoint(std::uint8_t, Data);
    HartAnswer WriteSetPoint(std::uint8_t, Data data);
    HartAnswer GasCommand(std::uint8_t command, Data data); // read name, read data, select
    HartAnswer ReadSettings(std::uint8_t, Data);
    HartAnswer SelectFlowUnit(std::uint8_t, Data data);
    HartAnswer ReadVor(std::uint8_t, Data);
    HartAnswer WriteVor(std::uint8_t, Data data);
    HartAnswer ReadTotalizerState(std::uint8_t, Data);
    HartAnswer WriteTotalizerState(std::uint8_t, Data data);
    HartAnswer ReadTotalizer(std::uint8_t, Data);

    std::array<Gas, kGasCount> gases_;
    int gas_ = 1;
    std::uint8_t flowUnit_ = kUnitLitersPerMinute;
    double setPointPct_ = 0;
    double flowPct_ = 0;
    std::uint8_t vor_ = kVorNormal;
    std::uint8_t totalState_ = kTotalRun;
    double totalLiters_ = 0;
    double tau_ = 1.5;
    double noisePct_ = 0.05;
};

} // namespace tarvik::sim
