// What every digital export shares: the pipeline run of one addressed command. An export is its
// argument checks (digital/Replies.h), a command description (digital/Commands.h) and a decoder.
#pragma once

#include "../digital/Replies.h"
#include "Pipeline.h"

namespace tarvik::api {

// A call refused by its own argument checks, before the pipeline: traced like any other.
inline std::int32_t Refused(const char* name, std::int32_t result) noexcept {
    return RunCall(name, [result] { return result; });
}

// Steps after the line is known and the port checked: open, send the frame, wait the fixed
// response delay, collect, judge.
template <class Decode>
std::int32_t Transact(const LineSettings& line, std::int32_t delayMs, const digital::Address& address,
                      const digital::CommandSpec& desc, std::span<const std::uint8_t> data,
                      std::uint8_t* status1, std::uint8_t* status2, Decode&& decode) {
    const digital::RequestFrame request = digital::BuildFrame(address, desc.command, data);
    OpenLine open;
    if (const std::int32_t rc = open.Open(line, false); rc != ResultOk) return rc;
    digital::Reply reply;
    if (const std::int32_t rc =
            Exchange(open, request.Bytes(), std::chrono::milliseconds(delayMs), [&reply](std::uint8_t b) {
                reply.Collect(b);
                return false;
            }))
        return rc;
    return digital::JudgeReply(reply, desc, status1, status2, decode);
}

// The line of a digital export: port and rate mapping, then the port check.
inline std::int32_t PrepareDigital(std::int32_t port, std::int32_t baud, LineSettings& line,
                                   std::int32_t& delayMs) {
    if (TraceRecord* trace = TraceRecord::Current()) trace->Port(port);
    if (const std::int32_t rc = DigitalLine(port, baud, Completion::FixedWait, line, delayMs)) return rc;
    if (TraceRecord* trace = TraceRecord::Current()) trace->Line(line, delayMs);
    return CheckPort(line.device);
}

// The whole call of a standard addressed command (the command's own argument checks come before).
template <class Decode>
std::int32_t RunCommand(const char* name, std::int32_t port, std::int32_t baud,
                        const digital::Address& address, const digital::CommandSpec& desc,
                        std::span<const std::uint8_t> data, std::uint8_t* status1, std::uint8_t* status2,
                        Decode&& decode) noexcept {
    return RunCall(name, [&]() -> std::int32_t {
        LineSettings line;
        std::int32_t delayMs = 0;
        if (const std::int32_t rc = PrepareDigital(port, baud, line, delayMs)) return rc;
        return Transact(line, delayMs, address, desc, data, status1, status2, decode);
    });
}

} // namespace tarvik::api
