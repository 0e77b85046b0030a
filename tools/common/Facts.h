// The one decoding table of the tools (facts.json): unit names, status bits, response codes,
// result codes with reason and hint, and the devices' state codes. Lookups never fail: an unknown
// code gets a text that says so and shows the number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::tools {

struct UnitFact {
    int code = 0;
    std::string name;   // empty for code 0
    std::string symbol; // short form for value lines ("l/min"); may be empty
};

struct ResultFact {
    std::int32_t code = 0;
    std::string name;
    std::string reason;
    std::string hint;
};

struct NamedCode {
    int code = 0;
    std::string name;
};

// A decoded status byte: the byte, and one text per condition it carries.
struct StatusText {
    std::uint8_t byte = 0;
    std::vector<std::string> meanings;
    std::string Joined() const; // "a; b" or "no conditions"
};

class Facts {
public:
    // The embedded table (parsed once).
    static const Facts& Get();
    // A table from JSON text; throws std::runtime_error when the text is not a valid table.
    static Facts Parse(const std::string& json);

    std::optional<UnitFact> Unit(int code) const;
    // "liters per minute", "reserved unit 160", "manufacturer-specific unit 241".
    std::string UnitName(int code) const;
    // "l/min", else the name, else "unit <n>".
    std::string UnitSymbol(int code) const;
    // Unit code by symbol or name, case-insensitive ("l/min", "liters per minute"), or a number.
    std::optional<int> UnitCode(const std::string& text) const;
    // Unit code by symbol or name only (no number).
    std::optional<int> UnitCodeByName(const std::string& text) const;
    // A code the table names or one of its unit ranges covers; false for reserved codes.
    bool UnitKnown(int code) const;

    StatusText Status2(std::uint8_t byte) const; // field-device status
    StatusText Status1(std::uint8_t byte) const; // response code or communication error summary

    std::optional<ResultFact> Result(std::int32_t code) const;
    const std::vector<ResultFact>& Results() const { return results_; }

    // Device state codes: "vor_states", "totalizer_states", "setpoint_sources", "protect_modes".
    const std::vector<NamedCode>& Codes(const std::string& table) const;
    std::string CodeName(const std::string& table, int code) const; // "closed", or "code 7"
    std::optional<int> CodeByName(const std::string& table, const std::string& text) const;

    const std::vector<UnitFact>& Units() const { return units_; }

private:
    struct Bit {
        int mask = 0;
        std::string meaning;
    };
    struct Range {
        int first = 0, last = 0;
        std::string meaning;
    };
    std::vector<UnitFact> units_;
    std::vector<Range> unitRanges_;
    std::vector<Bit> status2_;
    int commFlag_ = 0x80;
    std::vector<Bit> commBits_;
    std::vector<NamedCode> responses_;
    std::vector<ResultFact> results_;
    std::vector<std::pair<std::string, std::vector<NamedCode>>> deviceCodes_;
};

} // namespace tarvik::tools
