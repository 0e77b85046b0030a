// The one request pipeline of the exports and the fast link:
//   line description (port, rate, framing, wait policy) -> FindPort / CheckPort -> OpenLine ->
//   Exchange (write, then collect with the line's completion rule) -> the family's judge,
// all inside Guarded, which keeps every failure inside the library, and traced when asked.
#pragma once

#ifdef TARVIK_PURE_CODEC
#error "the codecs (src/digital, src/readout) may not use the request pipeline"
#endif

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "CallFrame.h"
#include "Trace.h"
#include "Transport.h"

namespace tarvik::api {

// Line descriptions. Digital devices: 8O1 at one of the eight rates, the rate's response delay as
// the fixed wait. Returns 0, ResultBadPort or ResultBadBaud.
std::int32_t DigitalLine(std::int32_t port, std::int32_t baud, Completion completion, LineSettings& line,
                         std::int32_t& delayMs);
// The read-out unit: 9600 8N1. Returns 0 or ResultBadPort.
std::int32_t ReadoutLine(std::int32_t port, Completion completion, LineSettings& line);

// Listed -> 0; not listed -> ResultPortAbsent.
std::int32_t FindPort(const std::string& device);
// The exports' port check: listed and a trial open succeeds -> 0; not listed -> ResultPortAbsent;
// listed but the trial open failed -> ResultPortBusy.
std::int32_t CheckPort(const std::string& device);

// Unexpected failures (anything but a port error) that Guarded turned into ResultPortBusy: how
// many so far, and the text of the last one. Also written to the trace.
std::uint64_t UnexpectedFailures();
std::string LastUnexpectedFailure();
void NoteUnexpected(const char* what) noexcept;
// Writes a port error (its kind, system code and text) into the trace of the running call.
void NotePortError(const LineError& error) noexcept;

// Runs a body and turns anything that escapes it into ResultPortBusy: no exception ever leaves the
// library. A port error is an expected way to fail; anything else is also recorded.
template <class F>
std::int32_t Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const LineError& e) {
        NotePortError(e);
        return ResultPortBusy;
    } catch (const std::exception& e) {
        NoteUnexpected(e.what());
    } catch (...) {
        NoteUnexpected("unknown exception");
    }
    return ResultPortBusy;
}

// One traced call: names it in the trace, runs `body` guarded, records the result.
template <class F>
std::int32_t RunCall(const char* name, F&& body) noexcept {
    // Constructing the record cannot fail when tracing is off; when on, a failure to allocate
    // the record only loses the trace line.
    try {
        TraceRecord record(name);
        const std::int32_t result = Guarded(body);
        try {
            record.Finish(result);
        } catch (...) {
        }
        return result;
    } catch (...) {
        return Guarded(body);
    }
}

// An open line, owned: the transport and its description.
class OpenLine {
public:
    // Opens the line. `find` first looks the device up in the port list (the fast link; the exports
    // ran CheckPort before). Returns ResultOk, ResultPortAbsent or ResultPortBusy.
    std::int32_t Open(const LineSettings& line, bool find);
    void Close() noexcept { transport_.reset(); }
    bool IsOpen() const noexcept { return transport_ != nullptr; }
    Transport& GetTransport() { return *transport_; }
    const LineSettings& Settings() const { return line_; }

private:
    LineSettings line_;
    std::unique_ptr<Transport> transport_;
};

// What a collector's answer says is still to come: bytes at the least (0: complete), and how many
// are likely (a reply of the expected shape).
struct Remaining {
    std::size_t atLeast = 1;
    std::size_t likely = 1;
};
// A collector answers with a bool (complete or not), a lower bound on the bytes still missing, or
// a value with `atLeast` and `likely` members.
inline Remaining RemainingOf(bool complete) {
    return complete ? Remaining{0, 0} : Remaining{1, 1};
}
inline Remaining RemainingOf(std::int32_t missing) {
    const std::size_t n = missing > 0 ? static_cast<std::size_t>(missing) : 0;
    return {n, n};
}
template <class R>
requires requires(const R& r) {
    r.atLeast;
    r.likely;
}
Remaining RemainingOf(const R& r) {
    const std::size_t atLeast = r.atLeast > 0 ? static_cast<std::size_t>(r.atLeast) : 0;
    const std::size_t likely = r.likely > 0 ? static_cast<std::size_t>(r.likely) : 0;
    return {atLeast, std::max(atLeast, likely)}; // never less likely than sure
}

// How long the line takes to carry `bytes` characters (start bit, 8 data bits, parity, stop bit).
inline std::chrono::microseconds LineTime(const LineSettings& line, std::size_t bytes) {
    if (line.baud <= 0) return {};
    const std::int64_t bits = 10 + (line.parity == Parity::None ? 0 : 1);
    return std::chrono::microseconds(static_cast<std::int64_t>(bytes) * bits * 1'000'000 / line.baud);
}

// How far a wait sized by the likely rest of a reply may reach past the earliest moment the
// bytes it surely still needs could all be there: a reply shorter than expected (an error reply)
// is taken at most this much later than the line allows.
inline constexpr std::chrono::microseconds kLikelyOvershoot{2000};

// How long to sleep before looking at the line again, `left` being the time to the deadline:
// through the bytes likely still to come, so that one wake finds most of them, within the
// overshoot above and never past the deadline.
inline std::chrono::microseconds RestOf(const LineSettings& line, const Remaining& remaining,
                                        std::chrono::microseconds left) {
    const auto likely = LineTime(line, remaining.likely);
    const auto bound = LineTime(line, remaining.atLeast) + kLikelyOvershoot;
    return std::max(std::chrono::microseconds{0}, std::min({likely, bound, left}));
}

// Bytes that are not the reply, left to the call: by default dropped.
struct DropBytes {
    void operator()(std::span<const std::uint8_t>) const {}
};

// A reply under way at the deadline (a call that allows it, see Exchange) is waited for this many
// byte times and this long past its last byte, within the allowance.
inline constexpr std::size_t kUnderWaySlackBytes = 2;
inline constexpr std::chrono::milliseconds kUnderWaySlack{20};

// One request cycle on an open line. `collect(byte)` takes each received byte in order and says
// what is still to come (see RemainingOf). With Completion::FixedWait the request is written, the
// thread waits `wait`, and the bytes queued then are collected (the collector's answer is
// ignored); with Completion::FrameEnd stale input is handed to `stale` first (queued before the
// request: late replies, a device's unasked frames), and bytes are collected as they arrive until
// `collect` says complete or `wait` has passed; bytes read after the end of the reply go to
// `stale` too. Between arrivals the thread sleeps through the bytes the reply likely still needs
// instead of waking for each. With `overrunBytes`, bytes still coming at the deadline move it on to
// the end of what is under way, by at most that many byte times. Returns 0, or ResultNoReply when
// not one byte came. `expected` (made by RemainingOf), what the collector would answer before the
// first byte, lets the first look at the line wait until the request and such a reply could have
// passed. Raises LineError when the port fails.
template <class Collect, class Stale = DropBytes>
std::int32_t Exchange(OpenLine& line, std::span<const std::uint8_t> request, std::chrono::milliseconds wait,
                      Collect&& collect, Remaining expected = {0, 0}, Stale&& stale = {},
                      std::size_t overrunBytes = 0) {
    Transport& t = line.GetTransport();
    Clock& clock = ActiveBackend().GetClock();
    TraceRecord* trace = TraceRecord::Current();
    std::array<std::uint8_t, 256> buffer;
    const bool fixed = line.Settings().completion == Completion::FixedWait;

    if (!fixed) {
        // Late bytes of an earlier reply: the next reply starts clean.
        for (std::size_t queued = t.Queued(); queued > 0;) {
            const std::size_t n = t.ReadQueued(std::span(buffer).first(std::min(queued, buffer.size())));
            if (n == 0) break;
            stale(std::span<const std::uint8_t>(buffer).first(n));
            queued -= n;
        }
    }
    // Arrival offsets and the deadline count from the start of the write.
    const Clock::time_point sent = clock.Now();
    t.Write(request);
    if (trace) trace->Request(request, sent);

    if (fixed) {
        clock.SleepFor(wait);
        // What is queued now: one read when it fits the buffer; past the buffer, the rest that is
        // queued after the first read, and nothing that comes later.
        std::size_t n = t.ReadQueued(buffer);
        if (n == 0) return ResultNoReply;
        const Clock::time_point arrived = clock.Now();
        std::size_t left = n < buffer.size() ? 0 : t.Queued();
        for (;;) {
            if (trace) trace->Reply(std::span(buffer).first(n), arrived);
            for (std::size_t i = 0; i < n; ++i)
                collect(buffer[i]);
            if (left == 0) break;
            n = t.ReadQueued(std::span(buffer).first(std::min(left, buffer.size())));
            if (n == 0) break;
            left -= n;
        }
        return 0;
    }

    Clock::time_point deadline = sent + wait;
    const Clock::time_point hard = deadline + LineTime(line.Settings(), overrunBytes);
    if (expected.atLeast > 0) {
        // The request has to leave and the reply to come back over the line first: nothing to
        // look at before both could have passed.
        const Remaining both{expected.atLeast + request.size(), expected.likely + request.size()};
        const auto first = RestOf(line.Settings(), both, std::chrono::ceil<std::chrono::microseconds>(wait));
        if (first.count() > 0) clock.SleepFor(first);
    }
    bool any = false;
    for (;;) {
        const std::size_t n = t.ReadSome(buffer, deadline);
        if (n == 0) break;
        any = true;
        std::size_t used = 0;
        Remaining remaining;
        while (used < n && remaining.atLeast > 0)
            remaining = RemainingOf(collect(buffer[used++]));
        const Clock::time_point now = clock.Now();
        if (trace) trace->Reply(std::span(buffer).first(n), now);
        if (used < n) stale(std::span<const std::uint8_t>(buffer).subspan(used, n - used));
        if (remaining.atLeast == 0) break;
        if (overrunBytes > 0)
            deadline = std::min(
                hard,
                std::max(deadline, now + LineTime(line.Settings(), remaining.atLeast + kUnderWaySlackBytes) +
                                       kUnderWaySlack));
        const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - now);
        const auto rest = RestOf(line.Settings(), remaining, left);
        if (rest.count() > 0) clock.SleepFor(rest);
    }
    return any ? 0 : ResultNoReply;
}

} // namespace tarvik::api
