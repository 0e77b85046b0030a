// Shared by the chart tests: running a shell command, and reading an SVG chart through
// chart_inspect.py (which parses it as XML and reports its series, points and gaps as JSON).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

namespace tarvik::chart::test {

// Output and exit status of a shell command.
inline std::pair<int, std::string> Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return {-1, out};
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int status = ::pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

inline std::string Inspector() {
    return TARVIK_TOOLS_DIR "/tests/chart_inspect.py";
}

// What chart_inspect.py reads from an SVG file; fails the test when it is not well-formed XML.
inline nlohmann::json InspectSvg(const std::string& path) {
    const auto [rc, out] = Shell("python3 '" + Inspector() + "' svg '" + path + "'");
    EXPECT_EQ(rc, 0) << path << " is not well-formed";
    return rc == 0 ? nlohmann::json::parse(out) : nlohmann::json();
}

} // namespace tarvik::chart::test
