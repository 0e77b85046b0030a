// Port and baud mapping shared by the exports and the fast link: port numbers to device names, the
// eight rates to their codes and response delays, and the match of a port-list entry.
#pragma once

#ifdef TARVIK_PURE_CODEC
#error "the codecs (src/digital, src/readout) may not use the request pipeline"
#endif

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "../../include/TarvikDLL.h"
#include "../comport/ComPort.h"
#include "../digital/Hart.h"

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

// The collected reply of a digital device (the collection rule lives with the frame codec).
using DigitalReply = digital::Reply;

// Sleep of the calling thread (the fixed response waits and the fast link's rests).
void SleepFor(std::chrono::microseconds time);

} // namespace tarvik::api
