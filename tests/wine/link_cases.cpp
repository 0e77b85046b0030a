// The fast link under Windows: tarvik_link_static linked in, the device played by a ComPeer on the
// other end of the link's port. Mirrors the link's Linux tests where the behaviour depends on the
// port backend: typed values, replies that end at their byte count or line end, timeouts, retries,
// closing and reopening.
//   tarvik_link_tests.exe [filter]
#include <chrono>
#include <string>

#include "e2e/E2E.h"
#include "tarvik/Link.h"

namespace tarvik::e2e::linkcases {

namespace {

using link::DeviceAddress;
using link::HartLink;
using link::ReadoutLink;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 3; // wired to a peer in the Windows test setup
constexpr int kBaud = 38400;
constexpr int kShortTimeoutMs = 250;
constexpr int kLongTimeoutMs = 20000;
constexpr auto kWellBeforeTheTimeout = std::chrono::seconds(10);
constexpr DeviceAddress kDevice{0x64, 0x01, 0x02, 0x03};

const Bytes kFlowGood = OnLine(HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00}), 5); // 100.0
const Bytes kFlowOne = OnLine(HartFrame(1, 0x00, 0x00, {0x39, 0x3F, 0x80, 0x00, 0x00}));     // 1.0

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

} // namespace

E2E_CASE(LinkHartWine, ValuesAreFloatsAndTheRequestIsTheExports) {
    auto peer = MakePeer(kPort);
    HartLink link;
    E2E_ASSERT_EQ(link.Open(kPort, kBaud), ResultOk);
    peer->Reply(kFlowGood);
    const auto r = link.ReadFlow(kDevice);
    E2E_ASSERT_EQ(r.result, ResultOk);
    E2E_EXPECT_TRUE(r.hasValue && r.hasStatus);
    E2E_EXPECT_EQ(r.value.value, 100.0f);
    E2E_EXPECT_EQ(r.value.units, 0x39);
    E2E_EXPECT_TRUE(peer->WaitForRequests(1));
    E2E_ASSERT_EQ(peer->Requests().size(), 1u);
    E2E_EXPECT_EQ(peer->Requests()[0], (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x8A, 0x64, 0x01, 0x02,
                                              0x03, 0x01, 0x00, 0x6D}));
}

E2E_CASE(LinkHartWine, TheReplyEndsAtItsByteCountAndLaterBytesAreDropped) {
    auto peer = MakePeer(kPort);
    HartLink link;
    E2E_ASSERT_EQ(link.Open(kPort, kBaud, {.timeoutMs = kLongTimeoutMs}), ResultOk);
    Bytes withTrailer = kFlowGood;
    withTrailer.insert(withTrailer.end(), {0xFF, 0xFF, 0x86, 0x01}); // the start of something else
    peer->Reply(withTrailer);
    const auto start = Clock::now();
    E2E_EXPECT_EQ(link.ReadFlow(kDevice).result, ResultOk);
    E2E_EXPECT_TRUE(Clock::now() - start < kWellBeforeTheTimeout);
    peer->Reply(kFlowOne);
    const auto next = link.ReadFlow(kDevice);
    E2E_EXPECT_EQ(next.result, ResultOk);
    E2E_EXPECT_EQ(next.value.value, 1.0f);
}

E2E_CASE(LinkHartWine, AReplyInTwoPiecesIsWaitedFor) {
    auto peer = MakePeer(kPort);
    HartLink link;
    // A time-out well beyond the pause: under Wine on a loaded machine the peer's second piece may
    // come later than the rate's own wait, and what is under test is that the pause does not end it.
    E2E_ASSERT_EQ(link.Open(kPort, kBaud, {.timeoutMs = kLongTimeoutMs}), ResultOk);
    peer->ReplySplit(kFlowGood, 9, 2, 40);
    const auto r = link.ReadFlow(kDevice);
    E2E_EXPECT_EQ(r.result, ResultOk);
    E2E_EXPECT_EQ(r.value.value, 100.0f);
}

E2E_CASE(LinkHartWine, SilenceAndLateRepliesAreNoReplyAndTheLateBytesDoNotReachTheNextRequest) {
    auto peer = MakePeer(kPort);
    HartLink link;
    E2E_ASSERT_EQ(link.Open(kPort, kBaud), ResultOk);
    E2E_EXPECT_EQ(link.ReadFlow(kDevice).result, ResultNoReply); // nothing queued: silence
    peer->Reply(kFlowOne, 200);                                  // after the 115 ms
    E2E_EXPECT_EQ(link.ReadFlow(kDevice).result, ResultNoReply);
    PauseMs(250); // the late reply waits in the link's port now
    peer->Reply(kFlowGood);
    const auto r = link.ReadFlow(kDevice);
    E2E_EXPECT_EQ(r.result, ResultOk);
    E2E_EXPECT_EQ(r.value.value, 100.0f);
}

E2E_CASE(LinkHartWine, RetriesOnADamagedReply) {
    auto peer = MakePeer(kPort);
    HartLink link;
    E2E_ASSERT_EQ(link.Open(kPort, kBaud, {.retries = 1}), ResultOk);
    Bytes damaged = HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00});
    damaged.back() ^= 0x01;
    peer->Reply(OnLine(damaged));
    peer->Reply(kFlowGood);
    E2E_EXPECT_EQ(link.ReadFlow(kDevice).result, ResultOk);
    E2E_EXPECT_TRUE(peer->WaitForRequests(2));
    E2E_EXPECT_EQ(peer->Requests().size(), 2u);
}

E2E_CASE(LinkHartWine, OpenResultsAndReopening) {
    auto peer = MakePeer(kPort);
    HartLink link;
    E2E_EXPECT_EQ(link.ReadFlow(kDevice).result, ResultBadPort); // never opened
    E2E_EXPECT_EQ(link.Open(0, kBaud), ResultBadPort);
    E2E_EXPECT_EQ(link.Open(41, kBaud), ResultBadPort);
    E2E_EXPECT_EQ(link.Open(kPort, 9601), ResultBadBaud);
    E2E_EXPECT_EQ(link.Open(AbsentPort(), kBaud), ResultPortAbsent);
    E2E_ASSERT_EQ(link.Open(kPort, kBaud), ResultOk);
    link.Close();
    E2E_EXPECT_TRUE(!link.IsOpen());
    E2E_EXPECT_EQ(link.ReadFlow(kDevice).result, ResultBadPort); // closed: no port until opened again
    E2E_ASSERT_EQ(link.Open(kPort, kBaud), ResultOk);
    peer->Reply(kFlowGood);
    E2E_EXPECT_EQ(link.ReadFlow(kDevice).result, ResultOk);
}

E2E_CASE(LinkReadoutWine, TypedValuesAndTheExactRequest) {
    auto peer = MakePeer(kPort);
    peer->SetLineMode(true);
    ReadoutLink link;
    E2E_ASSERT_EQ(link.Open(kPort, {.timeoutMs = kShortTimeoutMs}), ResultOk);
    peer->Reply(Text("AZ,03,K,0,0,-12.75,\r\n"), 2);
    const auto pv = link.ReadProcessVariable(2);
    E2E_EXPECT_EQ(pv.result, ResultOk);
    E2E_EXPECT_EQ(pv.value, -12.75f);
    peer->Reply(Text("AZ,03,P04,0,12,\r\n"), 2);
    const auto units = link.ReadMeasureUnit(2);
    E2E_EXPECT_EQ(units.result, ResultOk);
    E2E_EXPECT_EQ(units.value, 12);
    E2E_EXPECT_TRUE(peer->WaitForRequests(2));
    E2E_ASSERT_EQ(peer->Requests().size(), 2u);
    E2E_EXPECT_EQ(peer->Requests()[0], Text("AZ.03K\r"));
    E2E_EXPECT_EQ(peer->Requests()[1], Text("AZ.03P04?\r"));
}

E2E_CASE(LinkReadoutWine, TheReplyEndsAtTheLineEndAndTrailingBytesAreDropped) {
    auto peer = MakePeer(kPort);
    peer->SetLineMode(true);
    ReadoutLink link;
    E2E_ASSERT_EQ(link.Open(kPort, {.timeoutMs = kLongTimeoutMs}), ResultOk);
    peer->Reply(Text("AZ,03,K,0,0,1.5,\r\nAZ,03,K,0,0,99,\r\n"));
    const auto start = Clock::now();
    const auto first = link.ReadProcessVariable(2);
    E2E_EXPECT_TRUE(Clock::now() - start < kWellBeforeTheTimeout);
    E2E_EXPECT_EQ(first.result, ResultOk);
    E2E_EXPECT_EQ(first.value, 1.5f);
    peer->Reply(Text("AZ,03,K,0,0,2.5,\r\n"));
    const auto second = link.ReadProcessVariable(2);
    E2E_EXPECT_EQ(second.result, ResultOk);
    E2E_EXPECT_EQ(second.value, 2.5f);
}

E2E_CASE(LinkReadoutWine, TimeoutsSilenceAndAnIncompleteLine) {
    auto peer = MakePeer(kPort);
    peer->SetLineMode(true);
    ReadoutLink link;
    E2E_ASSERT_EQ(link.Open(kPort, {.timeoutMs = kShortTimeoutMs}), ResultOk);
    E2E_EXPECT_EQ(link.ReadSetPoint(1).result, ResultNoReply);
    peer->Reply(Text("AZ,01,K,0,0,5.5,\r"), 2); // no line feed: waits for the timeout
    const auto r = link.ReadProcessVariable(1);
    E2E_EXPECT_EQ(r.result, ResultBadProcessValueReply);
    E2E_EXPECT_EQ(r.value, -999.0f);
    // With a retry, an incomplete line is asked for again.
    link.SetOptions({.timeoutMs = kShortTimeoutMs, .retries = 1});
    peer->ClearReceived();
    peer->Reply(Text("AZ,02,P01,0,3"));
    peer->Reply(Text("AZ,02,P01,0,37.5,\r\n"));
    const auto sp = link.ReadSetPoint(1);
    E2E_EXPECT_EQ(sp.result, ResultOk);
    E2E_EXPECT_EQ(sp.value, 37.5f);
    E2E_EXPECT_TRUE(peer->WaitForRequests(2));
    E2E_EXPECT_EQ(peer->Requests().size(), 2u);
}

// Not here: a second open while a link holds the port. Wine does not refuse a second CreateFileA
// of a COM port opened with share mode 0 (Windows answers code 5), so exclusive use is covered on
// Linux only (tests/link_hart_test.cpp, tests/link_readout_test.cpp).
E2E_CASE(LinkReadoutWine, ClosingReleasesThePortAndAnotherLinkTakesIt) {
    auto peer = MakePeer(kPort);
    peer->SetLineMode(true);
    ReadoutLink link;
    E2E_ASSERT_EQ(link.Open(kPort), ResultOk);
    E2E_EXPECT_TRUE(link.IsOpen());
    link.Close();
    E2E_EXPECT_TRUE(!link.IsOpen());
    E2E_EXPECT_EQ(link.TestComs().result, ResultBadPort); // closed: no port until opened again
    ReadoutLink second;
    E2E_ASSERT_EQ(second.Open(kPort), ResultOk);
    peer->Reply(Text("Tarvik Instrument 0731\r\n"), 2);
    E2E_EXPECT_EQ(second.TestComs().result, ResultOk);
    E2E_EXPECT_TRUE(peer->WaitForRequests(1));
    E2E_ASSERT_EQ(peer->Requests().size(), 1u);
    E2E_EXPECT_EQ(peer->Requests()[0], Text("AZI\r"));
}

} // namespace tarvik::e2e::linkcases

int main(int argc, char** argv) {
    return tarvik::e2e::RunCases(argc > 1 ? argv[1] : "") == 0 ? 0 : 1;
}
