// The open port of a fast link: one open with the family's line settings, then requests whose
// reply is read byte by byte as it arrives, up to a deadline.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "comport/ComPort.h"

namespace tarvik::link {

class LinkPort {
public:
    using Clock = std::chrono::steady_clock;

    // The exports' port check without the trial open, then the one open: ResultOk,
    // ResultPortAbsent (not listed) or ResultPortBusy (listed, but the open failed).
    std::int32_t Open(const std::string& device, comport::TParity parity, comport::TBaudRate baud);
    void Close() noexcept { port_.Close(); }
    bool IsOpen() const noexcept { return port_.IsOpen(); }

    // Drops whatever is queued (late bytes of an earlier reply), then starts sending `request`.
    // The bytes are kept until the next request: the write may still be under way. Raises
    // EComError when the port fails.
    void Send(std::span<const std::uint8_t> request);

    // The next received byte; waits for it until `deadline`, nothing when that passes first.
    // Raises EComError when the port fails.
    std::optional<std::uint8_t> Next(Clock::time_point deadline);

private:
    void SetReadConstant(std::int32_t ms);

    comport::TComPort port_;
    std::string request_;
    std::array<std::uint8_t, 256> buffer_{};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

} // namespace tarvik::link
