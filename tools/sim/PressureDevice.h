// A simulated digital pressure transmitter: six applications (measuring ranges) with their
// full-scale values, a selectable pressure unit, and a process pressure that drifts slowly.
#pragma once

#include <array>

#include "HartDevice.h"

namespace tarvik::sim {

inline constexpr std::uint8_t kCmdReadRange = 159;
inline constexpr std::uint8_t kCmdReadPressureSettings = 192;
inline constexpr std::uint8_t kCmdSelectApplication = 194;
inline constexpr std::uint8_t kCmdSelectPressureUnit = 198;
inline constexpr int kApplicationCount = 6;

class PressureDevice : public HartDevice {
public:
    PressureDevice(HartIdentity identity, std::string tag, std::uint32_t baud, std::uint32_t seed);

    std::string Kind() const override { return "HART pressure device"; }
    double PressureBar() const;
    int Application() const { return application_; }
    std::uint8_t Unit() const { return unit_; }

    // Value of `bar` in `unit`; nothing for a unit the device does not offer.
    static std::optional<double> FromBar(double bar, std::uint8_t unit);

protected:
    std::optional<HartAnswer> Command(std::uint8_t command, std::span<const std::uint8_t> data) override;
    bool IsWrite(std::uint8_t command) const override;
    void Advance(double dt) override { time_ += dt; }
    std::array<std::uint8_t, 4> AdditionalStatus() const override;
    std::uint8_t ProcessStatus() const override;
    std::string SaveConfig() const override;
    void LoadConfig(const std::string& saved) override;

private:
    bool OverRange() const;

    std::array<double, kApplicationCount> fullScaleBar_{1.0, 2.0, 5.0, 10.0, 20.0, 50.0};
    int application_ = 3;
    std::uint8_t unit_ = 7; // bar
    double time_ = 0;
};

} // namespace tarvik::sim
