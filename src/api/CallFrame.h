// The call frame shared by every export: port and baud mapping, response delay, the port check and
// the two request cycles (digital frames, read-out unit lines), and the guard that keeps every
// failure inside the library.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "../../include/TarvikDLL.h"
#include "../comport/ComPort.h"

namespace tarvik::api {

inline constexpr std::int32_t kPortCount = 40;

// Port 1..40 to "COM1".."COM9", "\\.\COM10".."\\.\COM40"; nullopt for any other number.
std::optional<std::string> DeviceName(std::int32_t port);

// One of the eight accepted rates to its TBaudRate code; nullopt for any other value.
std::optional<comport::TBaudRate> BaudCode(std::int32_t baud);

// round((583 / baud + 0.1) * 1000) for the eight accepted rates (586 ms at 1200 .. 115 ms at 38400).
std::int32_t ResponseDelayMs(std::int32_t baud);

// True when `entry` of the system's port list names `device` ("COM10" matches "\\.\COM10").
bool PortNameMatches(const std::string& entry, const std::string& device);

// The port check: listed and openable -> 0; not listed -> ResultPortAbsent; listed but the trial
// open failed -> ResultPortBusy. Both port objects live only inside the call.
std::int32_t CheckPort(const std::string& device);

// Reply of a digital device as collected: preamble 0xFF bytes dropped, at most 51 bytes stored,
// `count` counts every byte after the preamble (it may exceed the buffer).
struct DigitalReply {
    static constexpr std::size_t kCapacity = 51;
    std::array<std::uint8_t, kCapacity> bytes{};
    std::int32_t count = 0;
    bool started = false;

    // The collection rule for one received byte.
    void Collect(std::uint8_t b) {
        if (!started) {
            if (b == 0xFF) return;
            started = true;
        }
        if (static_cast<std::size_t>(count) < kCapacity) bytes[static_cast<std::size_t>(count)] = b;
        ++count;
    }
};

// Request cycle of the digital family: open with 8O1 at `baud`, write `request`, sleep `delayMs`,
// collect the queued bytes, close. Returns 0, ResultNoReply, or ResultPortBusy when the port fails
// after the check passed.
std::int32_t DigitalExchange(const std::string& device, comport::TBaudRate baud, std::int32_t delayMs,
                             std::span<const std::uint8_t> request, DigitalReply& reply);

// Request cycle of the read-out unit: open with 9600 8N1, write `line`, sleep `waitMs`, read every
// queued byte into `reply`, close. Returns 0, ResultNoReply or ResultPortBusy.
std::int32_t ReadoutExchange(const std::string& device, const std::string& line, std::int32_t waitMs,
                             std::string& reply);

// Runs an export body and turns anything that escapes it into ResultPortBusy: no exception ever
// leaves the library.
template <class F>
std::int32_t Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return ResultPortBusy;
    }
}

// Sleep of the calling thread (the fixed response waits).
void SleepMs(std::int32_t ms);

} // namespace tarvik::api
