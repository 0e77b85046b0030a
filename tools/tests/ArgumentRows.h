// The rows every front end's argument test runs, derived from the shared argument table (the
// Python package's test derives the same ones): its boundaries, the values just outside them, a
// value that wraps into a byte, and the number and text cases of its rules. A changed range in the
// table changes the rows.
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Arguments.h"

namespace tarvik::tools::test {

inline constexpr int kWrap = 256; // a value one byte higher: the old tools sent it as the byte below

struct Row {
    std::string argument;
    std::string value;
    bool accepted = false;
};

inline std::vector<Row> RowsFromTable() {
    const Arguments& table = Arguments::Get();
    const Facts& facts = Facts::Get();
    std::vector<Row> rows;
    const auto add = [&rows](const std::string& arg, const std::string& v, bool ok) {
        rows.push_back({arg, v, ok});
    };
    for (const auto& s : table.All()) {
        switch (s.kind) {
        case ArgumentKind::Range:
            for (int v : {s.first, s.last})
                add(s.name, std::to_string(v), true);
            for (int v : {s.first - 1, s.last + 1, s.first + kWrap})
                add(s.name, std::to_string(v), false);
            break;
        case ArgumentKind::Codes: {
            int highest = 0;
            for (const auto& c : facts.Codes(s.codes)) {
                add(s.name, c.name, true);
                highest = std::max(highest, c.code);
            }
            for (int v : {highest + 1, kWrap + highest})
                add(s.name, std::to_string(v), false);
            add(s.name, "0x1", false);
            break;
        }
        case ArgumentKind::Unit: {
            int reserved = 0;
            while (facts.UnitKnown(reserved))
                ++reserved;
            add(s.name, std::to_string(reserved), false);
            add(s.name, std::to_string(kWrap + 19), false);
            add(s.name, "furlongs", false);
            add(s.name, "99999999999", false);
            break;
        }
        case ArgumentKind::Number:
            if (s.min && s.max) { // its bounds, and a hundredth of its span beyond each
                const double step = (*s.max - *s.min) / 100;
                for (double v : {*s.min, *s.max})
                    add(s.name, fmt::format("{:g}", v), true);
                for (double v : {*s.min - step, *s.max + step})
                    add(s.name, fmt::format("{:g}", v), false);
            } else {
                for (const char* v : {"0", "-2.5", "40", "3.4e38", "1.2e-38"})
                    add(s.name, v, true);
            }
            for (const char* v :
                 {"nan", "inf", "-inf", "0x10", "1e-50", "1e39", "1e400", "12,5", "99999999999e99"})
                add(s.name, v, false);
            break;
        case ArgumentKind::Text:
            add(s.name, "FT-103", true);
            add(s.name, std::string(s.length, 'A'), true);
            add(s.name, "secret12", false);
            add(s.name,
                "S\xC3\x89"
                "CRET1",
                false); // É: eight bytes, seven characters
            add(s.name, std::string(s.length + 1, 'A'), false);
            break;
        }
    }
    return rows;
}

} // namespace tarvik::tools::test
