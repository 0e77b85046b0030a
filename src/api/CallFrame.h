// Port and rate naming shared by the exports, the fast link and the command line: port numbers to
// device names, the eight rates and their response delays, and the match of a port-list entry.
#pragma once

#ifdef TARVIK_PURE_CODEC
#error "the codecs (src/digital, src/readout) may not use the request pipeline"
#endif

#include <cstdint>
#include <optional>
#include <string>

namespace tarvik::api {

inline constexpr std::int32_t kPortCount = 40;

// Port 1..40 to "COM1".."COM9", "\\.\COM10".."\\.\COM40"; nullopt for any other number.
std::optional<std::string> DeviceName(std::int32_t port);

// Whether `baud` is one of the eight rates of the digital devices.
bool AcceptedRate(std::int32_t baud);

// round((583 / baud + 0.1) * 1000) for the eight accepted rates (586 ms at 1200 .. 115 ms at 38400);
// 0 for any other value.
std::int32_t ResponseDelayMs(std::int32_t baud);

// True when `entry` of the system's port list names `device` ("COM10" matches "\\.\COM10").
bool PortNameMatches(const std::string& entry, const std::string& device);

} // namespace tarvik::api
