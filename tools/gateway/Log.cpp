#include "Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "Payload.h"

namespace tarvik::gateway {
namespace {

std::atomic<LogFormat> g_format{LogFormat::Text};
std::mutex g_mutex;
constexpr std::size_t kLineCapacity = 2048;

} // namespace

void SetLogFormat(LogFormat format) {
    g_format.store(format);
}

std::string FormatLogJson(std::string_view event, std::string_view message,
                          std::initializer_list<LogField> fields) {
    char buffer[kLineCapacity];
    JsonWriter j(buffer, sizeof buffer);
    j.Raw("{\"time\": ");
    j.Time(std::chrono::system_clock::now());
    j.Raw(", \"event\": ");
    j.String(event);
    j.Raw(", \"msg\": ");
    j.String(message);
    for (const LogField& f : fields) {
        j.Raw(", ");
        j.String(f.key);
        j.Raw(": ");
        if (f.kind == LogField::Kind::Text)
            j.String(f.text);
        else if (f.kind == LogField::Kind::Number)
            j.Number(f.number);
        else
            j.Raw("null");
    }
    j.Raw("}");
    return std::string(j.View());
}

void LogEvent(std::string_view event, std::string_view message, std::initializer_list<LogField> fields) {
    const std::string line = g_format.load() == LogFormat::Json ? FormatLogJson(event, message, fields)
                                                                : "tarvik-gateway: " + std::string(message);
    std::lock_guard lock(g_mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace tarvik::gateway
