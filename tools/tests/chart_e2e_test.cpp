// End to end: `tarvik watch --chart` against tarvik-sim with faults injected, and `tarvik chart`
// drawing the same poll log afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "ChartInspect.h"
#include "CsvLog.h"
#include "Kit.h"

namespace {

using nlohmann::json;
using tarvik::chart::test::InspectSvg;
using namespace tarvik::testkit;

// The flow device at 38400 on COM3; three replies in ten come with a bad checksum.
class ChartE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.Ready({3})); }
    std::string Tool(const std::string& args) const { return sim_.Command(args) + " 2>&1"; }
    // The directory's files, but for the simulator's owner record of its link (.COM3.owner).
    std::vector<std::string> Files() const {
        std::vector<std::string> names = temp_.Files();
        std::erase(names, ".COM3.owner");
        return names;
    }
    // Samples and failed polls drawn per series, in legend order.
    static std::vector<std::pair<std::size_t, std::size_t>> Drawn(const json& chart) {
        std::vector<std::pair<std::size_t, std::size_t>> out;
        for (const json& panel : chart["panels"])
            for (const json& s : panel["series"]) {
                std::size_t points = s["singles"].size();
                for (const json& line : s["lines"])
                    points += line.size();
                out.emplace_back(points, s["gaps"].get<std::size_t>());
            }
        return out;
    }
    // The same per series from the log.
    static std::vector<std::pair<std::size_t, std::size_t>> Logged(const std::string& csv) {
        std::ifstream in(csv);
        std::vector<std::pair<std::size_t, std::size_t>> out;
        for (const auto& s : tarvik::chart::ReadCsvLog(in).series) {
            std::size_t values = 0;
            for (const auto& p : s.points)
                values += p.value.has_value();
            out.emplace_back(values, s.points.size() - values);
        }
        return out;
    }

    TempDir temp_;
    const std::string dir_ = temp_.Path();
    Simulator sim_{{"--flow", "3:38400", "--faults", "checksum=0.3"}, {.dir = dir_, .log = "/dev/null"}};
};

TEST_F(ChartE2E, WatchChartsEveryPollAndTheLogDrawsTheSameChart) {
    const std::string svg = dir_ + "/watch.svg", csv = dir_ + "/watch.csv";
    const auto [rc, out] =
        Shell(Tool("watch flow setpoint -p 3 -b 38400 -a 64:010203 --count 12 --interval 0.05 "
                   "--chart " +
                   svg + " --csv " + csv));
    EXPECT_EQ(rc, 1) << out; // some polls failed
    EXPECT_NE(out.find("chart: " + svg), std::string::npos) << out;
    const json live = InspectSvg(svg);
    ASSERT_TRUE(live.is_object());
    EXPECT_EQ(live["title"], "COM3: HART device 64:010203 at 38400 bit/s");
    EXPECT_EQ(live["legend"][0], "flow (l/min)");
    EXPECT_EQ(live["legend"][1], "setpoint (%)");
    const auto drawn = Drawn(live);
    ASSERT_EQ(drawn.size(), 2u);
    std::size_t gaps = 0;
    for (const auto& [points, failed] : drawn) {
        EXPECT_EQ(points + failed, 12u);
        gaps += failed;
    }
    EXPECT_GT(gaps, 0u) << "the injected faults should show as gaps";
    EXPECT_EQ(drawn, Logged(csv));

    const std::string again = dir_ + "/again.svg";
    const auto [crc, cout] = Shell(Tool("chart " + csv + " -o " + again + " --title 'FT-103 on COM3'"));
    EXPECT_EQ(crc, 0) << cout;
    const json drawnAgain = InspectSvg(again);
    EXPECT_EQ(drawnAgain["title"], "FT-103 on COM3");
    EXPECT_EQ(drawnAgain["panels"], live["panels"]);
    EXPECT_EQ(Files(), (std::vector<std::string>{"COM3", "again.svg", "watch.csv", "watch.svg"}));

    // Not a watch log, or no file: a usage error that says so.
    std::ofstream(dir_ + "/other.csv") << "a,b\n1,2\n";
    const auto [brc, bout] = Shell(Tool("chart " + dir_ + "/other.csv"));
    EXPECT_EQ(brc, 2);
    EXPECT_NE(bout.find("not a log of tarvik watch --csv"), std::string::npos) << bout;
    EXPECT_EQ(Shell(Tool("chart " + dir_ + "/none.csv")).exit, 2);
}

TEST_F(ChartE2E, ChartIsCompleteWhenWatchIsInterrupted) {
    const std::string svg = dir_ + "/watch.svg";
    Process watch({TARVIK_CLI, "watch", "flow", "-p", "3", "-b", "38400", "-a", "64:010203", "--interval",
                   "0.05", "--chart", svg},
                  "/dev/null", {"TARVIK_PORT_DIR=" + dir_});
    // Wait for a few polls to reach the chart, then Ctrl-C.
    std::size_t polls = 0;
    WaitUntil(
        [&] {
            if (::access(svg.c_str(), F_OK) != 0) return false; // not started yet
            // Read while watch rewrites the file: every version must be a whole document.
            const json j = InspectSvg(svg);
            if (j.is_object() && !j["panels"].empty()) {
                const auto d = Drawn(j);
                polls = d[0].first + d[0].second;
            }
            return polls >= 4;
        },
        Seconds(30));
    ASSERT_GE(polls, 4u);
    ASSERT_GE(watch.Stop(SIGINT), 0); // it ended by itself, not by the signal
    const auto drawn = Drawn(InspectSvg(svg));
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_GE(drawn[0].first + drawn[0].second, polls);
    EXPECT_EQ(Files(), (std::vector<std::string>{"COM3", "watch.svg"}));
}

} // namespace
