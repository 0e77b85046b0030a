// The request pipeline on its seam: fixed waits and frame ends on the virtual clock, failures that
// are not port errors, and the wire trace (in memory, from several threads, and once through a
// pseudo-terminal). The fast link's end at the reply's last byte is checked on a real terminal.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "TarvikDLL.h"
#include "api/Pipeline.h"
#include "support/HartFrames.h"
#include "support/MemoryPeer.h"
#include "support/ScriptedPeer.h"
#include "tarvik/Link.h"

using namespace tarvik::test;
using tarvik::api::ActiveBackend;

namespace {

constexpr int kPort = 6;
constexpr int kPtyPort = 27;
constexpr tarvik::link::DeviceAddress kDevice{0x64, 0x01, 0x02, 0x03};
const Bytes kFlowRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x8A, 0x64, 0x01, 0x02, 0x03, 0x01, 0x00, 0x6D};
const Bytes kFlowFrame = HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00});

std::int32_t CallReadFlow(int port, int baud) {
    std::int32_t v = 0;
    std::uint8_t u = 0, s1 = 0, s2 = 0;
    return ReadFlow(port, baud, 0x01, 0x02, 0x03, 0x64, &v, &u, &s1, &s2);
}

std::chrono::milliseconds VirtualMs(const std::function<void()>& body) {
    auto& clock = ActiveBackend().GetClock();
    const auto start = clock.Now();
    body();
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - start);
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
        out += digits;
    }
    return out;
}

// Traces into a fresh file for the lifetime of the object.
class TraceFile {
public:
    TraceFile() : path_(PortDir() + "/trace-" + std::to_string(::getpid()) + ".log") {
        std::remove(path_.c_str());
        tarvik::api::SetTraceTarget(path_);
    }
    ~TraceFile() {
        tarvik::api::SetTraceTarget("");
        std::remove(path_.c_str());
    }
    std::vector<std::string> Lines() const {
        std::ifstream in(path_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

private:
    std::string path_;
};

} // namespace

// ---- waits on the virtual clock ----------------------------------------------------------------

TEST(Pipeline, ExportsWaitExactlyTheirFixedDelayAndTakeWhatIsQueuedThen) {
    MemoryLines lines;
    MemoryPeer peer(kPort);
    struct Row {
        int baud;
        int waitMs;
    };
    for (const Row row : {Row{1200, 586}, Row{9600, 161}, Row{38400, 115}}) {
        peer.Reply(OnLine(kFlowFrame));
        std::int32_t rc = 0;
        EXPECT_EQ(VirtualMs([&] { rc = CallReadFlow(kPort, row.baud); }).count(), row.waitMs) << row.baud;
        EXPECT_EQ(rc, ResultOk) << row.baud;
    }
    // The 0731 unit: 9600 baud, the request's own wait (set points 600 ms, the rest 500 ms).
    peer.SetLineMode(true);
    peer.Reply(BytesOf("AZ,02,P01,0,37.5,\r\n"));
    float sp = 0;
    EXPECT_EQ(VirtualMs([&] { EXPECT_EQ(ReadSetPoint_0731(kPort, 1, &sp), ResultOk); }).count(), 600);
    EXPECT_EQ(sp, 37.5f);

    // A reply after the wait is no reply; one cut by the wait is judged as it stands.
    peer.SetLineMode(false);
    // 250 ms after the request: inside the 262 ms of 3600 baud, outside the 161 ms of 9600.
    peer.Reply(OnLine(kFlowFrame), 250);
    EXPECT_EQ(CallReadFlow(kPort, 3600), ResultOk);
    peer.Reply(OnLine(kFlowFrame), 250);
    EXPECT_EQ(CallReadFlow(kPort, 9600), ResultNoReply);
    peer.Reply(OnLine(kFlowFrame), 116);
    EXPECT_EQ(CallReadFlow(kPort, 38400), ResultNoReply);
    peer.ReplySplit(OnLine(kFlowFrame), 8, 10, 200);
    EXPECT_EQ(CallReadFlow(kPort, 38400), ResultBadLength);
    // More than one read buffer queued when the wait ends: all of it is taken.
    for (const std::size_t preambles : {253u, 300u, 700u}) {
        peer.Reply(OnLine(kFlowFrame, preambles));
        EXPECT_EQ(CallReadFlow(kPort, 38400), ResultOk) << preambles;
    }
}

TEST(Pipeline, TheLinkEndsAtTheFramesLastByteAndWaitsNoLongerThanItsTimeout) {
    MemoryLines lines;
    MemoryPeer peer(kPort);
    tarvik::link::HartLink link;
    ASSERT_EQ(link.Open(kPort, 38400, {.timeoutMs = 5000}), ResultOk);
    peer.Reply(OnLine(kFlowFrame), 30);
    EXPECT_EQ(VirtualMs([&] { EXPECT_EQ(link.ReadFlow(kDevice).result, ResultOk); }).count(), 30);
    peer.Queue({.bytes = {}, .silent = true});
    EXPECT_EQ(VirtualMs([&] { EXPECT_EQ(link.ReadFlow(kDevice).result, ResultNoReply); }).count(), 5000);
}

// Replies paced at the line's rate: the link looks at the line a few times per reply, not once per
// byte, and takes a reply soon after its last byte: a full one within two byte times; an error
// reply, shorter than the command's full one, within 2 ms and a byte at any rate (even for a
// command whose full reply is 21 bytes longer). An instant peer is looked at once the request and
// a reply could have crossed the line.
TEST(Pipeline, TheLinkLooksAtTheLineAFewTimesPerReplyAndTakesItSoonAfterItsLastByte) {
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    const Bytes flowError = HartFrame(1, 0x40, 0x00, {}); // status only: 11 bytes after the preamble
    const Bytes gasError = HartFrame(151, 0x40, 0x00, {});
    struct Case {
        const char* name;
        int baud;
        bool gasData; // ReadGasData (a 32-byte full reply) instead of ReadFlow (16)
        Bytes reply;  // as on the line, preamble included
        int delayMs;  // from the request's write to the reply's start
        std::int32_t result;
        microseconds maxLate; // after the last byte
        std::size_t maxLooks;
    };
    const microseconds byte38400{286}, byte1200{9167};
    const Case cases[] = {
        {"full reply, 38400", 38400, false, OnLine(kFlowFrame, 5), 5, ResultOk, 2 * byte38400, 3},
        {"error reply, 38400", 38400, false, OnLine(flowError, 5), 5, ResultErrorReply,
         microseconds(2000) + byte38400, 3},
        {"full reply, 20 preamble bytes", 38400, false, OnLine(kFlowFrame, 20), 5, ResultOk, 2 * byte38400,
         4},
        {"full reply, 1200", 1200, false, OnLine(kFlowFrame, 5), 140, ResultOk, 2 * byte1200, 4},
        {"error reply, 1200", 1200, false, OnLine(flowError, 5), 140, ResultErrorReply,
         microseconds(2000) + byte1200, 4},
        {"error reply to a long command, 1200, late", 1200, true, OnLine(gasError, 5), 180, ResultErrorReply,
         microseconds(2000) + byte1200, 6},
    };
    MemoryLines lines;
    MemoryPeer peer(kPort);
    auto& clock = ActiveBackend().GetClock();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tarvik::link::HartLink link;
        ASSERT_EQ(link.Open(kPort, c.baud, {.timeoutMs = 5000}), ResultOk);
        const microseconds byteTime = c.baud == 1200 ? byte1200 : byte38400;
        peer.Queue({.bytes = c.reply, .delayMs = c.delayMs, .byteUs = static_cast<int>(byteTime.count())});
        const std::size_t looks = peer.Looks();
        const auto start = clock.Now();
        EXPECT_EQ(c.gasData ? link.ReadGasData(kDevice, 1).result : link.ReadFlow(kDevice).result, c.result);
        const auto took = std::chrono::duration_cast<microseconds>(clock.Now() - start);
        const auto lastByte = milliseconds(c.delayMs) + byteTime * static_cast<long>(c.reply.size());
        EXPECT_GE(took, lastByte);
        EXPECT_LE(took, lastByte + c.maxLate);
        EXPECT_LE(peer.Looks() - looks, c.maxLooks);
    }

    tarvik::link::HartLink link;
    ASSERT_EQ(link.Open(kPort, 38400, {.timeoutMs = 5000}), ResultOk);
    peer.Reply(OnLine(kFlowFrame, 5));
    const auto start = clock.Now();
    EXPECT_EQ(link.ReadFlow(kDevice).result, ResultOk);
    const auto took = std::chrono::duration_cast<microseconds>(clock.Now() - start);
    // The 14-byte request and the shortest reply the link accepts (9 bytes, no preamble).
    EXPECT_GE(took, (14 + 9) * byte38400);
    EXPECT_LE(took, (14 + 16) * byte38400 + microseconds(2000));
}

// ---- failures --------------------------------------------------------------------------------

TEST(Pipeline, AnUnexpectedFailureInsideAnExportIsPortBusyAndRecorded) {
    MemoryLines lines;
    MemoryPeer peer(kPort);
    peer.SetResponder([](const Bytes&) -> ScriptedReply { throw std::logic_error("device model broke"); });
    TraceFile trace;
    const auto before = tarvik::api::UnexpectedFailures();
    EXPECT_EQ(CallReadFlow(kPort, 38400), ResultPortBusy);
    EXPECT_EQ(tarvik::api::UnexpectedFailures(), before + 1);
    EXPECT_EQ(tarvik::api::LastUnexpectedFailure(), "device model broke");
    const auto traced = trace.Lines();
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_NE(traced[0].find("unexpected: device model broke"), std::string::npos) << traced[0];
    EXPECT_NE(traced[0].find("result=ResultPortBusy"), std::string::npos) << traced[0];

    // A port that fails is an expected failure: busy, not recorded.
    peer.HangUp();
    tarvik::link::HartLink link;
    EXPECT_EQ(link.Open(kPort, 38400), ResultPortAbsent);
    EXPECT_EQ(tarvik::api::UnexpectedFailures(), before + 1);
}

// A port error reaches the trace with its kind, system code and text: a port held by another
// user, one that fails during the exchange.
TEST(Trace, APortErrorNamesItsKindCodeAndText) {
    MemoryLines lines;
    MemoryPeer peer(kPort);
    TraceFile trace;
    tarvik::link::HartLink link;
    ASSERT_EQ(link.Open(kPort, 38400), ResultOk); // holds the port
    EXPECT_EQ(CallReadFlow(kPort, 38400), ResultPortBusy);
    peer.HangUp();
    EXPECT_EQ(link.ReadFlow(kDevice).result, ResultPortBusy);
    const auto traced = trace.Lines();
    ASSERT_EQ(traced.size(), 3u);
    EXPECT_NE(traced[1].find("(port error: open, code 16: Port in use) result=ResultPortBusy"),
              std::string::npos)
        << traced[1];
    EXPECT_NE(traced[2].find("(port error: failed, code 19: Device went away) result=ResultPortBusy"),
              std::string::npos)
        << traced[2];
}

TEST(Pipeline, AMissingTextIsAWrongLengthNotACrash) {
    MemoryLines lines;
    MemoryPeer peer(kPort);
    std::uint8_t h = 0, m = 0, l = 0, t = 0, s1 = 0, s2 = 0;
    EXPECT_EQ(ReadDeviceID(1, kPort, 38400, nullptr, 8, &h, &m, &l, &t, &s1, &s2), ResultBadTextLength);
    EXPECT_EQ(WriteProtectS(kPort, 38400, nullptr, 8, 1, 2, 3, 0x64, 1, &s1, &s2), ResultBadTextLength);
    EXPECT_TRUE(peer.Received().empty());
}

// ---- the trace ---------------------------------------------------------------------------------

TEST(Trace, NamesTheCallTheLineAndTheBytesSentAndReceived) {
    MemoryLines lines;
    MemoryPeer peer(kPort);
    TraceFile trace;
    const Bytes reply = OnLine(kFlowFrame, 5);
    peer.ReplySplit(reply, 9, 20, 30);
    EXPECT_EQ(CallReadFlow(kPort, 38400), ResultOk);
    EXPECT_EQ(CallReadFlow(kPort, 38401), ResultBadBaud);
    std::int32_t v;
    std::uint8_t u, s1, s2;
    EXPECT_EQ(ReadGasData(kPort, 38400, 1, 2, 3, 0x64, 11, &u, &v, &u, &v, &u, &v, &u, &v, &s1, &s2),
              ResultBadGasNumber);

    tarvik::link::HartLink link;
    ASSERT_EQ(link.Open(kPort, 38400, {.timeoutMs = 1000}), ResultOk);
    peer.ReplySplit(reply, 9, 20, 30);
    EXPECT_EQ(link.ReadFlow(kDevice).result, ResultOk);

    const auto traced = trace.Lines();
    ASSERT_EQ(traced.size(), 5u);
    ASSERT_EQ(peer.Requests().size(), 2u);
    EXPECT_EQ(peer.Requests()[0], kFlowRequest);
    const std::string head = R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";
    // The export: both pieces were queued when the fixed wait ended.
    EXPECT_TRUE(std::regex_search(
        traced[0],
        std::regex(head + "ReadFlow port=6 device=COM6 38400 8O1 wait=115ms tx=\\[" + Hex(kFlowRequest) +
                   "\\] rx=\\[\\+115ms: " + Hex(reply) + "\\] result=ResultOk$")))
        << traced[0];
    EXPECT_TRUE(std::regex_search(traced[1], std::regex(head + "ReadFlow port=6 result=ResultBadBaud$")))
        << traced[1];
    EXPECT_TRUE(std::regex_search(traced[2], std::regex(head + "ReadGasData result=ResultBadGasNumber$")))
        << traced[2];
    EXPECT_TRUE(std::regex_search(traced[3], std::regex(head + "HartLink::Open port=6 result=ResultOk$")))
        << traced[3];
    // The link: each piece with its own arrival offset.
    const Bytes first(reply.begin(), reply.begin() + 9), second(reply.begin() + 9, reply.end());
    EXPECT_TRUE(std::regex_search(
        traced[4], std::regex(head + "HartLink::ReadFlow device=COM6 38400 8O1 timeout=1000ms tx=\\[" +
                              Hex(kFlowRequest) + "\\] rx=\\[\\+20ms: " + Hex(first) +
                              " \\+50ms: " + Hex(second) + "\\] result=ResultOk$")))
        << traced[4];

    // A retried call: each request with its own reply, never the replies merged after the last.
    Bytes damaged = reply;
    damaged.back() ^= 0xFF;
    link.SetOptions({.timeoutMs = 1000, .retries = 1});
    peer.Reply(damaged, 5);
    peer.Reply(reply, 5);
    EXPECT_EQ(link.ReadFlow(kDevice).result, ResultOk);
    const std::string retried = trace.Lines().at(5);
    const std::string tx = "tx=\\[" + Hex(kFlowRequest) + "\\]";
    EXPECT_TRUE(
        std::regex_search(retried, std::regex(tx + " rx=\\[\\+\\d+ms: " + Hex(damaged) + "\\] " + tx +
                                              " rx=\\[\\+\\d+ms: " + Hex(reply) + "\\] result=ResultOk$")))
        << retried;
}

TEST(Trace, LinesFromSeveralThreadsStayWhole) {
    MemoryLines lines;
    constexpr int kThreads = 4, kCalls = 50;
    std::vector<std::unique_ptr<MemoryPeer>> peers;
    for (int p = 1; p <= kThreads; ++p) {
        peers.push_back(std::make_unique<MemoryPeer>(p));
        peers.back()->SetResponder([](const Bytes&) { return ScriptedReply{OnLine(kFlowFrame)}; });
    }
    TraceFile trace;
    std::vector<std::future<void>> threads;
    for (int p = 1; p <= kThreads; ++p)
        threads.push_back(std::async(std::launch::async, [p] {
            for (int i = 0; i < kCalls; ++i)
                CallReadFlow(p, 38400);
        }));
    for (auto& t : threads)
        t.get();
    const auto traced = trace.Lines();
    ASSERT_EQ(traced.size(), static_cast<std::size_t>(kThreads * kCalls));
    const std::regex whole(R"(^\S+ ReadFlow port=\d device=COM\d 38400 8O1 wait=115ms tx=\[[0-9A-F ]+\] )"
                           R"(rx=\[\+115ms: [0-9A-F ]+\] result=ResultOk$)");
    for (const auto& line : traced)
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
}

TEST(Trace, ThroughAPseudoTerminalItNamesTheBytesOnTheWire) {
    ScriptedPeer peer(kPtyPort);
    const Bytes reply = OnLine(kFlowFrame, 5);
    peer.Reply(reply);
    TraceFile trace;
    EXPECT_EQ(CallReadFlow(kPtyPort, 38400), ResultOk);
    ASSERT_TRUE(peer.WaitForRequests(1));
    const auto traced = trace.Lines();
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_NE(traced[0].find("tx=[" + Hex(peer.Received()) + "]"), std::string::npos) << traced[0];
    EXPECT_NE(traced[0].find(": " + Hex(reply) + "]"), std::string::npos) << traced[0];
    EXPECT_NE(traced[0].find("result=ResultOk"), std::string::npos) << traced[0];
}

// Runs `body` in a child process with a fresh copy of the shared library (its own first call) and
// returns the child's exit code.
int InFreshLibrary(const std::function<int(void* library)>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        void* library = ::dlopen(TARVIK_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ::_exit(library ? body(library) : 100);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using ReadFlowFunction = std::int32_t (*)(std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                                          std::int32_t, std::int32_t, std::int32_t*, std::uint8_t*,
                                          std::uint8_t*, std::uint8_t*);

int CallBadPort(void* library) {
    const auto call = reinterpret_cast<ReadFlowFunction>(::dlsym(library, "ReadFlow"));
    if (!call) return 101;
    std::int32_t v;
    std::uint8_t u, s1, s2;
    return call(0, 38400, 1, 2, 3, 0x64, &v, &u, &s1, &s2) == ResultBadPort ? 0 : 102;
}

TEST(Trace, TheVariableIsReadAtTheFirstCallOfTheProcess) {
    const std::string path = PortDir() + "/trace-variable-" + std::to_string(::getpid()) + ".log";
    std::remove(path.c_str());
    // Set before the first call: traced.
    EXPECT_EQ(InFreshLibrary([&](void* library) {
                  ::setenv("TARVIK_TRACE", path.c_str(), 1);
                  return CallBadPort(library);
              }),
              0);
    std::ifstream in(path);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(^\S+ ReadFlow port=0 result=ResultBadPort$)"))) << line;
    std::remove(path.c_str());

    // Set after it: the process stays untraced.
    EXPECT_EQ(InFreshLibrary([&](void* library) {
                  ::unsetenv("TARVIK_TRACE");
                  if (const int rc = CallBadPort(library)) return rc;
                  ::setenv("TARVIK_TRACE", path.c_str(), 1);
                  return CallBadPort(library);
              }),
              0);
    EXPECT_FALSE(std::ifstream(path).good());
}

// ---- the fast link on a real terminal ------------------------------------------------------------

TEST(LinkTiming, AnExactReplyEndsTheRequestLongBeforeTheTimeout) {
    // Nothing follows the reply: only the frame's own end can finish the request before 5 s.
    ScriptedPeer peer(kPtyPort);
    tarvik::link::HartLink link;
    ASSERT_EQ(link.Open(kPtyPort, 38400, {.timeoutMs = 5000}), ResultOk);
    peer.Reply(OnLine(kFlowFrame, 5));
    const auto start = std::chrono::steady_clock::now();
    const auto r = link.ReadFlow(kDevice);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.result, ResultOk);
    EXPECT_EQ(r.value.value, 100.0f);
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500)); // half the timeout: no dependence on speed
}
