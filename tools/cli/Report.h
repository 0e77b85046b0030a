// What one command found, for people and for scripts: decoded values, the two status bytes, and
// the library's result code with its name, reason and hint. Printed as aligned lines or as one
// JSON object; the exit status follows the result.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tarvik::cli {

using Json = nlohmann::ordered_json;

// Exit status: 0 only for ResultOk. A decoded reply whose device status flags a condition exits
// with 3, every other failure with 1; 2 is a usage error (also a port or rate the library refuses
// as out of its range: ResultBadPort, ResultBadBaud).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDeviceStatus = 3;
int ExitCodeFor(std::int32_t result);
// The exit status of several results: any failure wins over a device condition over success.
int CombineExit(int a, int b);

// The float whose bit pattern a raw value holds, and back.
float FloatOfRaw(std::int32_t raw);
std::int32_t RawOfFloat(float value);
// Shortest text that reads back as the same float ("25.03", "-0.5", "nan", "inf").
std::string Number(float value);
// For people: at most six significant digits ("25.0312").
std::string HumanNumber(float value);
// The same as a JSON number; null for NaN and infinities.
Json NumberJson(float value);
// "25.03 l/min" (for people)
std::string ValueWithUnit(float value, int unitCode);
// "0x41C83D71"
std::string RawHex(std::int32_t raw);

class Report {
public:
    explicit Report(std::string command);

    // Where the command went (JSON only): port, baud, address ...
    void Context(const std::string& key, Json value);
    // A plain field.
    void Field(const std::string& key, const std::string& label, Json value, const std::string& text);
    // A line for people only (the JSON carries the same data elsewhere).
    void Text(const std::string& label, const std::string& text) { lines_.push_back({label, text}); }
    // A raw float pattern with its unit code: "25.03 l/min (unit 17: liters per minute)".
    void RawValue(const std::string& key, const std::string& label, std::int32_t raw, int unitCode);
    // A real float with an optional unit text.
    void FloatValue(const std::string& key, const std::string& label, float value,
                    const std::string& unit = "");
    // A unit code on its own: "17 (liters per minute)".
    void UnitCode(const std::string& key, const std::string& label, int unitCode);
    void Status(std::uint8_t status1, std::uint8_t status2);
    // After Result: what to do, for this case, instead of the result's general hint.
    void Hint(const std::string& text);
    // After Result: why the port could not be used (kind as in PortDiagnosis); replaces the hint.
    void Diagnosis(const std::string& kind, const std::string& text, const std::vector<std::string>& holders);
    void Result(std::int32_t code);
    // A note for people (stderr) and scripts ("warnings" in the JSON) that does not change the result.
    void Warning(const std::string& text);

    std::int32_t ResultCode() const { return result_; }
    bool Succeeded() const; // ResultOk or ResultDeviceStatus: the values are valid
    const Json& AsJson() const { return json_; }
    std::string Human() const;
    // Prints the report (JSON to `out`; for people the values to `out`, a failure to `err`) and
    // returns the exit status.
    int Emit(bool json, std::FILE* out, std::FILE* err) const;

private:
    struct Line {
        std::string label, text;
    };
    std::vector<Line> lines_;
    std::vector<std::string> warnings_;
    std::string hint_;
    bool hasHint_ = false;
    Json json_;
    std::int32_t result_ = 0;
    bool hasResult_ = false;
};

} // namespace tarvik::cli
