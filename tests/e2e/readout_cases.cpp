// The thirteen _0731 exports end to end against a scripted read-out unit. Written against the
// shared case interface (C exports and a Peer only), so the same cases run on Linux and under Wine.
#include <clocale>
#include <functional>
#include <locale>
#include <optional>
#include <string>
#include <string_view>

#include "e2e/E2E.h"

namespace tarvik::e2e {

namespace {

constexpr int kPort = 3;     // wired to a peer in the Windows test setup
constexpr int kLateMs = 530; // after the 500 ms wait, before the 600 ms one
constexpr int kSettleMs = 150;
// A late reply whose peer woke more than this after its time says nothing about the waits: the
// exchange is made again (a peer thread on a busy machine, under Wine); in memory it is exact.
constexpr int kPeerSlackMs = 40;
constexpr int kTimingTries = 5;

constexpr std::int32_t kUnitsUnset = 0x5A5A5A5A;
constexpr float kValueUnset = 1234.5f;
constexpr std::uint8_t kSourceUnset = 0xA5;

Bytes Text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Every output of the family, preset to markers so that a stray write shows.
struct Outputs {
    std::int32_t units = kUnitsUnset; // Units or Places
    float value = kValueUnset;
    std::uint8_t source = kSourceUnset;
};

// What a call must leave in the outputs; nullopt: untouched.
struct Written {
    std::optional<std::int32_t> units = std::nullopt;
    std::optional<float> value = std::nullopt;
    std::optional<std::uint8_t> source = std::nullopt;
};

using Call = std::function<std::int32_t(std::int32_t port, Outputs&)>;

struct Row {
    const char* name;
    Call call;
    std::string request; // the exact line that must reach the unit
    std::string reply;   // empty: the unit stays silent
    std::int32_t result;
    Written written;
    int delayMs = 5;
};

void ExpectOutputs(const char* name, const Outputs& o, const Written& w) {
    E2E_EXPECT_EQ(o.units, w.units.value_or(kUnitsUnset)) << name;
    E2E_EXPECT_EQ(o.value, w.value.value_or(kValueUnset)) << name;
    E2E_EXPECT_EQ(o.source, w.source.value_or(kSourceUnset)) << name;
}

// One exchange: queue the reply, call, compare result, request and outputs.
void Exchange(Peer& peer, const Row& row) {
    peer.ClearReceived();
    if (!row.reply.empty()) peer.Reply(Text(row.reply), row.delayMs);
    Outputs o;
    E2E_EXPECT_EQ(row.call(kPort, o), row.result) << row.name;
    E2E_EXPECT_TRUE(peer.WaitForRequests(1));
    const auto requests = peer.Requests();
    E2E_ASSERT_EQ(requests.size(), 1u) << row.name;
    E2E_EXPECT_EQ(requests[0], Text(row.request)) << row.name;
    ExpectOutputs(row.name, o, row.written);
}

// An exchange whose outcome depends on when the reply starts: made again while the peer itself
// answered later than scripted, so the waits are judged by replies that came on time.
void TimedExchange(Peer& peer, const Row& row) {
    for (int tries = 0; tries < kTimingTries; ++tries) {
        peer.ClearReceived();
        peer.Reply(Text(row.reply), row.delayMs);
        Outputs o;
        const std::int32_t result = row.call(kPort, o);
        PauseMs(kSettleMs); // the late reply has come before the next call
        if (peer.LastAnswerLateMs() <= kPeerSlackMs) {
            E2E_EXPECT_EQ(result, row.result) << row.name;
            ExpectOutputs(row.name, o, row.written);
            return;
        }
    }
    E2E_EXPECT_TRUE(false) << row.name << ": the peer answered late " << kTimingTries << " times in a row";
}

void RunAll(std::initializer_list<Row> rows) {
    auto peer = MakePeer(kPort);
    peer->SetLineMode(true);
    for (const Row& row : rows)
        Exchange(*peer, row);
}

// ---- the calls -------------------------------------------------------------------------------

Call TestComs() {
    return [](std::int32_t port, Outputs&) { return TestComs_0731(port); };
}
Call ReadSource(std::int32_t ch) {
    return [=](std::int32_t port, Outputs& o) { return ReadSetPointSource_0731(port, ch, &o.source); };
}
Call WriteSerial(std::int32_t ch) {
    return [=](std::int32_t port, Outputs&) { return WriteSerialSetPointSource_0731(port, ch); };
}
Call WriteManual(std::int32_t ch) {
    return [=](std::int32_t port, Outputs&) { return WriteManualSetPointSource_0731(port, ch); };
}
Call WriteValve(std::int32_t ch, std::int32_t state) {
    return [=](std::int32_t port, Outputs&) { return WriteVORState_0731(port, ch, state); };
}
Call MeasureUnit(std::int32_t ch) {
    return [=](std::int32_t port, Outputs& o) { return ReadMeasureUnit_0731(port, ch, &o.units); };
}
Call TimeUnit(std::int32_t ch) {
    return [=](std::int32_t port, Outputs& o) { return ReadTimeUnit_0731(port, ch, &o.units); };
}
Call FullScale(std::int32_t ch) {
    return [=](std::int32_t port, Outputs& o) { return ReadFullScale_0731(port, ch, &o.value); };
}
Call ReadPlaces(std::int32_t ch) {
    return [=](std::int32_t port, Outputs& o) { return ReadDecimalPlace_0731(port, ch, &o.units); };
}
Call WritePlaces(std::int32_t ch, std::int32_t places) {
    return [=](std::int32_t port, Outputs&) { return WriteDecimalPlace_0731(port, ch, places); };
}
Call ProcessValue(std::int32_t ch) {
    return [=](std::int32_t port, Outputs& o) { return ReadProcessVariable_0731(port, ch, &o.value); };
}
Call ReadSP(std::int32_t ch) {
    return [=](std::int32_t port, Outputs& o) { return ReadSetPoint_0731(port, ch, &o.value); };
}
Call WriteSP(std::int32_t ch, std::int32_t digits, float setPoint) {
    return [=](std::int32_t port, Outputs&) { return WriteSetPoint_0731(port, ch, digits, setPoint); };
}

// A call with a valid channel and valid inputs for each of the thirteen exports.
const std::pair<const char*, Call> kEveryExport[] = {
    {"TestComs", TestComs()},
    {"ReadSetPointSource", ReadSource(1)},
    {"WriteSerialSetPointSource", WriteSerial(1)},
    {"WriteManualSetPointSource", WriteManual(1)},
    {"WriteVORState", WriteValve(1, 1)},
    {"ReadMeasureUnit", MeasureUnit(1)},
    {"ReadTimeUnit", TimeUnit(1)},
    {"ReadFullScale", FullScale(1)},
    {"ReadDecimalPlace", ReadPlaces(1)},
    {"WriteDecimalPlace", WritePlaces(1, 1)},
    {"ReadProcessVariable", ProcessValue(1)},
    {"ReadSetPoint", ReadSP(1)},
    {"WriteSetPoint", WriteSP(1, 1, 1.0f)},
};

} // namespace

// ---- good replies: every request byte for byte -------------------------------------------------

E2E_CASE(ReadoutEndToEnd, LinkTestSourceAndValve) {
    RunAll({
        {"TestComs", TestComs(), "AZI\r", "Tarvik Instrument Model 0731 V1.2\r\n", ResultOk, {}},
        {"ReadSetPointSource serial",
         ReadSource(1),
         "AZ.02P46?\r",
         "AZ,02,P46,1,\r\n",
         ResultOk,
         {.source = 1}},
        {"ReadSetPointSource manual",
         ReadSource(4),
         "AZ.08P46?\r",
         "az,08,p46,0,\r\n",
         ResultOk,
         {.source = 2}},
        {"WriteSerialSetPointSource", WriteSerial(2), "AZ.04P46=1\r", "AZ,04,P46,1,\r\n", ResultOk, {}},
        {"WriteManualSetPointSource", WriteManual(3), "AZ.06P46=0\r", "AZ,06,P46,0,\r\n", ResultOk, {}},
        {"WriteVORState", WriteValve(3, 2), "AZ.06P29=2\r", "AZ,06,P29,2\r\n", ResultOk, {}},
    });
}

E2E_CASE(ReadoutEndToEnd, UnitsFullScaleAndDecimalPlaces) {
    RunAll({
        {"ReadMeasureUnit", MeasureUnit(2), "AZ.03P04?\r", "AZ,03,P04,0,12,\r\n", ResultOk, {.units = 12}},
        {"ReadTimeUnit", TimeUnit(4), "AZ.07P10?\r", "AZ,07,P10,0, 3,\r\n", ResultOk, {.units = 3}},
        {"ReadFullScale", FullScale(3), "AZ.05P09?\r", "AZ,05,P09,0,25E1,\r\n", ResultOk, {.value = 250.0f}},
        {"ReadDecimalPlace", ReadPlaces(1), "AZ.01P03?\r", "AZ,01,P03,0,7,\r\n", ResultOk, {.units = 7}},
        {"WriteDecimalPlace", WritePlaces(1, 2), "AZ.01P03=2\r", "AZ,01,P03,2,\r\n", ResultOk, {}},
    });
}

E2E_CASE(ReadoutEndToEnd, ProcessValueAndSetPoint) {
    RunAll({
        {"ReadProcessVariable",
         ProcessValue(2),
         "AZ.03K\r",
         "AZ,03,K,0,0,-12.75,\r\n",
         ResultOk,
         {.value = -12.75f}},
        {"ReadSetPoint", ReadSP(1), "AZ.02P01?\r", "AZ,02,P01,0,37.5,\r\n", ResultOk, {.value = 37.5f}},
        {"WriteSetPoint", WriteSP(2, 2, 12.5f), "AZ.04P01=12.50\r", "AZ,04,P01,12.50,\r\n", ResultOk, {}},
        {"WriteSetPoint no decimals",
         WriteSP(4, 0, 12.5f),
         "AZ.08P01=13\r",
         "AZ,08,P01,13,\r\n",
         ResultOk,
         {}},
    });
}

// ---- replies that were read but are unusable, and silence ------------------------------------

E2E_CASE(ReadoutEndToEnd, UnusableRepliesWriteFailureValues) {
    RunAll({
        {"four commas only",
         MeasureUnit(1),
         "AZ.01P04?\r",
         "AZ,01,P04,0,12\r\n",
         ResultBadMeasureUnitReply,
         {.units = -1}},
        {"no line feed",
         ProcessValue(1),
         "AZ.01K\r",
         "AZ,01,K,0,0,12.5,\r",
         ResultBadProcessValueReply,
         {.value = -999.0f}},
        {"neither source",
         ReadSource(2),
         "AZ.04P46?\r",
         "AZ,04,P46,1\r\n",
         ResultBadSourceReply,
         {.source = 0}},
        {"other identity", TestComs(), "AZI\r", "Tarvik Instrument 0732\r\n", ResultWrongIdentity, {}},
        {"valve not confirmed",
         WriteValve(1, 1),
         "AZ.02P29=1\r",
         "AZ,02,P29,2\r\n",
         ResultValveNotConfirmed,
         {}},
        {"set point not confirmed",
         WriteSP(1, 1, 5.0f),
         "AZ.02P01=5.0\r",
         "AZ,02,P01=5.0\r\n",
         ResultSetPointNotConfirmed,
         {}},
    });
}

E2E_PTY_CASE(ReadoutEndToEnd, ReplyStillArrivingIsJudgedOnWhatCame) {
    auto peer = MakePeer(kPort);
    peer->SetLineMode(true);
    peer->ReplySplit(Text("AZ,01,P03,0,2,\r\n"), 14, 5, 700);
    Outputs o;
    E2E_EXPECT_EQ(ReadDecimalPlace_0731(kPort, 1, &o.units), ResultBadDecimalPlace);
    ExpectOutputs("partial", o, {.units = -1});
}

E2E_CASE(ReadoutEndToEnd, SilentUnitLeavesOutputsUntouched) {
    RunAll({
        {"ReadTimeUnit", TimeUnit(1), "AZ.01P10?\r", "", ResultNoReply, {}},
        {"ReadSetPoint", ReadSP(1), "AZ.02P01?\r", "", ResultNoReply, {}},
        {"ReadSetPointSource", ReadSource(1), "AZ.02P46?\r", "", ResultNoReply, {}},
        {"WriteManualSetPointSource", WriteManual(1), "AZ.02P46=0\r", "", ResultNoReply, {}},
    });
}

// ---- the fixed waits ---------------------------------------------------------------------------

E2E_CASE(ReadoutEndToEnd, OnlyTheSetPointCommandsWaitForALateReply) {
    // A reply that starts 530 ms after the request falls inside the 600 ms wait of the two
    // set-point commands and outside the 500 ms wait of the rest. After each call the test waits
    // until the late reply has come, so that it cannot reach the next call.
    auto peer = MakePeer(kPort);
    peer->SetLineMode(true);
    const Row rows[] = {
        {"ReadSetPoint",
         ReadSP(3),
         "AZ.06P01?\r",
         "AZ,06,P01,0,8.25,\r\n",
         ResultOk,
         {.value = 8.25f},
         kLateMs},
        {"WriteSetPoint",
         WriteSP(3, 3, 8.25f),
         "AZ.06P01=8.250\r",
         "AZ,06,P01,8.250,\r\n",
         ResultOk,
         {},
         kLateMs},
        {"ReadProcessVariable",
         ProcessValue(3),
         "AZ.05K\r",
         "AZ,05,K,0,0,8.25,\r\n",
         ResultNoReply,
         {},
         kLateMs},
        {"ReadFullScale", FullScale(3), "AZ.05P09?\r", "AZ,05,P09,0,100,\r\n", ResultNoReply, {}, kLateMs},
    };
    for (const Row& row : rows) {
        TimedExchange(*peer, row);
        E2E_EXPECT_TRUE(peer->WaitForRequests(1));
        const auto requests = peer->Requests();
        E2E_ASSERT_EQ(requests.size(), 1u) << row.name;
        E2E_EXPECT_EQ(requests[0], Text(row.request)) << row.name;
    }
}

// ---- arguments and ports -----------------------------------------------------------------------

E2E_CASE(ReadoutEndToEnd, ArgumentChecksComeFirstAndSendNothing) {
    auto peer = MakePeer(kPort);
    peer->SetLineMode(true);
    struct Refusal {
        const char* name;
        Call call;
        std::int32_t port;
        std::int32_t result;
    };
    const std::int32_t absent = AbsentPort();
    std::vector<Refusal> refusals = {
        // The state before the channel; the other inputs after it.
        {"valve state 3, channel 9", WriteValve(9, 3), kPort, ResultBadValveState},
        {"valve state -1, channel 0", WriteValve(0, -1), kPort, ResultBadValveState},
        {"valve state 3", WriteValve(1, 3), kPort, ResultBadValveState},
        {"valve channel 5", WriteValve(5, 0), kPort, ResultBadChannel},
        {"set point channel 9, digits 7", WriteSP(9, 7, 1.0f), kPort, ResultBadChannel},
        {"set point digits 4", WriteSP(1, 4, 1.0f), kPort, ResultBadDecimalPlace},
        {"set point digits -1", WriteSP(1, -1, 1.0f), kPort, ResultBadDecimalPlace},
        {"places channel 5, places 4", WritePlaces(5, 4), kPort, ResultBadChannel},
        {"places 4", WritePlaces(1, 4), kPort, ResultBadDecimalPlace},
        {"places -1", WritePlaces(1, -1), kPort, ResultBadDecimalPlace},
        {"port 0", TestComs(), 0, ResultBadPort},
    };
    const Call badChannel[] = {ReadSource(0),     WriteSerial(5),  WriteManual(257), WriteValve(-1, 0),
                               MeasureUnit(0),    TimeUnit(5),     FullScale(257),   ReadPlaces(-1),
                               WritePlaces(0, 1), ProcessValue(5), ReadSP(257),      WriteSP(0, 1, 1.0f)};
    for (const Call& call : badChannel) {
        refusals.push_back({"channel out of range", call, kPort, ResultBadChannel});
        refusals.push_back({"channel before port", call, 0, ResultBadChannel});
    }
    for (const auto& [name, call] : kEveryExport) {
        for (std::int32_t port : {0, 41, -1})
            refusals.push_back({name, call, port, ResultBadPort});
        refusals.push_back({name, call, absent, ResultPortAbsent});
    }
    for (const Refusal& r : refusals) {
        Outputs o;
        E2E_EXPECT_EQ(r.call(r.port, o), r.result) << r.name << " on port " << r.port;
        ExpectOutputs(r.name, o, {});
    }
    // Nothing of the above reached the unit: the next request is the first it sees.
    peer->Reply(Text("Tarvik Instrument 0731\r\n"), 5);
    E2E_EXPECT_EQ(TestComs_0731(kPort), ResultOk);
    E2E_EXPECT_TRUE(peer->WaitForRequests(1));
    E2E_ASSERT_EQ(peer->Requests().size(), 1u);
    E2E_EXPECT_EQ(peer->Requests()[0], Text("AZI\r"));
}

// ---- numbers on the wire -----------------------------------------------------------------------

namespace {

// A decimal comma for the C++ streams, and for C where the system offers such a locale.
struct CommaPunct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

class CommaLocale {
public:
    CommaLocale() : cpp_(std::locale::global(std::locale(std::locale::classic(), new CommaPunct))) {
        const char* current = std::setlocale(LC_ALL, nullptr);
        c_ = current ? current : "C";
        for (const char* name : {"de_DE.UTF-8", "de_DE", "German_Germany.1252", "German"})
            if (std::setlocale(LC_ALL, name)) break;
    }
    ~CommaLocale() {
        std::setlocale(LC_ALL, c_.c_str());
        std::locale::global(cpp_);
    }
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

private:
    std::locale cpp_;
    std::string c_;
};

} // namespace

E2E_CASE(ReadoutEndToEnd, FullStopOnTheWireWhateverTheLocale) {
    CommaLocale comma;
    RunAll({
        {"WriteSetPoint", WriteSP(2, 2, 12.5f), "AZ.04P01=12.50\r", "AZ,04,P01,12.50,\r\n", ResultOk, {}},
        {"ReadSetPoint", ReadSP(2), "AZ.04P01?\r", "AZ,04,P01,0,12.5,\r\n", ResultOk, {.value = 12.5f}},
    });
}

} // namespace tarvik::e2e
