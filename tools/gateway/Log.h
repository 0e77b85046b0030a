// The gateway's log on stderr: one line per event, as text ("tarvik-gateway: device mfc1 offline")
// or, when configured, one JSON object per line with the time, the event and its fields.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "Config.h"

namespace tarvik::gateway {

struct LogField {
    enum class Kind { Text, Number, Null };
    LogField(std::string_view k, std::string_view v) : key(k), kind(Kind::Text), text(v) {}
    LogField(std::string_view k, const char* v) : key(k), kind(Kind::Text), text(v) {}
    LogField(std::string_view k, const std::string& v) : key(k), kind(Kind::Text), text(v) {}
    LogField(std::string_view k, double v) : key(k), kind(Kind::Number), number(v) {}
    LogField(std::string_view k, int v) : key(k), kind(Kind::Number), number(v) {}
    LogField(std::string_view k, std::nullptr_t) : key(k), kind(Kind::Null) {}
    std::string_view key;
    Kind kind;
    std::string_view text;
    double number = 0;
};

void SetLogFormat(LogFormat format);
// `event` names the kind of line in JSON ("device", "broker", "write", "reload", "start", "stop",
// "error"); `message` is the text line; `fields` go into the JSON object only.
void LogEvent(std::string_view event, std::string_view message, std::initializer_list<LogField> fields = {});
// The JSON line LogEvent writes (for the tests).
std::string FormatLogJson(std::string_view event, std::string_view message,
                          std::initializer_list<LogField> fields);

} // namespace tarvik::gateway
