// The fast link to the 0731 unit against a scripted unit: the exports' requests and reply rules,
// replies that end at the line end, the timeout, retries, and the port held open (in memory, with
// a virtual clock); opening and a port that fails on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/Transport.h"
#include "readout/Protocol.h"
#include "support/MemoryPeer.h"
#include "support/ScriptedPeer.h"
#include "tarvik/Link.h"

using namespace tarvik::link;
using tarvik::test::Bytes;
using tarvik::test::BytesOf;
using tarvik::test::MemoryLines;
using tarvik::test::MemoryPeer;
using tarvik::test::ScriptedPeer;
using tarvik::test::ScriptedReply;

namespace {

constexpr int kPort = 23;
constexpr int kShortTimeoutMs = 250; // for replies that never complete
constexpr float kFailure = -999.0f;

// One call of the link with its outcome reduced to result and value (as float; -1 ints included).
struct Outcome {
    std::int32_t result;
    float value;
};
template <class T>
Outcome Of(const UnitResult<T>& r) {
    if constexpr (std::is_same_v<T, Done>) {
        return {r.result, 0};
    } else {
        return {r.result, static_cast<float>(r.value)};
    }
}
using Call = std::function<Outcome(ReadoutLink&)>;

struct Row {
    const char* name;
    Call call;
    std::string request; // the exact line that must reach the unit
    std::string reply;   // empty: the unit stays silent
    std::int32_t result;
    float value = 0; // checked when the result is ResultOk or a reply code of a read
};

class LinkReadout : public ::testing::Test {
protected:
    void SetUp() override {
        peer_.SetLineMode(true);
        ASSERT_EQ(link_.Open(kPort, {.timeoutMs = kShortTimeoutMs}), ResultOk);
    }

    void Run(std::initializer_list<Row> rows) {
        for (const Row& row : rows) {
            peer_.ClearReceived();
            if (!row.reply.empty()) peer_.Reply(BytesOf(row.reply), 2);
            const Outcome o = row.call(link_);
            EXPECT_EQ(o.result, row.result) << row.name;
            EXPECT_EQ(o.value, row.value) << row.name;
            ASSERT_TRUE(peer_.WaitForRequests(1)) << row.name;
            EXPECT_EQ(peer_.Requests()[0], BytesOf(row.request)) << row.name;
        }
    }

    MemoryLines lines_;
    MemoryPeer peer_{kPort};
    ReadoutLink link_;
};

Call PV(int ch) {
    return [=](ReadoutLink& l) { return Of(l.ReadProcessVariable(ch)); };
}
Call SP(int ch) {
    return [=](ReadoutLink& l) { return Of(l.ReadSetPoint(ch)); };
}

} // namespace

TEST_F(LinkReadout, GoodRepliesOfEveryCommand) {
    Run({
        {"TestComs", [](ReadoutLink& l) { return Of(l.TestComs()); }, "AZI\r",
         "Tarvik Instrument Model 0731\r\n", ResultOk},
        {"ReadSetPointSource", [](ReadoutLink& l) { return Of(l.ReadSetPointSource(4)); }, "AZ.08P46?\r",
         "az,08,p46,0,\r\n", ResultOk, 2},
        {"WriteSerialSetPointSource", [](ReadoutLink& l) { return Of(l.WriteSerialSetPointSource(2)); },
         "AZ.04P46=1\r", "AZ,04,P46,1,\r\n", ResultOk},
        {"WriteManualSetPointSource", [](ReadoutLink& l) { return Of(l.WriteManualSetPointSource(3)); },
         "AZ.06P46=0\r", "AZ,06,P46,0,\r\n", ResultOk},
        {"WriteVORState", [](ReadoutLink& l) { return Of(l.WriteVORState(3, 2)); }, "AZ.06P29=2\r",
         "AZ,06,P29,2\r\n", ResultOk},
        {"ReadMeasureUnit", [](ReadoutLink& l) { return Of(l.ReadMeasureUnit(2)); }, "AZ.03P04?\r",
         "AZ,03,P04,0,12,\r\n", ResultOk, 12},
        {"ReadTimeUnit", [](ReadoutLink& l) { return Of(l.ReadTimeUnit(4)); }, "AZ.07P10?\r",
         "AZ,07,P10,0, 3,\r\n", ResultOk, 3},
        {"ReadFullScale", [](ReadoutLink& l) { return Of(l.ReadFullScale(3)); }, "AZ.05P09?\r",
         "AZ,05,P09,0,25E1,\r\n", ResultOk, 250},
        {"ReadDecimalPlace", [](ReadoutLink& l) { return Of(l.ReadDecimalPlace(1)); }, "AZ.01P03?\r",
         "AZ,01,P03,0,7,\r\n", ResultOk, 7},
        {"WriteDecimalPlace", [](ReadoutLink& l) { return Of(l.WriteDecimalPlace(1, 2)); }, "AZ.01P03=2\r",
         "AZ,01,P03,2,\r\n", ResultOk},
        {"ReadProcessVariable", PV(2), "AZ.03K\r", "AZ,03,K,0,0,-12.75,\r\n", ResultOk, -12.75f},
        {"ReadSetPoint", SP(1), "AZ.02P01?\r", "AZ,02,P01,0,37.5,\r\n", ResultOk, 37.5f},
        {"WriteSetPoint", [](ReadoutLink& l) { return Of(l.WriteSetPoint(2, 2, 12.5f)); }, "AZ.04P01=12.50\r",
         "AZ,04,P01,12.50,\r\n", ResultOk},
    });
}

TEST_F(LinkReadout, UnusableRepliesGiveTheReplyCodeAndTheFailureValue) {
    Run({
        {"wrong identity", [](ReadoutLink& l) { return Of(l.TestComs()); }, "AZI\r",
         "Tarvik Instrument Model 0732\r\n", ResultWrongIdentity},
        {"source named by neither", [](ReadoutLink& l) { return Of(l.ReadSetPointSource(1)); }, "AZ.02P46?\r",
         "AZ,02,E,1,\r\n", ResultBadSourceReply, 0},
        {"only five commas", PV(1), "AZ.01K\r", "AZ,01,K,0,0,5.5\r\n", ResultBadProcessValueReply, kFailure},
        {"no line feed (waits for the timeout)", PV(1), "AZ.01K\r", "AZ,01,K,0,0,5.5,\r",
         ResultBadProcessValueReply, kFailure},
        {"integer with a trailing space", [](ReadoutLink& l) { return Of(l.ReadMeasureUnit(1)); },
         "AZ.01P04?\r", "AZ,01,P04,0,12 ,\r\n", ResultBadMeasureUnitReply, -1},
        {"set point not confirmed", [](ReadoutLink& l) { return Of(l.WriteSetPoint(1, 1, 5.0f)); },
         "AZ.02P01=5.0\r", "AZ,02,E,2,\r\n", ResultSetPointNotConfirmed},
        {"silence", SP(1), "AZ.02P01?\r", "", ResultNoReply, 0},
    });
}

TEST_F(LinkReadout, ArgumentsAreCheckedInTheExportsOrderBeforeAnythingIsSent) {
    struct Case {
        const char* name;
        std::function<std::int32_t()> call;
        std::int32_t result;
    } cases[] = {
        {"channel 0", [&] { return link_.ReadProcessVariable(0).result; }, ResultBadChannel},
        {"channel 5", [&] { return link_.ReadSetPointSource(5).result; }, ResultBadChannel},
        {"channel 257", [&] { return link_.ReadMeasureUnit(257).result; }, ResultBadChannel},
        {"valve state before channel", [&] { return link_.WriteVORState(9, 3).result; }, ResultBadValveState},
        {"set point: channel before digits", [&] { return link_.WriteSetPoint(9, 7, 1.0f).result; },
         ResultBadChannel},
        {"set point digits 4", [&] { return link_.WriteSetPoint(1, 4, 1.0f).result; }, ResultBadDecimalPlace},
        {"places -1", [&] { return link_.WriteDecimalPlace(1, -1).result; }, ResultBadDecimalPlace},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.call(), c.result) << c.name;
    EXPECT_TRUE(peer_.Received().empty());
}

TEST_F(LinkReadout, ReplyInTwoPiecesIsWaitedFor) {
    // The value half arrives 60 ms after the first half; the line end completes the reply.
    peer_.ReplySplit(BytesOf("AZ,03,K,0,0,4.25,\r\n"), 12, 2, 60);
    const auto r = link_.ReadProcessVariable(2);
    EXPECT_EQ(r.result, ResultOk);
    EXPECT_EQ(r.value, 4.25f);
}

TEST_F(LinkReadout, TheReplyEndsAtTheLineEndAndTrailingBytesAreDropped) {
    // Long timeout: the call must return at the line end, not at the timeout.
    link_.SetOptions({.timeoutMs = 20000});
    peer_.Reply(BytesOf("AZ,03,K,0,0,1.5,\r\nAZ,03,K,0,0,99,\r\n"));
    auto& clock = tarvik::api::ActiveBackend().GetClock();
    const auto start = clock.Now();
    const auto first = link_.ReadProcessVariable(2);
    EXPECT_LT(clock.Now() - start, std::chrono::seconds(10));
    EXPECT_EQ(first.result, ResultOk);
    EXPECT_EQ(first.value, 1.5f);
    // The second line was queued behind the first; the next request starts clean.
    peer_.Reply(BytesOf("AZ,03,K,0,0,2.5,\r\n"));
    const auto second = link_.ReadProcessVariable(2);
    EXPECT_EQ(second.result, ResultOk);
    EXPECT_EQ(second.value, 2.5f);
}

TEST_F(LinkReadout, RetriesAfterSilenceOrAnIncompleteLine) {
    link_.SetOptions({.timeoutMs = kShortTimeoutMs, .retries = 2});
    peer_.Queue({.bytes = {}, .silent = true});
    peer_.Reply(BytesOf("AZ,02,P01,0,3")); // no line end by the timeout
    peer_.Reply(BytesOf("AZ,02,P01,0,37.5,\r\n"));
    const auto r = link_.ReadSetPoint(1);
    EXPECT_EQ(r.result, ResultOk);
    EXPECT_EQ(r.value, 37.5f);
    EXPECT_EQ(peer_.Requests().size(), 3u);
}

TEST_F(LinkReadout, AnUnusableButCompleteReplyIsNotRepeated) {
    link_.SetOptions({.timeoutMs = kShortTimeoutMs, .retries = 2});
    peer_.Reply(BytesOf("AZ,02,E,1,\r\n"));
    EXPECT_EQ(link_.ReadSetPoint(1).result, ResultBadSetPointReply);
    EXPECT_EQ(peer_.Requests().size(), 1u);
}

TEST_F(LinkReadout, WithoutRetriesOneRequestOnly) {
    peer_.Queue({.bytes = {}, .silent = true});
    EXPECT_EQ(link_.ReadSetPoint(1).result, ResultNoReply);
    EXPECT_EQ(peer_.Requests().size(), 1u);
}

TEST_F(LinkReadout, ThePortIsHeldOpenAndExclusive) {
    EXPECT_TRUE(link_.IsOpen());
    EXPECT_EQ(TestComs_0731(kPort), ResultPortBusy);
    ReadoutLink second;
    EXPECT_EQ(second.Open(kPort), ResultPortBusy);
    link_.Close();
    EXPECT_FALSE(link_.IsOpen());
    EXPECT_EQ(link_.TestComs().result, ResultBadPort); // closed: no port until opened again
    EXPECT_EQ(second.Open(kPort), ResultOk);
}

TEST(LinkReadoutOpen, OpenResults) {
    ScriptedPeer peer(kPort);
    ReadoutLink link;
    EXPECT_EQ(link.TestComs().result, ResultBadPort); // never opened
    EXPECT_EQ(link.Open(0), ResultBadPort);
    EXPECT_EQ(link.Open(41), ResultBadPort);
    EXPECT_EQ(link.Open(kPort + 1), ResultPortAbsent);
    EXPECT_EQ(link.ReadProcessVariable(1).result, ResultPortAbsent);
    EXPECT_EQ(link.Open(kPort), ResultOk);
}

TEST(LinkReadoutOpen, APortThatFailsIsClosedAndOpenedAgainByTheNextRequest) {
    ReadoutLink link;
    {
        ScriptedPeer peer(kPort);
        peer.SetLineMode(true);
        ASSERT_EQ(link.Open(kPort, {.timeoutMs = kShortTimeoutMs}), ResultOk);
        peer.HangUp();
        const auto r = link.TestComs();
        EXPECT_TRUE(r.result == ResultPortBusy || r.result == ResultNoReply) << r.result;
    }
    ScriptedPeer again(kPort); // the device is back on a new terminal
    again.SetLineMode(true);
    again.Reply(BytesOf("Tarvik Instrument 0731\r\n"));
    std::int32_t result = link.TestComs().result;
    if (result != ResultOk) { // the first request may still meet the old, dead terminal
        again.Reply(BytesOf("Tarvik Instrument 0731\r\n"));
        result = link.TestComs().result;
    }
    EXPECT_EQ(result, ResultOk);
}

// Replies paced at 9600 baud (a look for every byte would be 16 to 25 looks here). The link rests
// two bytes and 2 ms at a time, and once it has had a reply to a command through one as long; a
// reply that comes out shorter is still taken within 2 ms and two byte times of its last byte.
TEST_F(LinkReadout, AReplyAsLongAsTheLastToTheCommandIsTakenInAFewLooks) {
    using std::chrono::microseconds;
    link_.SetOptions({.timeoutMs = 2000});
    const microseconds byteTime{1042}; // 10 bits at 9600
    const struct {
        const char* name;
        std::string reply;
        std::size_t maxLooks;
        microseconds maxLate; // after the last byte
    } cases[] = {
        {"the first reply", "AZ,03,K,0,0,-12.75,\r\n", 12, microseconds(2000) + 2 * byteTime},
        {"as long as the last", "AZ,03,K,0,0,-12.50,\r\n", 6, 2 * byteTime},
        {"shorter", "AZ,03,K,0,0,7,\r\n", 5, microseconds(2000) + 2 * byteTime},
        {"longer", "AZ,03,K,0,0,-12345.678,\r\n", 10, microseconds(2000) + 2 * byteTime},
    };
    auto& clock = tarvik::api::ActiveBackend().GetClock();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        peer_.Queue({.bytes = BytesOf(c.reply), .delayMs = 5, .byteUs = static_cast<int>(byteTime.count())});
        const std::size_t looks = peer_.Looks();
        const auto start = clock.Now();
        EXPECT_EQ(link_.ReadProcessVariable(2).result, ResultOk);
        const auto took = std::chrono::duration_cast<microseconds>(clock.Now() - start);
        const auto lastByte = std::chrono::milliseconds(5) + byteTime * static_cast<long>(c.reply.size());
        EXPECT_GE(took, lastByte);
        EXPECT_LE(took, lastByte + c.maxLate);
        EXPECT_LE(peer_.Looks() - looks, c.maxLooks);
    }
}

// Calls on one link from several threads are serialised: each gets the reply to its own request.
TEST_F(LinkReadout, CallsFromSeveralThreadsGetTheRepliesToTheirOwnRequests) {
    peer_.SetResponder([](const Bytes& request) {
        const std::string address(request.begin() + 3, request.begin() + 5); // "AZ.03K\r"
        return ScriptedReply{BytesOf("AZ," + address + ",K,0,0," + address + ".5,\r\n")};
    });
    constexpr int kThreads = 4, kCalls = 2000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int channel = 1; channel <= kThreads; ++channel)
        threads.emplace_back([&, channel] {
            for (int i = 0; i < kCalls; ++i) {
                const auto r = link_.ReadProcessVariable(channel);
                if (r.result != ResultOk || r.value != static_cast<float>(2 * channel - 1) + 0.5f) ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
}

// A unit that never ends its line: the link keeps no more than a reply's bound and stops there,
// rather than collecting until the timeout.
TEST_F(LinkReadout, AReplyWithoutALineEndEndsAtTheBound) {
    constexpr int kTimeoutMs = 2000;
    link_.SetOptions({.timeoutMs = kTimeoutMs});
    peer_.Reply(Bytes(3 * tarvik::readout::kMaxReply, 'A'), 2);
    auto& clock = tarvik::api::ActiveBackend().GetClock();
    const auto start = clock.Now();
    EXPECT_NE(link_.ReadProcessVariable(1).result, ResultNoReply);
    EXPECT_LT(clock.Now() - start, std::chrono::milliseconds(kTimeoutMs / 2));
}
