// The chart writer: time and value axes, the watch log reader, the series of a log, and the SVG
// itself, checked the way a reader sees it: parsed as XML by another program and rendered to pixels.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "ChartFile.h"
#include "ChartInspect.h"
#include "CsvLog.h"

namespace tarvik::chart {
namespace {

using nlohmann::json;
using tarvik::testkit::Shell;
using tarvik::testkit::TempDir;
using test::Inspector;
using test::InspectSvg;

TEST(ChartTime, ReadsTheLogsClockAndRefusesOtherText) {
    const auto base = ParseWallTime("2024-05-01T00:00:00");
    ASSERT_TRUE(base);
    EXPECT_EQ(*base, 19844.0 * 86400); // days since 1970-01-01
    const struct {
        const char* text;
        double offset; // from base; NAN: refused
    } cases[] = {
        {"2024-05-01T10:00:00.250", 36000.25}, {"2024-05-01 23:59:59", 86399},
        {"2024-05-02T00:00:00.5", 86400.5},    {"2024-02-29T00:00:00", -62 * 86400.0},
        {"2023-02-29T00:00:00", NAN},          {"2024-13-01T00:00:00", NAN},
        {"2024-05-01T24:00:00", NAN},          {"2024-05-01T10:00", NAN},
        {"2024-05-01T10:00:00.", NAN},         {"2024-05-01T10:00:00x", NAN},
        {"2024-5-01T10:00:00", NAN},           {"", NAN},
    };
    for (const auto& c : cases) {
        const auto t = ParseWallTime(c.text);
        if (std::isnan(c.offset))
            EXPECT_FALSE(t) << c.text;
        else
            EXPECT_NEAR(t.value_or(-1) - *base, c.offset, 1e-6) << c.text;
    }
    const double t = *ParseWallTime("1999-12-31T23:59:59.96");
    EXPECT_EQ(FormatDate(t), "1999-12-31");
    EXPECT_EQ(FormatClock(t), "23:59:59"); // cut, as clocks show it
    EXPECT_EQ(FormatClock(t, 2), "23:59:59.96");
}

TEST(ChartAxes, ValueAxisHoldsTheDataOnRoundTicks) {
    const struct {
        double lo, hi;
    } cases[] = {{0.92, 9.84},  {20, 20},          {0, 0},
                 {-3.5, -1.25}, {-0.004, 0.011},   {1e6, 1.3e6},
                 {99.9, 100},   {-3.4e38, 3.4e38}, {25.030000686645508, 25.03000069}};
    for (const auto& c : cases) {
        const Axis a = ValueAxis(c.lo, c.hi);
        SCOPED_TRACE(testing::Message() << c.lo << ".." << c.hi);
        EXPECT_LE(a.min, c.lo);
        EXPECT_GE(a.max, c.hi);
        EXPECT_LT(a.min, a.max);
        ASSERT_GE(a.ticks.size(), 2u);
        EXPECT_LE(a.ticks.size(), 6u);
        std::set<std::string> labels;
        for (const Tick& t : a.ticks) {
            EXPECT_GE(t.at, a.min - std::fabs(a.min) * 1e-12);
            EXPECT_LE(t.at, a.max + std::fabs(a.max) * 1e-12);
            labels.insert(t.label);
        }
        EXPECT_EQ(labels.size(), a.ticks.size()) << "tick labels must differ";
    }
    const Axis a = ValueAxis(0.92, 9.84);
    EXPECT_EQ(a.min, 0);
    EXPECT_EQ(a.max, 10);
    EXPECT_EQ(a.ticks[1].label, "2");
    EXPECT_EQ(ValueAxis(-0.004, 0.011).ticks[0].label, "-0.005");
}

TEST(ChartAxes, TimeTicksAreRoundClockTimesWithTheDateAtMidnight) {
    const double t0 = *ParseWallTime("2024-05-01T10:04:57.148");
    const struct {
        double span;
        const char* first;
        const char* second;
    } cases[] = {
        {6, "10:04:58", "10:04:59"}, {0.6, "10:04:57.0", "10:04:57.2"}, {600, "10:06", "10:08"},
        {7200, "10:15", "10:30"},    {0, "10:04:56.8", "10:04:57.0"},
    };
    for (const auto& c : cases) {
        const Axis a = TimeAxis(t0, t0 + c.span);
        ASSERT_GE(a.ticks.size(), 2u) << c.span;
        EXPECT_LE(a.ticks.size(), 8u) << c.span;
        EXPECT_EQ(a.ticks[0].label, c.first) << c.span;
        EXPECT_EQ(a.ticks[1].label, c.second) << c.span;
        EXPECT_GE(a.max - a.min, 1.0);
    }
    // Spans beyond the step table (a log with a wrong clock) still get a few ticks, and quickly.
    EXPECT_LE(TimeAxis(0, 1e12).ticks.size(), 9u);
    EXPECT_TRUE(ValueAxis(-1e308, 1e308).ticks.empty()); // no range to divide, and no hang
    const Axis night = TimeAxis(*ParseWallTime("2024-05-01T22:10:00"), *ParseWallTime("2024-05-02T03:00:00"));
    const auto midnight =
        std::find_if(night.ticks.begin(), night.ticks.end(), [](const Tick& t) { return !t.second.empty(); });
    ASSERT_NE(midnight, night.ticks.end());
    EXPECT_EQ(midnight->label, "00:00");
    EXPECT_EQ(midnight->second, "2024-05-02");
}

// A log as watch writes it, with what goes wrong in practice: a poll that got no reply, a value
// that is not a number, Windows line ends, a row cut short when the tool was killed, and a
// second run appended with its header.
const char* const kLog = "time,flow,flow unit,flow result,setpoint,setpoint unit,setpoint result,"
                         "pv:1,pv:1 unit,pv:1 result\n"
                         "2024-05-01T10:00:00.000,0.92,l/min,ResultOk,20,%,ResultOk,41.5,,ResultOk\r\n"
                         "2024-05-01T10:00:01.000,2.39,l/min,ResultOk,20,%,ResultOk,42,,ResultOk\n"
                         "2024-05-01T10:00:02.000,,,ResultNoReply,,,ResultNoReply,42.25,,ResultOk\n"
                         "2024-05-01T10:00:03.000,4.66,l/min,ResultDeviceStatus,20,%,ResultOk,nan,,ResultOk\n"
                         "2024-05-01T10:00:04.000,-1.5,l/min,ResultOk,20,%,ResultOk,42.5,,ResultOk\n"
                         "time,flow,flow unit,flow result,setpoint,setpoint unit,setpoint result,"
                         "pv:1,pv:1 unit,pv:1 result\n"
                         "2024-05-01T10:00:05.000,6.2,l/min,ResultOk,20,%,ResultOk,42.5,,ResultOk\n"
                         "2024-05-01T10:00:06.000,6.8,l/min,ResultOk,2";

TEST(ChartCsv, ReadsAWatchLogIntoOneSeriesPerValue) {
    std::istringstream in(kLog);
    const CsvLog log = ReadCsvLog(in);
    EXPECT_EQ(log.rows, 6u);
    EXPECT_EQ(log.skipped, 1u);
    ASSERT_EQ(log.series.size(), 3u);
    const struct {
        const char* name;
        const char* unit;
        std::vector<std::optional<double>> values;
    } want[] = {
        {"flow", "l/min", {0.92, 2.39, std::nullopt, 4.66, -1.5, 6.2}},
        {"setpoint", "%", {20, 20, std::nullopt, 20, 20, 20}},
        {"pv:1", "", {41.5, 42, 42.25, std::nullopt, 42.5, 42.5}},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        const Series& s = log.series[i];
        EXPECT_EQ(s.name, want[i].name);
        EXPECT_EQ(s.unit, want[i].unit);
        std::vector<std::optional<double>> values;
        for (const Point& p : s.points)
            values.push_back(p.value);
        EXPECT_EQ(values, want[i].values) << s.name;
    }
    EXPECT_EQ(SplitCsvRecord(R"(a,"b,c","say ""hi""",)"),
              (std::vector<std::string>{"a", "b,c", "say \"hi\"", ""}));
    for (const char* bad :
         {"", "time\n", "time,flow\n", "time,flow,unit,result\n", "flow,flow unit,flow result\n"}) {
        std::istringstream b(bad);
        EXPECT_THROW(ReadCsvLog(b), std::runtime_error) << bad;
    }
}

TEST(ChartCsv, AChangedUnitStartsASecondSeriesAndFailuresStayWithTheirName) {
    Recorder r;
    r.Add("flow", "", 0, std::nullopt); // fails before any value names the unit
    r.Add("flow", "l/min", 1, 10);
    r.Add("flow", "m3/h", 2, 0.6);
    r.Add("flow", "", 3, std::nullopt);
    r.Add("flow", "m3/h", 4, INFINITY);
    const auto& s = r.Collected();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].unit, "l/min");
    EXPECT_EQ(s[0].points.size(), 2u);
    EXPECT_EQ(s[1].unit, "m3/h");
    ASSERT_EQ(s[1].points.size(), 3u);
    EXPECT_FALSE(s[1].points[1].value);
    EXPECT_FALSE(s[1].points[2].value);
}

TEST(ChartSvg, TheChartOfAKnownLogHasEverySampleInsideItsAxesAndMarksTheGaps) {
    std::istringstream in(kLog);
    const CsvLog log = ReadCsvLog(in);
    TempDir dir;
    // Markup and a stray byte in the title must not break the document.
    WriteFileAtomically(dir / "log.svg", RenderSvg({"FT-103 <COM3> & \xff friends", log.series}));
    const json j = InspectSvg(dir / "log.svg");
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["title"], "FT-103 <COM3> & ? friends");
    EXPECT_EQ(j["subtitle"], "6 polls from 2024-05-01 10:00:00 to 10:00:05; 3 values missing (failed poll)");
    EXPECT_EQ(j["legend"], json({"flow (l/min)", "setpoint (%)", "pv:1", "failed poll"}));
    EXPECT_EQ(j["time_ticks"].front(), "10:00:00");
    ASSERT_EQ(j["panels"].size(), 3u); // one per unit
    for (std::size_t i = 0; i < 3; ++i) {
        const json& panel = j["panels"][i];
        const Series& s = log.series[i];
        ASSERT_EQ(panel["series"].size(), 1u);
        const json& drawn = panel["series"][0];
        EXPECT_EQ(drawn["name"], s.name);
        SCOPED_TRACE(s.name);
        // Every value inside the axis range, every drawn point inside the frame.
        std::size_t values = 0, gaps = 0, points = drawn["singles"].size();
        for (const Point& p : s.points) {
            if (!p.value) {
                ++gaps;
                continue;
            }
            ++values;
            EXPECT_GE(*p.value, panel["min"].get<double>());
            EXPECT_LE(*p.value, panel["max"].get<double>());
        }
        const auto plot = panel["plot"].get<std::vector<double>>();
        auto inside = [&](const json& xy) {
            const double x = xy[0], y = xy[1];
            return x >= plot[0] && x <= plot[0] + plot[2] && y >= plot[1] && y <= plot[1] + plot[3];
        };
        for (const json& line : drawn["lines"]) {
            points += line.size();
            for (const json& xy : line)
                EXPECT_TRUE(inside(xy)) << xy;
        }
        for (const json& xy : drawn["singles"])
            EXPECT_TRUE(inside(xy)) << xy;
        EXPECT_EQ(points, values);
        EXPECT_EQ(drawn["gaps"].get<std::size_t>(), gaps);
        // A gap breaks the line: two runs around the failed poll, never a line through it.
        EXPECT_EQ(drawn["lines"].size() + drawn["singles"].size(), 2u);
    }
    EXPECT_LT(j["panels"][0]["min"].get<double>(), 0); // the negative flow is on the axis too
}

TEST(ChartSvg, RendersToAPictureWithTheSeriesColours) {
    std::istringstream in(kLog);
    TempDir dir;
    WriteFileAtomically(dir / "log.svg", RenderSvg({"FT-103 on COM3", ReadCsvLog(in).series}));
    const auto [rc, err] =
        Shell("rsvg-convert '" + (dir / "log.svg") + "' -o '" + (dir / "log.png") + "' 2>&1");
    ASSERT_EQ(rc, 0) << "rsvg-convert (Debian: librsvg2-bin): " << err;
    const auto [prc, out] = Shell("python3 '" + Inspector() + "' png '" + (dir / "log.png") + "'");
    ASSERT_EQ(prc, 0);
    const json png = json::parse(out);
    EXPECT_EQ(png["width"], 960);
    EXPECT_GT(png["colours"].get<int>(), 20);
    EXPECT_GT(png["ink"].get<double>(), 0.01); // lines and text, not a blank page
    const auto main = png["main"].get<std::vector<std::string>>();
    for (const char* colour : {"0072b2", "d55e00", "009e73"}) // the three series
        EXPECT_NE(std::find(main.begin(), main.end(), colour), main.end()) << colour;
}

TEST(ChartFile, ReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir / "chart.svg";
    LiveChart chart(path, "COM3");
    EXPECT_EQ(InspectSvg(path)["subtitle"], "no polls yet"); // valid before the first poll
    chart.Add("flow", "l/min", "2024-05-01T10:00:00.000", 1.5);
    chart.Add("flow", "l/min", "2024-05-01T10:00:01.000", std::nullopt);
    ASSERT_TRUE(chart.Write()) << chart.Error();
    EXPECT_EQ(InspectSvg(path)["panels"][0]["series"][0]["gaps"], 1);
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"chart.svg"});

    EXPECT_THROW(LiveChart(dir / "missing/chart.svg", "COM3"), std::runtime_error);
    ::chmod(path.c_str(), 0444); // a read-only file in a writable directory is still replaced
    EXPECT_NO_THROW(WriteFileAtomically(path, "<svg/>"));
    EXPECT_THROW(WriteFileAtomically(dir / "", "x"), std::runtime_error); // a directory
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"chart.svg"});
}

} // namespace
} // namespace tarvik::chart
