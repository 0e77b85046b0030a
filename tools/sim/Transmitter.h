// A simulated generic HART transmitter of universal revision 7 for multidrop lines: answers short
// frames at its polling address and long frames at its unique address, with the universal commands
// (0-3, 6-9, 11-22, 38, 48) and the common-practice configuration commands (33-37, 40-47, 50-53,
// 59, 103-109) with their response codes: range checks against the sensor limits, a loop test
// refused in multidrop mode, write protection, a burst set-up that changes what and how it bursts.
// Its four device variables (codes 0-3, mapped to PV..QV) move: a process temperature (PV) that
// drifts, an ambient temperature (SV), the sensor resistance (TV) and the electronics temperature
// (QV). Frames are the codec's (short and long); packed text and floats as the other devices.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>

#include "HartDevice.h"
#include "hart/Frame.h"

namespace tarvik::sim {

// Command 0 bytes 1-2, the expanded device type (they make the long address 1C:66:...), and bytes
// 17-18 and 19-20: manufacturer and private label, each different from the others so that a
// decoder reading the wrong bytes shows. Any values: the simulator's own.
inline constexpr std::uint16_t kTransmitterType = 0x1C66;
inline constexpr std::uint16_t kTransmitterManufacturer = 0x005A;
inline constexpr std::uint16_t kTransmitterPrivateLabel = 0x00A5;

// Temperatures in a temperature unit (degrees Celsius, Fahrenheit, Rankine, kelvin); nothing for
// another unit.
bool TemperatureUnit(std::uint8_t unit);
double FromCelsius(double celsius, std::uint8_t unit);
double ToCelsius(double value, std::uint8_t unit);

struct TransmitterConfig {
    std::uint8_t polling = 0;
    std::array<std::uint8_t, 3> deviceId{};
    std::string tag;        // up to 8 packable characters
    std::string descriptor; // up to 16
    std::string message;    // up to 32
    std::string longTag;    // up to 32
    double phase = 0;       // where on its slow cycle the process starts
    bool writeProtected = false;
};

class Transmitter {
public:
    Transmitter(TransmitterConfig config, std::uint32_t seed);

    // The frame answering `request` at `now` (seconds), or nothing when it is not for this device.
    std::optional<Bytes> Answer(const hart::Frame& request, double now);
    // The burst frame due at `now` when burst mode is on (the caller paces them).
    std::optional<Bytes> Burst(double now);

    bool Bursting() const { return burst_; }
    void SetWriteProtected(bool on) { config_.writeProtected = on; }
    std::uint8_t Polling() const { return config_.polling; }
    const std::string& Tag() const { return config_.tag; }
    hart::Address LongAddress() const;
    std::string Describe() const;

private:
    bool ForMe(const hart::Frame& request) const;
    std::optional<HartAnswer> Command(std::uint8_t command, std::span<const std::uint8_t> data, double now);
    std::optional<HartAnswer> Write(std::uint8_t command, std::span<const std::uint8_t> data);
    std::optional<HartAnswer> Configuration(std::uint8_t command, std::span<const std::uint8_t> data,
                                            double now) const;
    Bytes Identity() const;
    Bytes Variables(std::uint8_t command) const;
    // Device variable `code` (0-3, or 246-249 for PV..QV): classification, unit and value.
    struct Variable {
        std::uint8_t code, classification, unit;
        float value;
    };
    std::optional<Variable> DeviceVariable(std::uint8_t code) const;
    void Advance(double now);
    float Percent() const;
    float Current() const;
    std::uint8_t DeviceStatus() const;
    std::uint8_t ExtendedStatus() const;
    // TransmitterSettings.cpp: the configuration writes (nothing when `command` is not one).
    std::optional<HartAnswer> Settings(std::uint8_t command, std::span<const std::uint8_t> data);
    std::optional<HartAnswer> RangeSettings(std::uint8_t command, std::span<const std::uint8_t> data);
    std::optional<HartAnswer> OutputSettings(std::uint8_t command, std::span<const std::uint8_t> data);
    std::optional<HartAnswer> BurstSettings(std::uint8_t command, std::span<const std::uint8_t> data);
    HartAnswer WriteRange(std::uint8_t unit, double upper, double lower, bool echo);
    Bytes BurstConfiguration() const;
    Bytes DeviceInformation() const;
    double Pv() const { return pv_ - zero_; } // degrees Celsius
    std::uint8_t PvUnit() const { return units_[assignments_[0] & 3]; }
    Bytes Frame(hart::FrameType type, const hart::Address& address, hart::Master master, std::uint8_t command,
                const HartAnswer& answer) const;

    TransmitterConfig config_;
    std::array<std::uint8_t, 3> date_{1, 1, 125};
    std::uint32_t finalAssembly_ = 0;
    std::uint8_t burstCommand_ = 1;
    bool burst_ = false;
    std::uint8_t loopCurrentMode_;
    bool configChanged_ = false;
    std::uint16_t changeCounter_ = 0;
    float lowerRange_ = 0, upperRange_ = 150, damping_ = 0.5f; // range in degrees Celsius
    double zero_ = 0;                                          // set by command 43
    std::uint8_t transferFunction_ = 0;
    std::optional<float> fixedCurrent_; // loop test (command 40)
    float trimZero_ = 0, trimGain_ = 1; // loop current trims (45, 46)
    std::uint8_t replyPreambles_ = 5;
    std::array<std::uint8_t, 4> assignments_{0, 1, 2, 3}; // PV..QV
    std::array<std::uint8_t, 4> units_{32, 32, 37, 32};   // of device variables 0..3
    std::array<std::uint8_t, 8> burstVariables_{0, 1, 2, 3, 250, 250, 250, 250};
    std::uint32_t burstPeriod_ = 16000, burstMaxPeriod_ = 1920000; // 1/32 ms
    std::uint8_t triggerMode_ = 0, triggerClass_ = 0, triggerUnit_ = 250;
    float triggerLevel_ = 0;
    double burstDue_ = 0;
    double pv_ = 0, sv_ = 0, elapsed_ = -1;
    std::mt19937 rng_;
};

} // namespace tarvik::sim
