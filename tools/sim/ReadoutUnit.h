// A simulated model 0731 read-out and control unit: four channels, each with a process value that
// follows its set point, a set-point source, a valve override, units, full scale and decimal
// places. It answers request lines ("AZI\r", "AZ.<addr><command>\r") with reply lines of the form
//   AZ,<addr>,R,P<nn>,<value>,\r\n     a parameter read
//   AZ,<addr>,W,P<nn>,<value>,\r\n     a parameter written (the new value)
//   AZ,<addr>,R,K,<alarm>,<value>,\r\n the process value (alarm 1: above full scale)
//   AZ,<addr>,E,<code>,\r\n            an error (1 unknown command, 2 bad value, 3 wrong address)
// and to the identity request with "AZ,I,Tarvik Instrument,0731,<serial>,<firmware>,\r\n".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "LineSettings.h"

namespace tarvik::sim {

inline constexpr int kChannelCount = 4;
inline constexpr char kLineEnd = '\r';
inline constexpr std::size_t kMaxLineLength = 64;

struct ReadoutChannel {
    double processValue = 0;
    double setPoint = 0;
    int source = 1; // parameter 46: 1 serial, 0 manual
    int vor = 0;    // parameter 29: 0 normal, 1 closed, 2 open
    int measureUnit = 1;
    int timeUnit = 2;
    double fullScale = 100;
    int places = 1;
};

class ReadoutUnit {
public:
    explicit ReadoutUnit(std::uint32_t seed, std::string serial = "07310001");

    // The reply to one request line (without its carriage return) at time `now` (seconds).
    std::optional<std::string> Answer(const std::string& line, double now);

    LineSettings Line() const { return {9600, Parity::None, 8, 1}; }
    std::string Kind() const { return "0731 read-out unit"; }
    const ReadoutChannel& Channel(int n) const { return channels_[static_cast<std::size_t>(n - 1)]; }
    void SetDynamics(double tauSeconds, double noiseFraction) {
        tau_ = tauSeconds;
        noise_ = noiseFraction;
    }

private:
    void Advance(double dt);
    std::string Read(int address, const std::string& parameter);
    std::string Write(int address, const std::string& parameter, const std::string& value);
    std::string Fixed(double value, int places) const;
    double Target(const ReadoutChannel& c) const;

    std::array<ReadoutChannel, kChannelCount> channels_;
    std::string serial_;
    double lastTime_ = -1;
    double tau_ = 2.0;
    double noise_ = 0.0005; // of full scale
    std::mt19937 rng_;
};

} // namespace tarvik::sim
