// JSON payloads of the value topics and command results, written into fixed buffers: a poll
// formats its payload without touching the heap.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvik::gateway {

// Appends text to a caller's buffer; never writes past it. `Overflow` tells whether anything was
// cut (the caller sizes buffers so that it cannot happen with the texts it passes).
class JsonWriter {
public:
    JsonWriter(char* buffer, std::size_t capacity) : buf_(buffer), cap_(capacity) {}
    void Raw(std::string_view text);
    void String(std::string_view text); // quoted and escaped
    void Number(double value);          // shortest form that reads back; null when not finite
    void Float(float value);            // the same at float precision
    void Integer(long long value);
    void Bool(bool value) { Raw(value ? "true" : "false"); }
    void Time(std::chrono::system_clock::time_point time); // "2026-12-07T12:00:00.123Z"
    std::string_view View() const { return {buf_, size_}; }
    bool Overflow() const { return overflow_; }

private:
    char* buf_;
    std::size_t cap_;
    std::size_t size_ = 0;
    bool overflow_ = false;
};

// One value topic's payload:
//   {"value": 12.5, "unit": "l/min", "time": "...Z", "quality": "good", "last_good": "...Z",
//    "result": "ResultOk"<, statusJson>}
// `value` is null when there is no good value; `quality` and `last_good` only when `quality` is set.
// `statusJson` is a ready member list such as
// `"status": {...}` (empty for commands without a device status).
struct ValuePayload {
    bool hasValue = false;
    float value = 0;
    std::string_view unit;
    std::chrono::system_clock::time_point time;
    std::string_view result;
    std::string_view statusJson;
    std::string_view quality; // "good", "stale", "bad"
    bool hasLastGood = false;
    std::chrono::system_clock::time_point lastGood;
};
std::string_view FormatValuePayload(const ValuePayload& p, char* buffer, std::size_t capacity);

// A command's outcome: {"ok": true, "result": "ResultOk", "value": 40<, "requested": 40><, "error": "...">}.
// `value` is what the device holds after the command (null when unknown), `requested` what was asked.
struct CommandOutcome {
    bool ok = false;
    std::string_view result;
    bool hasValue = false;
    double value = 0;
    bool hasRequested = false;
    double requested = 0;
    std::string_view error;
};
std::string_view FormatCommandResult(const CommandOutcome& o, char* buffer, std::size_t capacity);

} // namespace tarvik::gateway
