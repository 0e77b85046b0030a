// Shared pieces of the benchmarks: the simulated devices, timing helpers, and the figures that the
// summary table prints at the end of the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tarvik::bench {

// The simulated devices (one simulator process, replies paced at the line rate).
inline constexpr int kFlowBaud = 38400;
inline constexpr int kFlowWaitMs = 115; // the export's fixed wait at 38400
inline constexpr int kFlowPorts = 16;   // HART flow devices on COM1..COM16, address 64:0102<com>
inline constexpr int kReadoutPort = 20; // the 0731 unit, 9600 8N1
inline constexpr int kReadoutWaitMs = 500;
inline constexpr int kMultidropPort = 21; // three generic transmitters, polling addresses 0..2
inline constexpr int kMultidropBaud = 1200;
inline constexpr std::size_t kMultidropDevices = 3;
inline constexpr std::uint8_t kFlowDeviceType = 0x64;
inline constexpr std::uint8_t kFlowIdHigh = 0x01, kFlowIdMid = 0x02; // IdLow is the COM number
inline constexpr int kHartReplyPreambles = 5;
inline constexpr int kBitsPerByte = 11; // the wire budget: start, 8 data, parity, stop

std::string PortPath(int com); // the terminal link of COM<com>

using Clock = std::chrono::steady_clock;

template <class F>
double TimeMs(F&& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double Median(std::vector<double> v);

// Wire time of `bytes` at `baud`, 11 bits per byte, in ms.
inline double WireMs(int bytes, int baud) {
    return 1000.0 * bytes * kBitsPerByte / baud;
}

// Figures for the summary, by name ("readflow.overhead" ...), filled by the benchmarks.
std::map<std::string, double>& Figures();

} // namespace tarvik::bench
