// The seam between the request pipeline and the serial line. The pipeline talks only to these
// three narrow interfaces, in its own terms (LineSettings, LineError); production uses the port
// component (ComTransport.cpp, the only file that knows it), the tests an in-memory scripted
// device and a clock that never really sleeps, the fuzzing build the fuzzer's bytes.
#pragma once

#ifdef TARVIK_PURE_CODEC
#error "the codecs (src/digital, src/readout) may not use the request pipeline"
#endif

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "../../include/TarvikDLL.h"

namespace tarvik::api {

// How a request cycle decides that the reply is over.
enum class Completion {
    FixedWait, // the exports: one fixed wait after the request, then whatever is queued
    FrameEnd,  // the fast link: read as bytes arrive until the reply is complete or a deadline
};

enum class Parity { None, Odd, Even };

// A line description: which port, at which settings, and how replies are awaited.
struct LineSettings {
    std::string device;           // "COM3", "\\.\COM12"
    std::int32_t baud = 0;        // bits per second
    Parity parity = Parity::None; // 8 data bits, 1 stop bit always
    Completion completion = Completion::FixedWait;
};

// A failure of the line, as the pipeline sees it. `code` is the backend's own (a system error
// code, 0 for its own failures), kept for the trace.
class LineError : public std::runtime_error {
public:
    enum class Kind {
        Open,    // the device is absent, held, or not a serial line
        Failed,  // the open line failed (unplugged, taken away, a system call failed)
        Timeout, // a read or write ended with fewer bytes than asked for
        Closed,  // the line was closed under the call
        Other,   // the backend's other failures
    };
    LineError(Kind kind, std::int32_t code, const std::string& text)
        : std::runtime_error(text), kind_(kind), code_(code) {}
    Kind GetKind() const noexcept { return kind_; }
    std::int32_t Code() const noexcept { return code_; }

private:
    Kind kind_;
    std::int32_t code_;
};

class Clock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual time_point Now() = 0;
    virtual void SleepFor(std::chrono::microseconds time) = 0;
};

// An open line. Every call may raise LineError when the port fails.
class Transport {
public:
    virtual ~Transport() = default;
    // Starts sending `bytes`; the transport keeps its own copy until the next write.
    virtual void Write(std::span<const std::uint8_t> bytes) = 0;
    // Moves the bytes queued now (at most out.size()) into `out` and returns how many; with none
    // queued, waits for the first to arrive until `deadline` (0: none came).
    virtual std::size_t ReadSome(std::span<std::uint8_t> out, Clock::time_point deadline) = 0;
    // How many bytes are queued now.
    virtual std::size_t Queued() = 0;
    // Moves at most out.size() queued bytes into `out` without waiting; returns how many.
    virtual std::size_t ReadQueued(std::span<std::uint8_t> out) = 0;
};

// Where lines come from: the system's port list and the open.
class Backend {
public:
    virtual ~Backend() = default;
    // Whether the system lists `device` as a serial port.
    virtual bool Listed(const std::string& device) = 0;
    // Opens `device` with the port's defaults and closes it again; raises LineError when it cannot
    // (the exports' port check).
    virtual void TrialOpen(const std::string& device) = 0;
    // Opens the line; raises LineError when it cannot.
    virtual std::unique_ptr<Transport> Open(const LineSettings& line) = 0;
    virtual Clock& GetClock() = 0;
};

// The backend in use: the port component unless a test installed another.
Backend& ActiveBackend();
// Installs `backend` (nullptr: back to the port component). For tests; not while calls run.
void SetBackend(Backend* backend);

} // namespace tarvik::api
