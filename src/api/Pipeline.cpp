#include "Pipeline.h"

#include <atomic>
#include <mutex>

namespace tarvik::api {

std::int32_t DigitalLine(std::int32_t port, std::int32_t baud, Completion completion, LineSettings& line,
                         std::int32_t& delayMs) {
    auto device = DeviceName(port);
    if (!device) return ResultBadPort;
    if (!AcceptedRate(baud)) return ResultBadBaud;
    line.device = std::move(*device);
    line.baud = baud;
    line.parity = Parity::Odd;
    line.completion = completion;
    delayMs = ResponseDelayMs(baud);
    return 0;
}

std::int32_t ReadoutLine(std::int32_t port, Completion completion, LineSettings& line) {
    constexpr std::int32_t kReadoutBaud = 9600;
    auto device = DeviceName(port);
    if (!device) return ResultBadPort;
    line.device = std::move(*device);
    line.baud = kReadoutBaud;
    line.parity = Parity::None;
    line.completion = completion;
    return 0;
}

std::int32_t FindPort(const std::string& device) {
    return ActiveBackend().Listed(device) ? 0 : ResultPortAbsent;
}

std::int32_t CheckPort(const std::string& device) {
    if (const std::int32_t rc = FindPort(device)) return rc;
    try {
        ActiveBackend().TrialOpen(device);
    } catch (const LineError& e) {
        NotePortError(e);
        return ResultPortBusy;
    }
    return 0;
}

std::int32_t OpenLine::Open(const LineSettings& line, bool find) {
    transport_.reset();
    line_ = line;
    if (find)
        if (const std::int32_t rc = FindPort(line.device)) return rc;
    try {
        transport_ = ActiveBackend().Open(line);
    } catch (const LineError& e) {
        NotePortError(e);
        return ResultPortBusy;
    }
    return ResultOk;
}

namespace {

std::mutex unexpectedMutex;
std::string lastUnexpected;
std::atomic<std::uint64_t> unexpectedCount{0};

} // namespace

void NoteUnexpected(const char* what) noexcept {
    unexpectedCount.fetch_add(1, std::memory_order_relaxed);
    try {
        std::lock_guard lock(unexpectedMutex);
        lastUnexpected = what;
        if (TraceRecord* trace = TraceRecord::Current()) trace->Note(std::string("unexpected: ") + what);
    } catch (...) {
        // Out of memory while recording it: the count still tells.
    }
}

void NotePortError(const LineError& error) noexcept {
    try {
        if (TraceRecord* trace = TraceRecord::Current()) trace->PortError(error);
    } catch (...) {
        // Out of memory while tracing: only the note is lost.
    }
}

std::uint64_t UnexpectedFailures() {
    return unexpectedCount.load(std::memory_order_relaxed);
}

std::string LastUnexpectedFailure() {
    std::lock_guard lock(unexpectedMutex);
    return lastUnexpected;
}

} // namespace tarvik::api
