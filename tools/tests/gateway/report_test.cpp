// Report by exception: which readings of a value go out, poll by poll.
#include <gtest/gtest.h>

#include "ReportByException.h"

namespace {

using tarvik::gateway::ReportConfig;
using tarvik::gateway::ReportFilter;
using tarvik::gateway::ReportSettings;

struct Poll {
    double at; // seconds
    std::optional<double> value;
    int quality;
    bool published;
};

TEST(ReportByException, WhichReadingsGoOut) {
    struct Case {
        const char* what;
        ReportSettings settings;
        bool everyPoll;
        std::vector<Poll> polls;
    };
    const double kPoll = 0.2;
    ReportSettings band;
    band.deadband = 0.5;
    ReportSettings percent;
    percent.deadbandPercent = 1;
    percent.low = 0;
    percent.high = 200;
    ReportSettings heartbeat;
    heartbeat.deadband = 1;
    heartbeat.maxInterval = 1;
    ReportSettings spaced;
    spaced.deadband = 0;
    spaced.minInterval = 1;
    const Case cases[] = {
        {"JSON default: every poll", {}, true, {{0, 1, 3, true}, {0.2, 1, 3, true}, {0.4, 1, 3, true}}},
        {"Sparkplug default: every change",
         {},
         false,
         {{0, 1, 3, true}, {0.2, 1, 3, false}, {0.4, 2, 3, true}}},
        {"absolute deadband, from the last published value",
         band,
         true,
         {{0, 1.0, 3, true},
          {0.2, 1.3, 3, false},
          {0.4, 1.6, 3, true},
          {0.6, 1.2, 3, false},
          {0.8, 1.0, 3, true}}},
        {"percent of range", percent, true, {{0, 10, 3, true}, {0.2, 11.5, 3, false}, {0.4, 12.1, 3, true}}},
        {"a quality change goes out within the band and the minimum interval",
         spaced,
         true,
         {{0, 1, 3, true}, {0.2, 1, 2, true}, {0.4, std::nullopt, 2, true}, {0.6, 5, 2, true}}},
        {"minimum interval", spaced, true, {{0, 1, 3, true}, {0.5, 2, 3, false}, {1.0, 3, 3, true}}},
        {"heartbeat on the poll nearest to max_interval",
         heartbeat,
         true,
         {{0, 5, 3, true},
          {0.2, 5, 3, false},
          {0.85, 5, 3, false},
          {0.95, 5, 3, true},
          {1.8, 5.5, 3, false},
          {1.9, 5, 3, true}}},
    };
    for (const Case& c : cases) {
        ReportFilter f;
        const auto start = ReportFilter::Clock::now();
        for (const Poll& p : c.polls) {
            const auto at = start + std::chrono::duration_cast<ReportFilter::Clock::duration>(
                                        std::chrono::duration<double>(p.at));
            EXPECT_EQ(f.Offer(c.settings, c.everyPoll, p.value, p.quality, at, kPoll), p.published)
                << c.what << " at " << p.at;
        }
    }
}

TEST(ReportByException, TheMostSpecificRuleApplies) {
    ReportConfig config;
    config.defaults.maxInterval = 60;
    ReportSettings flow = config.defaults;
    flow.deadband = 0.5;
    ReportSettings own = config.defaults;
    own.deadband = 2;
    config.rules = {{"mfc1/flow", own}, {"flow", flow}};
    EXPECT_EQ(config.For("mfc1", "flow", false).deadband, 2);
    EXPECT_EQ(config.For("mfc2", "flow", false).deadband, 0.5);
    EXPECT_FALSE(config.For("mfc2", "totalizer", false).deadband);
    // A percent value has its range (0..100) for a percent deadband.
    const ReportSettings sp = config.For("mfc2", "setpoint", true);
    EXPECT_EQ(sp.low, 0);
    EXPECT_EQ(sp.high, 100);
}

} // namespace
