#include "Facts.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "FactsData.h"

namespace tarvik::tools {
namespace {

using nlohmann::json;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::optional<int> WholeNumber(const std::string& text) {
    int value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || ptr != last || first == last) return std::nullopt;
    return value;
}

std::vector<NamedCode> NamedCodes(const json& list) {
    std::vector<NamedCode> out;
    for (const json& e : list)
        out.push_back({e.at("code").get<int>(), e.at("name").get<std::string>()});
    return out;
}

} // namespace

std::string StatusText::Joined() const {
    if (meanings.empty()) return "no conditions";
    std::string out;
    for (const std::string& m : meanings) {
        if (!out.empty()) out += "; ";
        out += m;
    }
    return out;
}

const Facts& Facts::Get() {
    static const Facts facts = Parse(kFactsJson);
    return facts;
}

Facts Facts::Parse(const std::string& text) {
    Facts f;
    try {
        const json j = json::parse(text);
        for (const json& u : j.at("units")) {
            f.units_.push_back(
                {u.at("code").get<int>(), u.at("name").get<std::string>(), u.value("symbol", std::string())});
        }
        for (const json& r : j.at("unit_ranges"))
            f.unitRanges_.push_back(
                {r.at("first").get<int>(), r.at("last").get<int>(), r.at("meaning").get<std::string>()});
        for (const json& b : j.at("status2_bits"))
            f.status2_.push_back({b.at("mask").get<int>(), b.at("meaning").get<std::string>()});
        f.commFlag_ = j.at("status1_comm_flag").get<int>();
        for (const json& b : j.at("status1_comm_bits"))
            f.commBits_.push_back({b.at("mask").get<int>(), b.at("meaning").get<std::string>()});
        for (const json& r : j.at("response_codes"))
            f.responses_.push_back({r.at("code").get<int>(), r.at("meaning").get<std::string>()});
        for (const json& r : j.at("results")) {
            f.results_.push_back({r.at("code").get<std::int32_t>(), r.at("name").get<std::string>(),
                                  r.at("reason").get<std::string>(), r.at("hint").get<std::string>()});
        }
        for (auto& [key, value] : j.at("device_codes").items()) {
            if (value.is_array()) f.deviceCodes_.emplace_back(key, NamedCodes(value));
        }
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("bad facts table: ") + e.what());
    }
    return f;
}

std::optional<UnitFact> Facts::Unit(int code) const {
    for (const UnitFact& u : units_)
        if (u.code == code) return u;
    return std::nullopt;
}

std::string Facts::UnitName(int code) const {
    if (auto u = Unit(code)) return u->name.empty() ? "no unit" : u->name;
    for (const Range& r : unitRanges_)
        if (code >= r.first && code <= r.last) return r.meaning + " unit " + std::to_string(code);
    return "reserved unit " + std::to_string(code);
}

std::string Facts::UnitSymbol(int code) const {
    if (auto u = Unit(code)) {
        if (!u->symbol.empty()) return u->symbol;
        if (!u->name.empty()) return u->name;
    }
    return "unit " + std::to_string(code);
}

std::optional<int> Facts::UnitCode(const std::string& text) const {
    if (auto n = WholeNumber(text)) return n;
    return UnitCodeByName(text);
}

bool Facts::UnitKnown(int code) const {
    if (Unit(code)) return true;
    for (const Range& r : unitRanges_)
        if (code >= r.first && code <= r.last) return true;
    return false;
}

std::optional<int> Facts::UnitCodeByName(const std::string& text) const {
    const std::string want = Lower(text);
    for (const UnitFact& u : units_)
        if ((!u.symbol.empty() && Lower(u.symbol) == want) || (!u.name.empty() && Lower(u.name) == want))
            return u.code;
    return std::nullopt;
}

StatusText Facts::Status2(std::uint8_t byte) const {
    StatusText s{byte, {}};
    for (const Bit& b : status2_)
        if (byte & b.mask) s.meanings.push_back(b.meaning);
    return s;
}

StatusText Facts::Status1(std::uint8_t byte) const {
    StatusText s{byte, {}};
    if (byte & commFlag_) {
        s.meanings.push_back("communication error");
        for (const Bit& b : commBits_)
            if (byte & b.mask) s.meanings.push_back(b.meaning);
        return s;
    }
    if (byte == 0) return s; // success: no condition to report
    for (const NamedCode& r : responses_)
        if (r.code == byte) {
            s.meanings.push_back(r.name + " (" + std::to_string(byte) + ")");
            return s;
        }
    s.meanings.push_back("command-specific response code " + std::to_string(byte));
    return s;
}

std::optional<ResultFact> Facts::Result(std::int32_t code) const {
    for (const ResultFact& r : results_)
        if (r.code == code) return r;
    return std::nullopt;
}

const std::vector<NamedCode>& Facts::Codes(const std::string& table) const {
    static const std::vector<NamedCode> none;
    for (const auto& [key, codes] : deviceCodes_)
        if (key == table) return codes;
    return none;
}

std::string Facts::CodeName(const std::string& table, int code) const {
    for (const NamedCode& c : Codes(table))
        if (c.code == code) return c.name;
    return "code " + std::to_string(code);
}

std::optional<int> Facts::CodeByName(const std::string& table, const std::string& text) const {
    if (auto n = WholeNumber(text)) return n;
    const std::string want = Lower(text);
    for (const NamedCode& c : Codes(table))
        if (Lower(c.name) == want) return c.code;
    return std::nullopt;
}

} // namespace tarvik::tools
