// The two request cycles of the fast link: send, then read until the reply is complete or the
// deadline passes. The replies are collected exactly as the exports collect them.
#pragma once

#include <string>

#include "LinkPort.h"
#include "api/CallFrame.h"
#include "digital/Hart.h"

namespace tarvik::link {

// HART: a reply is complete when the stored count reaches the length its byte count gives
// (delimiter .. byte count, the data, the checksum), or once it is longer than any count the
// command could accept. Returns 0, or ResultNoReply when not one byte arrived.
std::int32_t HartExchange(LinkPort& port, std::span<const std::uint8_t> request,
                          const digital::CommandSpec& desc, LinkPort::Clock::time_point deadline,
                          api::DigitalReply& reply);

// Whether a damaged HART reply is worth another try.
bool HartRetryable(std::int32_t result);

// Read-out unit: a reply is complete when it holds a carriage return and a line feed. `complete`
// tells whether it did by the deadline. Returns 0, or ResultNoReply when not one byte arrived.
std::int32_t ReadoutExchange(LinkPort& port, const std::string& line, LinkPort::Clock::time_point deadline,
                             std::string& reply, bool& complete);

} // namespace tarvik::link
