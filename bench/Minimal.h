// The floor of the exports' design: one hand-written transaction with nothing around it (one
// open with the line settings, write, the same sleep, read what is queued, close).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tarvik::bench {

struct MinimalLine {
    std::uint32_t baud;
    bool oddParity;
};

// Returns the number of bytes read, or -1 when the device could not be opened or set.
int MinimalTransaction(const std::string& path, MinimalLine line, std::span<const std::uint8_t> request,
                       int waitMs, std::span<std::uint8_t> reply);

} // namespace tarvik::bench
