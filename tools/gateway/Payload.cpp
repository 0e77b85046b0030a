#include "Payload.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace tarvik::gateway {

void JsonWriter::Raw(std::string_view text) {
    const std::size_t room = cap_ - size_;
    const std::size_t n = text.size() < room ? text.size() : room;
    for (std::size_t i = 0; i < n; ++i)
        buf_[size_ + i] = text[i];
    size_ += n;
    if (n < text.size()) overflow_ = true;
}

void JsonWriter::String(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    Raw("\"");
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', c};
            Raw({escaped, 2});
        } else if (u < 0x20) {
            const char escaped[6] = {'\\', 'u', '0', '0', kHex[u >> 4], kHex[u & 0xF]};
            Raw({escaped, 6});
        } else {
            Raw({&c, 1});
        }
    }
    Raw("\"");
}

void JsonWriter::Number(double value) {
    if (!std::isfinite(value)) return Raw("null");
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc()) return Raw("null");
    Raw({text, static_cast<std::size_t>(end - text)});
}

void JsonWriter::Float(float value) {
    if (!std::isfinite(value)) return Raw("null");
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc()) return Raw("null");
    Raw({text, static_cast<std::size_t>(end - text)});
}

void JsonWriter::Integer(long long value) {
    char text[24];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    if (ec != std::errc()) return Raw("null");
    Raw({text, static_cast<std::size_t>(end - text)});
}

void JsonWriter::Time(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const int n = std::snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"",
                                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                                utc.tm_sec, static_cast<int>(ms % 1000));
    Raw({text, n > 0 ? static_cast<std::size_t>(n) : 0});
}

std::string_view FormatValuePayload(const ValuePayload& p, char* buffer, std::size_t capacity) {
    JsonWriter w(buffer, capacity);
    w.Raw("{\"value\": ");
    if (p.hasValue)
        w.Float(p.value);
    else
        w.Raw("null");
    w.Raw(", \"unit\": ");
    w.String(p.unit);
    w.Raw(", \"time\": ");
    w.Time(p.time);
    if (!p.quality.empty()) {
        w.Raw(", \"quality\": ");
        w.String(p.quality);
        w.Raw(", \"last_good\": ");
        if (p.hasLastGood)
            w.Time(p.lastGood);
        else
            w.Raw("null");
    }
    w.Raw(", \"result\": ");
    w.String(p.result);
    if (!p.statusJson.empty()) {
        w.Raw(", ");
        w.Raw(p.statusJson);
    }
    w.Raw("}");
    return w.View();
}

std::string_view FormatCommandResult(const CommandOutcome& o, char* buffer, std::size_t capacity) {
    JsonWriter w(buffer, capacity);
    w.Raw("{\"ok\": ");
    w.Bool(o.ok);
    w.Raw(", \"result\": ");
    w.String(o.result);
    w.Raw(", \"value\": ");
    if (o.hasValue)
        w.Number(o.value);
    else
        w.Raw("null");
    if (o.hasRequested) {
        w.Raw(", \"requested\": ");
        w.Number(o.requested);
    }
    if (!o.error.empty()) {
        w.Raw(", \"error\": ");
        w.String(o.error);
    }
    w.Raw("}");
    return w.View();
}

} // namespace tarvik::gateway
