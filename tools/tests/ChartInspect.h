// Shared by the chart tests: reading an SVG chart through chart_inspect.py (which parses it as XML
// and reports its series, points and gaps as JSON).
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "Kit.h"

namespace tarvik::chart::test {

inline std::string Inspector() {
    return TARVIK_TOOLS_DIR "/tests/chart_inspect.py";
}

// What chart_inspect.py reads from an SVG file; fails the test when it is not well-formed XML.
inline nlohmann::json InspectSvg(const std::string& path) {
    const auto [rc, out] = testkit::Shell("python3 '" + Inspector() + "' svg '" + path + "'");
    EXPECT_EQ(rc, 0) << path << " is not well-formed";
    return rc == 0 ? nlohmann::json::parse(out) : nlohmann::json();
}

} // namespace tarvik::chart::test
