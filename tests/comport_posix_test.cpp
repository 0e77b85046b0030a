// The port component on a pseudo-terminal: defaults, setter rules, exclusive open, the line
// settings as the terminal sees them, transfers, and what a failed open leaves behind.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "comport/ComPort.h"
#include "support/Descriptors.h"
#include "support/Raised.h"
#include "support/ScriptedPeer.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

using namespace tarvik::comport;
using tarvik::test::Bytes;
using tarvik::test::OpenDescriptors;
using tarvik::test::ScriptedPeer;

namespace {

termios2 LineOf(const ScriptedPeer& peer) {
    const int fd = ::open(peer.TerminalPath().c_str(), O_RDWR | O_NOCTTY);
    termios2 t{};
    ioctl(fd, TCGETS2, &t);
    ::close(fd);
    return t;
}

using tarvik::test::Raised;

} // namespace

TEST(ComPort, DefaultsOfANewPort) {
    TComPort p;
    EXPECT_EQ(p.DeviceName(), "COM1");
    EXPECT_FALSE(p.Active());
    EXPECT_EQ(p.BaudRate(), brDefault);
    EXPECT_EQ(p.Parity(), paDefault);
    EXPECT_EQ(p.StopBits(), sbDefault);
    EXPECT_EQ(p.DataBits(), dbDefault);
    EXPECT_TRUE(p.Options().Empty());
    EXPECT_EQ(p.Characters().XOn(), 17);
    EXPECT_EQ(p.Characters().XOff(), 19);
    EXPECT_EQ(p.BufferSizes().Input(), 4096);
    EXPECT_EQ(p.BufferSizes().Output(), 2048);
    EXPECT_EQ(p.Timeouts().ReadConstant(), 0);
    EXPECT_TRUE(p.SynchronizeEvents());
    EXPECT_EQ(p.PriorityClass(), pcDefault);
    EXPECT_EQ(p.ThreadPriority(), tpTimeCritical);
    EXPECT_EQ(p.EventMask(), 0u);
}

TEST(ComPort, EnumerationsKeepTheirDeclaredOrderAndCodes) {
    EXPECT_EQ(brCustom, 26);
    EXPECT_EQ(BaudRateValue(br3600), 3600);
    EXPECT_EQ(BaudRateValue(br256000), 256000);
    EXPECT_EQ(ParityCode(paSpace), 4u);
    EXPECT_EQ(StopBitsCode(sb2), 2u);
    EXPECT_EQ(DataBitsCode(db4), 4u);
    EXPECT_EQ(RTSFlags(rcToggle), 0x3000u);
    EXPECT_EQ(XOnXOffFlags(xcInput), 0x200u);
    EXPECT_EQ(OptionFlag(opAbortOnError), 0x4000u);
    const TLineErrors all = LineErrorsFromBits(0xFFFF);
    EXPECT_EQ(LineErrorBits(all),
              0x10u | 0x800 | 0x8 | 0x400 | 0x8000 | 0x1000 | 0x2 | 0x200 | 0x1 | 0x4 | 0x100);
}

TEST(ComPort, ClosedPortGuardAndOpenPortRules) {
    ScriptedPeer peer(5);
    TComPort p;
    EXPECT_STREQ(Raised([&] { p.WriteStr("x"); }).what(), kMsgClosedPort);
    EXPECT_EQ(Raised([&] { p.ReadChar(); }).ErrorCode, 0);
    EXPECT_EQ(Raised([&] { p.InputCount(); }).ErrorCode, ceInvalidHandle); // no guard, the handle fails

    p.SetDeviceName("COM5");
    p.Open();
    p.Open(); // already open: nothing happens
    EXPECT_TRUE(p.Active());
    p.SetDeviceName("COM5"); // same value: allowed
    const EComError e = Raised([&] { p.SetDeviceName("COM6"); });
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_STREQ(e.what(), kMsgOpenPort);
    EXPECT_STREQ(Raised([&] { p.SetPriorityClass(pcHigh); }).what(), kMsgOpenPort);
    EXPECT_STREQ(Raised([&] { p.SetSynchronizeEvents(false); }).what(), kMsgOpenPort);
    EXPECT_EQ(p.DeviceName(), "COM5");
    p.Close();
    p.Close(); // closed: nothing happens
    EXPECT_FALSE(p.Active());
}

TEST(ComPort, OnErrorCanTurnAFailureIntoASilentAbort) {
    TComPort p;
    int calls = 0;
    p.SetOnError([&](TCustomComPort&, EComError& e, TComAction& action) {
        ++calls;
        EXPECT_STREQ(e.what(), kMsgClosedPort);
        action = caAbort;
    });
    EXPECT_THROW(p.ReadChar(), EAbort);
    p.SetOnError([&](TCustomComPort&, EComError&, TComAction&) { ++calls; });
    EXPECT_THROW(p.ReadChar(), EComError);
    EXPECT_EQ(calls, 2);
}

TEST(ComPort, OpenOfAMissingDeviceRaisesCode2AndLeavesNothingOpen) {
    tarvik::test::PortDir();
    const int before = OpenDescriptors();
    TComPort p;
    p.SetDeviceName("COM39");
    EXPECT_EQ(Raised([&] { p.Open(); }).ErrorCode, ceFileNotFound);
    p.SetDeviceName("NOTACOM");
    EXPECT_EQ(Raised([&] { p.Open(); }).ErrorCode, ceFileNotFound);
    EXPECT_FALSE(p.Active());
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(ComPort, OpenIsExclusive) {
    ScriptedPeer peer(5);
    TComPort a, b;
    a.SetDeviceName("COM5");
    b.SetDeviceName("\\\\.\\COM5");
    a.Open();
    const int before = OpenDescriptors();
    EXPECT_EQ(Raised([&] { b.Open(); }).ErrorCode, ceAccessDenied);
    EXPECT_EQ(OpenDescriptors(), before);
    a.Close();
    b.Open(); // free again
    EXPECT_TRUE(b.Active());
}

TEST(ComPort, LineSettingsReachTheTerminal) {
    ScriptedPeer peer(5);
    struct Case {
        TBaudRate baud;
        TParity parity;
        TDataBits bits;
        TStopBits stop;
        unsigned rate;
        tcflag_t parityFlags, stopFlag;
    } cases[] = {
        {br9600, paOdd, db8, sb1, 9600, PARENB | PARODD, 0},
        {br3600, paEven, db7, sb2, 3600, PARENB, CSTOPB},
        {br7200, paNone, db8, sb1, 7200, 0, 0},
        {br1200, paMark, db6, sb1, 1200, PARENB | PARODD | CMSPAR, 0},
        {br38400, paSpace, db5, sb1_5, 38400, PARENB | CMSPAR, CSTOPB},
    };
    for (const auto& c : cases) {
        TComPort p;
        p.SetDeviceName("COM5");
        p.SetBaudRate(c.baud);
        p.SetParity(c.parity);
        p.SetDataBits(c.bits);
        p.SetStopBits(c.stop);
        p.Open();
        const termios2 t = LineOf(peer);
        // A pseudo-terminal forces CS8 and drops PARENB; the rate, PARODD, CMSPAR and CSTOPB stay
        // as set, so they show that every setting reached the line.
        EXPECT_EQ(t.c_ospeed, c.rate);
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parityFlags & (PARODD | CMSPAR));
        EXPECT_EQ(t.c_cflag & CSTOPB, c.stopFlag);
        // Raw: no translation, no echo, no canonical input, no XON/XOFF, no stripping, no marking.
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | PARMRK), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
    }
}

TEST(ComPort, SettingsChangedWhileOpenApplyAtOnceAndRepeatOnAPseudoTerminal) {
    ScriptedPeer peer(5);
    TComPort p;
    p.SetDeviceName("COM5");
    p.Open();
    p.SetParity(paOdd);
    EXPECT_EQ(LineOf(peer).c_cflag & PARODD, tcflag_t(PARODD));
    p.SetBaudRate(br19200);
    p.SetParity(paEven);
    p.SetParity(paOdd); // asking for parity again must not fail on a pseudo-terminal
    EXPECT_EQ(LineOf(peer).c_ospeed, 19200u);
    p.SetCustomBaudRate(31250);
    EXPECT_EQ(p.BaudRate(), brCustom);
    EXPECT_EQ(LineOf(peer).c_ospeed, 31250u);
    p.Close();
    // Two opens in a row with the same parity request.
    for (int i = 0; i < 2; ++i) {
        TComPort q;
        q.SetDeviceName("COM5");
        q.SetParity(paOdd);
        q.SetBaudRate(br9600);
        EXPECT_NO_THROW(q.Open());
    }
}

TEST(ComPort, TransfersCountsAndReads) {
    ScriptedPeer peer(5);
    peer.Reply({0x01, 0xFF, 0x0D});
    TComPort p;
    p.SetDeviceName("COM5");
    p.Open();
    p.WriteStr(""); // nothing to send, nothing raised
    const std::string request("\x00\x11\x13\r\n", 5);
    p.WriteStr(request);
    ASSERT_TRUE(peer.WaitForRequests(1));
    EXPECT_EQ(peer.Requests()[0], Bytes(request.begin(), request.end()));
    for (int i = 0; i < 100 && p.InputCount() < 3; ++i)
        usleep(10000);
    EXPECT_EQ(p.InputCount(), 3);
    EXPECT_EQ(p.InputCount(), 3); // counting does not consume
    EXPECT_EQ(p.ReadChar(), 0x01);
    EXPECT_EQ(p.ReadChar(), 0xFF);
    EXPECT_EQ(p.ReadChar(), 0x0D);
    std::string rest = "junk";
    p.ReadStr(rest);
    EXPECT_TRUE(rest.empty()); // empty queue: empty text at once

    peer.Reply({'A', 'B', 'C', 'D'});
    p.WriteStr("?");
    for (int i = 0; i < 100 && p.InputCount() < 4; ++i)
        usleep(10000);
    p.ReadStr(rest);
    EXPECT_EQ(rest, "ABCD");
}

TEST(ComPort, ReadTimeoutsFollowTheWin32Rules) {
    ScriptedPeer peer(5);
    TComPort p;
    p.SetDeviceName("COM5");
    p.Open();
    // Interval -1 with no totals: return what is queued at once; fewer bytes is a time-out.
    p.Timeouts().SetReadInterval(-1);
    char buf[4];
    EXPECT_STREQ(Raised([&] { p.Read(buf, 4, true); }).what(), kMsgTimeout);
    // A total time-out ends a read that gets too little.
    p.Timeouts().SetReadInterval(0);
    p.Timeouts().SetReadConstant(50);
    EXPECT_STREQ(Raised([&] { p.Read(buf, 1, true); }).what(), kMsgTimeout);
    EXPECT_TRUE(p.Active());
}

TEST(ComPort, EnumerationListsThePortDirectoryInNumberOrder) {
    ScriptedPeer a(12), b(2);
    std::vector<std::string> list{"kept"};
    EnumComPorts(list);
    ASSERT_GE(list.size(), 3u);
    EXPECT_EQ(list[0], "kept"); // appended, not cleared
    auto i2 = std::find(list.begin(), list.end(), "COM2");
    auto i12 = std::find(list.begin(), list.end(), "COM12");
    ASSERT_NE(i2, list.end());
    ASSERT_NE(i12, list.end());
    EXPECT_LT(i2, i12);
}

// The exports ask about their one port instead of listing them all: the answer must be the list's,
// from a port directory (links whose targets are gone included) and from the serial devices.
TEST(ComPort, OnePortIsListedExactlyWhenTheListHoldsIt) {
    const std::string saved = tarvik::test::PortDir();
    char dir[] = "/tmp/tarvik-listed-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string d = dir;
    const std::vector<std::string> entries = {"COM3", "COM12", "COM015", "COMX", "COM0", "COM256", "com4"};
    for (const auto& e : entries)
        EXPECT_EQ(::symlink("/nonexistent/tty", (d + "/" + e).c_str()), 0) << e;
    auto agrees = [](const std::vector<std::string>& names) {
        std::vector<std::string> list;
        EnumComPorts(list);
        for (const std::string& name : names) {
            const bool prefixed = name.compare(0, 4, "\\\\.\\") == 0;
            const bool inList = std::any_of(list.begin(), list.end(), [&](const std::string& e) {
                return e == name || (prefixed && name.compare(4, std::string::npos, e) == 0);
            });
            EXPECT_EQ(ComPortListed(name), inList) << name;
        }
    };
    ::setenv("TARVIK_PORT_DIR", dir, 1);
    EXPECT_TRUE(ComPortListed("\\\\.\\COM12"));
    agrees({"COM3", "\\\\.\\COM3", "COM12", "COM015", "COMX", "COM0", "COM256", "com4", "COM4", "COM3 ",
            "\\\\.\\COM", "\\\\.\\", ""});
    ::unsetenv("TARVIK_PORT_DIR");
    std::vector<std::string> serial;
    for (int n = 1; n <= 40; ++n)
        serial.push_back("COM" + std::to_string(n));
    agrees(serial);
    ::setenv("TARVIK_PORT_DIR", saved.c_str(), 1);
    for (const auto& e : entries)
        ::unlink((d + "/" + e).c_str());
    ::rmdir(dir);
}

TEST(ComPort, ADeviceGoneAwayFailsInsteadOfHanging) {
    auto peer = std::make_unique<ScriptedPeer>(5);
    TComPort p;
    p.SetDeviceName("COM5");
    p.Open();
    peer.reset(); // the other side closes: reads see a hang-up
    EXPECT_THROW(p.ReadChar(), EComError);
    p.Close();
}
