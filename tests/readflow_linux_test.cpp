// ReadFlow cases that only Linux can run on a pseudo-terminal: a port locked by another open (Wine
// does not refuse a second open of a COM port) and a port entry that is not a terminal. The
// shared cases are in e2e/readflow_cases.cpp; the waits per rate and replies cut by the wait run
// in memory (pipeline_test.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

#include "TarvikDLL.h"
#include "support/HartFrames.h"

using namespace tarvik::test;

namespace {

constexpr int kPort = 3;
constexpr int kBaud = 38400; // 115 ms wait
const Bytes kGood = HartFrame(1, 0x00, 0x00, {0x39, 0x42, 0xC8, 0x00, 0x00});

struct Outputs {
    int32_t value = 0x5A5A5A5A;
    uint8_t units = 0xAA, s1 = 0xAB, s2 = 0xAC;
    int Call(int port = kPort, int baud = kBaud) {
        return ReadFlow(port, baud, 0x01, 0x02, 0x03, 0x64, &value, &units, &s1, &s2);
    }
    bool Untouched() const { return value == 0x5A5A5A5A && units == 0xAA && s1 == 0xAB && s2 == 0xAC; }
};

} // namespace

TEST(ReadFlowLinux, PortHeldByAnotherIsBusyAndNothingIsSent) {
    ScriptedPeer peer(kPort);
    peer.Reply(OnLine(kGood));
    const int holder = ::open(peer.LinkPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    Outputs o;
    EXPECT_EQ(o.Call(), ResultPortBusy);
    EXPECT_TRUE(o.Untouched());
    ::close(holder);
    usleep(50 * 1000);
    EXPECT_TRUE(peer.Received().empty());
    EXPECT_EQ(o.Call(), ResultOk); // released: the queued reply answers the next call
}

TEST(ReadFlowLinux, PortEntryThatIsNotATerminalIsBusyAndUntouched) {
    const std::string path = PortDir() + "/COM7";
    {
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    Outputs o;
    EXPECT_EQ(o.Call(7), ResultPortBusy);
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fgetc(f), EOF); // not a byte written to it
    std::fclose(f);
    ::unlink(path.c_str());
}
