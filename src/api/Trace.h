// The wire trace: with TARVIK_TRACE=FILE (or "-" for standard error) every export and fast-link
// call writes one line: UTC time, the call, the port and line settings, the request bytes, the
// reply bytes with their arrival offsets, and the result. The variable is read at the first call
// of the process. When it is unset a call costs one test of a flag.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "Transport.h"

namespace tarvik::api {

// The name of a result code ("ResultOk"), or its number when it has none.
std::string ResultName(std::int32_t result);

// The record of one call, kept only while tracing is on.
class TraceRecord {
public:
    // Starts the record of `call` when tracing is on; otherwise the record does nothing.
    explicit TraceRecord(const char* call);
    ~TraceRecord();
    TraceRecord(const TraceRecord&) = delete;
    TraceRecord& operator=(const TraceRecord&) = delete;

    bool On() const { return on_; }
    void Port(std::int32_t port);
    void Line(const LineSettings& line, std::int32_t waitMs);
    void Request(std::span<const std::uint8_t> bytes, Clock::time_point sent);
    void Reply(std::span<const std::uint8_t> bytes, Clock::time_point arrived);
    void Note(const std::string& text);
    // The port error that ended the call (or its port check): "(port error: open, code 5: text)".
    void PortError(const LineError& error);
    // Writes the line.
    void Finish(std::int32_t result);

    // The record of the call running on this thread, or nullptr when tracing is off.
    static TraceRecord* Current();

private:
    bool on_ = false;
    bool finished_ = false;
    TraceRecord* outer_ = nullptr;
    std::string text_;
    std::string reply_;
    Clock::time_point sent_{};
};

// Tests: trace to `path` from now on ("" stops tracing), as if TARVIK_TRACE named it.
void SetTraceTarget(const std::string& path);

} // namespace tarvik::api
