// The one request driver of the exports and the fast link. What differs between device families
// is a small description, a "call" (src/api/Families.h has the two families'):
//
//   std::int32_t Prepare();                  // the command's own checks and request: 0 or a code
//   std::int32_t WaitMs(std::int32_t line);  // the wait, given the line's (the digital rate's delay)
//   std::span<const std::uint8_t> Bytes();   // the request
//   void Begin();                            // a fresh reply (each try)
//   Remaining Expected();                    // what a reply needs before its first byte
//   Remaining Collect(std::uint8_t byte);    // the completion rule, byte by byte
//   std::int32_t Judge();                    // the result of a reply that came
//   bool Again(std::int32_t result);         // whether another try may help
//
// and a line description, `describe(port, completion, line, waitMs)` returning 0 or the line's
// refusal (ResultBadPort, ResultBadBaud).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>

#include "Pipeline.h"

namespace tarvik::api {

// What a call may add to an exchange on a line kept open (the HART master's frames):
//   void Stale(std::span<const std::uint8_t>);  // bytes that are not the reply (default: dropped)
//   std::size_t OverrunBytes();                // a reply under way may outlast the wait by this
template <class Call>
auto StaleOf(Call& call) {
    if constexpr (requires(std::span<const std::uint8_t> s) { call.Stale(s); })
        return [&call](std::span<const std::uint8_t> s) { call.Stale(s); };
    else
        return DropBytes{};
}

template <class Call>
std::size_t OverrunOf(const Call& call) {
    if constexpr (requires { call.OverrunBytes(); })
        return call.OverrunBytes();
    else
        return 0;
}

// Request cycles on an open line until the reply is judged final or the tries are spent: the
// first and `retries` more. Raises LineError when the port fails.
template <class Call>
std::int32_t Drive(OpenLine& line, std::int32_t waitMs, std::int32_t retries, Call& call) {
    std::int32_t result = ResultNoReply;
    for (std::int32_t attempt = 0; attempt <= std::max(0, retries); ++attempt) {
        call.Begin();
        result = Exchange(
            line, call.Bytes(), std::chrono::milliseconds(waitMs),
            [&call](std::uint8_t b) { return call.Collect(b); }, call.Expected(), StaleOf(call),
            OverrunOf(call));
        if (result == 0) result = call.Judge();
        if (!call.Again(result)) break;
    }
    return result;
}

// The line of an export: the line (ResultBadPort/ResultBadBaud), its wait (`waitOf(line's wait)`),
// the port check (listed, trial open).
template <class Describe, class WaitOf>
std::int32_t CheckedLine(std::int32_t port, Describe&& describe, WaitOf&& waitOf, LineSettings& line,
                         std::int32_t& waitMs) {
    if (TraceRecord* trace = TraceRecord::Current()) trace->Port(port);
    if (const std::int32_t rc = describe(port, Completion::FixedWait, line, waitMs)) return rc;
    waitMs = waitOf(waitMs);
    if (TraceRecord* trace = TraceRecord::Current()) trace->Line(line, waitMs);
    return CheckPort(line.device);
}

// An export's own open and its one request cycle with the fixed wait.
template <class Call>
std::int32_t Cycle(const LineSettings& line, std::int32_t waitMs, Call& call) {
    OpenLine open;
    if (const std::int32_t rc = open.Open(line, false); rc != ResultOk) return rc;
    return Drive(open, waitMs, 0, call);
}

// The body of an export: the command's checks, its checked line, one cycle, the judgement.
template <class Describe, class Call>
std::int32_t Transact(std::int32_t port, Describe&& describe, Call& call) {
    if (const std::int32_t rc = call.Prepare()) return rc;
    LineSettings line;
    std::int32_t waitMs = 0;
    const auto waitOf = [&call](std::int32_t lineWait) { return call.WaitMs(lineWait); };
    if (const std::int32_t rc = CheckedLine(port, describe, waitOf, line, waitMs)) return rc;
    return Cycle(line, waitMs, call);
}

// A call refused by its own argument checks, before the pipeline: traced like any other.
inline std::int32_t Refused(const char* name, std::int32_t result) noexcept {
    return RunCall(name, [result] { return result; });
}

} // namespace tarvik::api
