// Line settings of a device and of a pseudo-terminal as its host left them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvik::sim {

enum class Parity { None, Odd, Even };

struct LineSettings {
    std::uint32_t baud = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    int stopBits = 1;

    std::string Text() const; // "19200 8O1"
    // Start bit, data bits, parity bit, stop bits: the time of one byte is this many bit times.
    int BitsPerByte() const { return 1 + dataBits + (parity == Parity::None ? 0 : 1) + stopBits; }
};

// The settings the terminal behind `fd` reports. A pseudo-terminal keeps the rate, the stop bits and
// the odd-parity flag that its host set, but always reports 8 data bits and parity disabled, so
// odd parity is told from the odd flag alone; none and even both read as None.
std::optional<LineSettings> ReadLineSettings(int fd);

// Sets `fd` raw at `line`'s rate (the state a device's port has before any host opens it).
bool SetRaw(int fd, const LineSettings& line);

// True when a device configured for `device` understands a host whose line reads `observed`.
bool LineMatches(const LineSettings& device, const LineSettings& observed);

} // namespace tarvik::sim
