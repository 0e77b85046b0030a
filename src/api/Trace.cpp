#include "Trace.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

#include "ResultNames.h"

namespace tarvik::api {

namespace {

constexpr const char* kTraceVariable = "TARVIK_TRACE";
constexpr const char* kStandardError = "-";
#ifdef _WIN32
constexpr const char* kAppendMode = "a";
#else
constexpr const char* kAppendMode = "ae"; // not inherited by programs the host starts
#endif

// Where the lines go. Opened once; lines are written whole under the mutex.
struct Sink {
    std::mutex mutex;
    std::FILE* file = nullptr;
    bool owned = false;

    void Open(const std::string& target) {
        std::lock_guard lock(mutex);
        CloseLocked();
        if (target.empty()) return;
        if (target == kStandardError) {
            file = stderr;
        } else {
            file = std::fopen(target.c_str(), kAppendMode);
            owned = file != nullptr;
        }
    }
    void CloseLocked() {
        if (owned) std::fclose(file);
        file = nullptr;
        owned = false;
    }
    void Write(const std::string& line) {
        std::lock_guard lock(mutex);
        if (!file) return;
        std::fwrite(line.data(), 1, line.size(), file);
        std::fflush(file);
    }
};

Sink& TheSink() {
    static Sink sink;
    return sink;
}

std::string ReadVariable() {
#ifdef _WIN32
    // The process environment (a host may set it with SetEnvironmentVariable), not the CRT's copy.
    char buffer[1024];
    const DWORD n = GetEnvironmentVariableA(kTraceVariable, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
#else
    const char* value = std::getenv(kTraceVariable);
    return value ? value : "";
#endif
}

std::atomic<bool> tracing{false};

// Reads the variable once, at the first call of the process.
bool TracingOn() {
    static const bool once = [] {
        const std::string target = ReadVariable();
        if (!target.empty()) {
            TheSink().Open(target);
            tracing.store(true, std::memory_order_release);
        }
        return true;
    }();
    (void)once;
    return tracing.load(std::memory_order_acquire);
}

thread_local TraceRecord* current = nullptr;

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += ' ';
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return text;
}

char ParityLetter(Parity parity) {
    switch (parity) {
    case Parity::Odd:
        return 'O';
    case Parity::Even:
        return 'E';
    case Parity::None:
        break;
    }
    return 'N';
}

const char* KindName(LineError::Kind kind) {
    switch (kind) {
    case LineError::Kind::Open:
        return "open";
    case LineError::Kind::Failed:
        return "failed";
    case LineError::Kind::Timeout:
        return "timeout";
    case LineError::Kind::Closed:
        return "closed";
    case LineError::Kind::Other:
        break;
    }
    return "other";
}

} // namespace

std::string ResultName(std::int32_t result) {
    for (const auto& [code, name] : kResultNames)
        if (code == result) return name;
    return std::to_string(result);
}

void SetTraceTarget(const std::string& path) {
    TracingOn(); // the variable's reading is over
    TheSink().Open(path);
    tracing.store(!path.empty(), std::memory_order_release);
}

TraceRecord::TraceRecord(const char* call) {
    if (!TracingOn()) return;
    text_ = UtcNow();
    text_ += ' ';
    text_ += call;
    on_ = true;
    outer_ = current;
    current = this;
}

TraceRecord::~TraceRecord() {
    if (!on_) return;
    current = outer_;
}

TraceRecord* TraceRecord::Current() {
    return current;
}

void TraceRecord::Port(std::int32_t port) {
    if (!on_) return;
    text_ += " port=" + std::to_string(port);
}

void TraceRecord::Line(const LineSettings& line, std::int32_t waitMs) {
    if (!on_) return;
    text_ +=
        " device=" + line.device + ' ' + std::to_string(line.baud) + " 8" + ParityLetter(line.parity) + '1';
    text_ += line.completion == Completion::FixedWait ? " wait=" : " timeout=";
    text_ += std::to_string(waitMs) + "ms";
}

void TraceRecord::Request(std::span<const std::uint8_t> bytes, Clock::time_point sent) {
    if (!on_) return;
    if (!reply_.empty()) {
        text_ += " rx=[" + reply_ + ']';
        reply_.clear();
    }
    sent_ = sent;
    text_ += " tx=[";
    AppendHex(text_, bytes);
    text_ += ']';
}

void TraceRecord::Reply(std::span<const std::uint8_t> bytes, Clock::time_point arrived) {
    if (!on_ || bytes.empty()) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(arrived - sent_).count();
    if (!reply_.empty()) reply_ += ' ';
    reply_ += '+' + std::to_string(ms) + "ms: ";
    AppendHex(reply_, bytes);
}

void TraceRecord::Note(const std::string& text) {
    if (!on_) return;
    text_ += " (" + text + ')';
}

void TraceRecord::PortError(const LineError& error) {
    if (!on_) return;
    Note("port error: " + std::string(KindName(error.GetKind())) + ", code " + std::to_string(error.Code()) +
         ": " + error.what());
}

void TraceRecord::Finish(std::int32_t result) {
    if (!on_ || finished_) return;
    finished_ = true;
    if (!reply_.empty()) text_ += " rx=[" + reply_ + ']';
    text_ += " result=" + ResultName(result) + '\n';
    TheSink().Write(text_);
}

} // namespace tarvik::api
