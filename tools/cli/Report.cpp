#include "Report.h"

#include <bit>
#include <cmath>
#include <fmt/format.h>

#include "Facts.h"
#include "TarvikDLL.h"

namespace tarvik::cli {
namespace {

constexpr std::size_t kLabelWidth = 16;

Json StatusJson(const tools::StatusText& s) {
    return Json{{"byte", s.byte}, {"meanings", s.meanings}};
}

} // namespace

int ExitCodeFor(std::int32_t result) {
    if (result == ResultOk) return kExitOk;
    if (result == ResultDeviceStatus) return kExitDeviceStatus;
    if (result == ResultBadPort || result == ResultBadBaud) return kExitUsage; // -p or -b out of range
    return kExitFailed;
}

int CombineExit(int a, int b) {
    const auto rank = [](int code) { return code == kExitOk ? 0 : code == kExitDeviceStatus ? 1 : 2; };
    return rank(a) >= rank(b) ? a : b;
}

float FloatOfRaw(std::int32_t raw) {
    return std::bit_cast<float>(raw);
}
std::int32_t RawOfFloat(float value) {
    return std::bit_cast<std::int32_t>(value);
}

std::string Number(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return fmt::format("{}", value); // shortest round-trip form of the float
}

std::string HumanNumber(float value) {
    if (!std::isfinite(value)) return Number(value);
    return fmt::format("{:.6g}", value);
}

Json NumberJson(float value) {
    if (!std::isfinite(value)) return nullptr;
    // Through the shortest text, so that 25.03f shows as 25.03 and not 25.030000686645508.
    return std::stod(Number(value));
}

std::string ValueWithUnit(float value, int unitCode) {
    return HumanNumber(value) + " " + tools::Facts::Get().UnitSymbol(unitCode);
}

std::string RawHex(std::int32_t raw) {
    return fmt::format("0x{:08X}", static_cast<std::uint32_t>(raw));
}

Report::Report(std::string command) {
    json_["command"] = std::move(command);
}

void Report::Context(const std::string& key, Json value) {
    json_[key] = std::move(value);
}

void Report::Field(const std::string& key, const std::string& label, Json value, const std::string& text) {
    json_[key] = std::move(value);
    lines_.push_back({label, text});
}

void Report::RawValue(const std::string& key, const std::string& label, std::int32_t raw, int unitCode) {
    const auto& facts = tools::Facts::Get();
    const float v = FloatOfRaw(raw);
    json_[key] = Json{{"value", NumberJson(v)},
                      {"raw", RawHex(raw)},
                      {"unit", unitCode},
                      {"unit_name", facts.UnitName(unitCode)},
                      {"symbol", facts.UnitSymbol(unitCode)}};
    lines_.push_back({label, fmt::format("{}   (unit {}: {})", ValueWithUnit(v, unitCode), unitCode,
                                         facts.UnitName(unitCode))});
}

void Report::FloatValue(const std::string& key, const std::string& label, float value,
                        const std::string& unit) {
    json_[key] = NumberJson(value);
    lines_.push_back({label, unit.empty() ? HumanNumber(value) : HumanNumber(value) + " " + unit});
}

void Report::UnitCode(const std::string& key, const std::string& label, int unitCode) {
    const auto& facts = tools::Facts::Get();
    json_[key] = Json{
        {"unit", unitCode}, {"unit_name", facts.UnitName(unitCode)}, {"symbol", facts.UnitSymbol(unitCode)}};
    lines_.push_back({label, fmt::format("{} ({})", unitCode, facts.UnitName(unitCode))});
}

void Report::Status(std::uint8_t status1, std::uint8_t status2) {
    const auto& facts = tools::Facts::Get();
    const auto s1 = facts.Status1(status1);
    const auto s2 = facts.Status2(status2);
    json_["status1"] = StatusJson(s1);
    json_["status2"] = StatusJson(s2);
    lines_.push_back(
        {"response", fmt::format("0x{:02X} {}", status1, status1 == 0 ? "success" : s1.Joined())});
    lines_.push_back({"device status", fmt::format("0x{:02X} {}", status2, s2.Joined())});
}

void Report::Result(std::int32_t code) {
    result_ = code;
    hasResult_ = true;
    const auto fact = tools::Facts::Get().Result(code);
    json_["result"] = Json{{"code", code},
                           {"name", fact ? fact->name : "unknown"},
                           {"ok", code == ResultOk},
                           {"reason", fact ? fact->reason : "a code this tool does not know"},
                           {"hint", hasHint_ ? hint_
                                    : fact   ? fact->hint
                                             : ""}};
}

void Report::Hint(const std::string& text) {
    hint_ = text;
    hasHint_ = true;
    if (json_.contains("result")) json_["result"]["hint"] = text;
}

void Report::Diagnosis(const std::string& kind, const std::string& text,
                       const std::vector<std::string>& holders) {
    json_["diagnosis"] = Json{{"kind", kind}, {"text", text}, {"holders", holders}};
    Hint(text);
}

void Report::Warning(const std::string& text) {
    warnings_.push_back(text);
    json_["warnings"] = warnings_;
}

bool Report::Succeeded() const {
    return hasResult_ && (result_ == ResultOk || result_ == ResultDeviceStatus);
}

std::string Report::Human() const {
    std::string out;
    for (const Line& l : lines_)
        out += fmt::format("{:<{}}{}\n", l.label, kLabelWidth, l.text);
    return out;
}

int Report::Emit(bool json, std::FILE* out, std::FILE* err) const {
    if (json) {
        std::fprintf(out, "%s\n", json_.dump().c_str());
        return ExitCodeFor(result_);
    }
    for (const std::string& w : warnings_)
        std::fprintf(err, "warning: %s\n", w.c_str());
    std::fputs(Human().c_str(), out);
    const auto fact = tools::Facts::Get().Result(result_);
    const std::string name = fact ? fact->name : "unknown result";
    const std::string reason = fact ? fact->reason : "a code this tool does not know";
    const std::string hint = hasHint_ ? hint_ : fact ? fact->hint : "";
    if (result_ == ResultOk) {
        std::fprintf(out, "%-*s%s\n", static_cast<int>(kLabelWidth), "result", name.c_str());
    } else if (result_ == ResultDeviceStatus) {
        std::fprintf(out, "%-*s%s (%d): %s\n", static_cast<int>(kLabelWidth), "result", name.c_str(), result_,
                     reason.c_str());
        if (!hint.empty()) std::fprintf(out, "%-*s%s\n", static_cast<int>(kLabelWidth), "hint", hint.c_str());
    } else {
        std::fflush(out);
        std::fprintf(err, "error: %s (%d): %s\n", name.c_str(), result_, reason.c_str());
        if (!hint.empty()) std::fprintf(err, "hint: %s\n", hint.c_str());
    }
    return ExitCodeFor(result_);
}

} // namespace tarvik::cli
