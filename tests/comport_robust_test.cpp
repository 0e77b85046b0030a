// The port component under stress on a pseudo-terminal: typed errors, closing from any thread
// while others wait, background writes, the read time-out table, the bounded input queue, line
// settings a terminal cannot take, and the process priority.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <thread>

#include "comport/ComPort.h"
#include "comport/ComThread.h"
#include "comport_read_timeouts.h"
#include "support/Descriptors.h"
#include "support/Raised.h"
#include "support/RawPeer.h"
#include "support/ScriptedPeer.h"

using namespace tarvik::comport;
using tarvik::test::Bytes;
using tarvik::test::ScriptedPeer;
using namespace std::chrono_literals;
using tarvik::comport_test::Clock;
using tarvik::comport_test::FinishesPromptly;
using tarvik::comport_test::kPrompt;

namespace {

constexpr int kCom = 7;
const std::string kName = "COM" + std::to_string(kCom);

using tarvik::test::Raised;
using tarvik::test::RawPeer;

struct Port : TComPort {
    Port() { SetDeviceName(kName); }
};

} // namespace

TEST(ComPortErrors, EveryRaiseCarriesItsKind) {
    ScriptedPeer peer(kCom);
    Port closed;
    EXPECT_EQ(Raised([&] { closed.ReadChar(); }).Kind, ekClosedPort);
    EXPECT_EQ(Raised([&] { closed.WriteStr("x"); }).Kind, ekClosedPort);
    EXPECT_EQ(Raised([&] { closed.InputCount(); }).Kind, ekClosedPort);

    Port missing;
    missing.SetDeviceName("COM38");
    const EComError absent = Raised([&] { missing.Open(); });
    EXPECT_EQ(absent.Kind, ekOpen);
    EXPECT_EQ(absent.ErrorCode, ceFileNotFound);

    Port a, b;
    a.Open();
    const EComError held = Raised([&] { b.Open(); });
    EXPECT_EQ(held.Kind, ekOpen);
    EXPECT_EQ(held.ErrorCode, ceAccessDenied);

    EXPECT_EQ(Raised([&] { a.SetDeviceName("COM9"); }).Kind, ekComponent);
    const EComError bits = Raised([&] { a.SetDataBits(db4); });
    EXPECT_EQ(bits.Kind, ekComponent);
    EXPECT_EQ(bits.ErrorCode, ceInvalidParameter);
    a.SetDataBits(db8);

    a.Timeouts().SetReadConstant(20);
    const EComError timeout = Raised([&] { a.ReadChar(); });
    EXPECT_EQ(timeout.Kind, ekTimeout);
    EXPECT_STREQ(timeout.what(), kMsgTimeout);

    // The two-argument form keeps the old meaning: code 0 is the component's, others the system's.
    EXPECT_EQ(EComError(0, "x").Kind, ekComponent);
    EXPECT_EQ(EComError(ceGenFailure, "x").Kind, ekSystem);
}

// ---- closing never hangs ---------------------------------------------------------------------

// A handler on the main thread closes its own port, or clears its own handler, while the event
// thread waits for that very handler to return.
TEST(ComPortClose, ASynchronisedHandlerMayCloseItsPortOrDropItself) {
    ScriptedPeer peer(kCom);
    enum Action { kClose, kClearHandler, kClearAndCloseLater };
    for (const Action action : {kClose, kClearHandler, kClearAndCloseLater}) {
        SCOPED_TRACE(action);
        const bool finished = FinishesPromptly([&] {
            TMainThread::Attach();
            Port p;
            std::atomic<int> calls{0};
            p.SetOnRxChar([&](TCustomComPort& port) {
                ++calls;
                if (action == kClose)
                    port.Close();
                else
                    port.SetOnRxChar(nullptr);
            });
            p.Open();
            peer.Reply({1, 2, 3});
            p.WriteStr("?");
            const auto until = Clock::now() + kPrompt;
            while (calls == 0 && Clock::now() < until)
                TMainThread::ProcessEvents(10);
            EXPECT_EQ(calls, 1);
            EXPECT_EQ(p.Active(), action != kClose);
            if (action == kClearAndCloseLater) p.Close();
            TMainThread::Detach();
        });
        ASSERT_TRUE(finished) << "hung";
    }
}

// Opens, pumps the events of a flooded line and closes, again and again: every other round the
// owning thread closes, in the others a handler does. The event thread is often just handing a
// batch to the main thread when the close comes.
TEST(ComPortClose, OpenPumpCloseThousandRoundsWithDataFlowing) {
    constexpr int kRounds = 1000;
    ScriptedPeer peer(kCom);
    peer.StartFlood({0x55, 0xAA, 0x0D});
    int rounds = 0;
    const bool finished = FinishesPromptly(
        [&] {
            TMainThread::Attach();
            Port p;
            std::atomic<bool> closeInHandler{false};
            std::atomic<int> events{0};
            p.SetOnRxChar([&](TCustomComPort& port) {
                ++events;
                std::string drained;
                port.ReadStr(drained);
                if (closeInHandler) port.Close();
            });
            for (; rounds < kRounds; ++rounds) {
                closeInHandler = rounds % 2 == 1;
                events = 0;
                p.Open();
                const auto until = Clock::now() + kPrompt;
                while (events == 0 && Clock::now() < until)
                    TMainThread::ProcessEvents(1);
                if (!closeInHandler) p.Close();
                // A close handed over by the handler has run by now: handlers run on this thread.
                if (p.Active()) break;
            }
            TMainThread::Detach();
        },
        6);
    ASSERT_TRUE(finished) << "hung in round " << rounds;
    EXPECT_EQ(rounds, kRounds);
    peer.StopFlood();
}

// Whether thread `tid` of this process sits in a poll system call (it waits for its descriptors).
bool InPoll(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return f >> number && (number == SYS_poll || number == SYS_ppoll);
}

// A read waits for bytes that never come while the port is closed by another thread, by a
// handler on the event thread, or by a handler on the event thread with a main thread attached
// (which is the reader itself, so the rest of the close waits for its next pump). Each closer
// first waits until the reader sits in its wait.
TEST(ComPortClose, CloseFromAnyThreadEndsAPendingRead) {
    enum Closer { kOtherThread, kEventThread, kEventThreadHandingOver };
    for (const Closer closer : {kOtherThread, kEventThread, kEventThreadHandingOver}) {
        SCOPED_TRACE(closer);
        RawPeer peer(kCom);
        Port p;
        std::atomic<pid_t> reader{0};
        auto closeOnceWaiting = [&](TCustomComPort& port) {
            const auto until = Clock::now() + kPrompt;
            while ((reader == 0 || !InPoll(reader)) && Clock::now() < until)
                std::this_thread::yield();
            port.Close();
        };
        p.SetSynchronizeEvents(false);
        if (closer != kOtherThread) p.SetOnTxEmpty(closeOnceWaiting);
        p.Open();
        std::thread other;
        if (closer == kOtherThread) other = std::thread([&] { closeOnceWaiting(p); });
        const bool finished = FinishesPromptly([&] {
            if (closer == kEventThreadHandingOver) TMainThread::Attach();
            p.WriteStr("x"); // the transmit-empty event follows
            reader = ::gettid();
            char buf[4] = {};
            const EComError e = Raised([&] { p.Read(buf, 4, true); });
            EXPECT_EQ(e.Kind, ekClosedPort);
            if (closer == kEventThreadHandingOver) {
                EXPECT_TRUE(p.Active()); // the close waits for the main thread
                EXPECT_EQ(Raised([&] { p.ReadChar(); }).Kind, ekClosedPort);
                const auto until = Clock::now() + kPrompt;
                while (p.Active() && Clock::now() < until)
                    TMainThread::ProcessEvents(10);
                TMainThread::Detach();
            }
        });
        ASSERT_TRUE(finished) << "hung";
        if (other.joinable()) other.join();
        EXPECT_FALSE(p.Active());
    }
}

// ---- transfers -------------------------------------------------------------------------------

// A started write finishes on its own, however slowly the peer reads.
TEST(ComPortWrite, ALargeWriteGoesOutInTheBackground) {
    constexpr std::size_t kSize = 1 << 20;
    RawPeer peer(kCom);
    Port p;
    p.Open();
    std::string data(kSize, '\0');
    for (std::size_t i = 0; i < kSize; ++i)
        data[i] = static_cast<char>(i % 251);
    p.WriteStr(data); // returns at once; nothing else is called on the port until all arrived
    Bytes got;
    const auto until = Clock::now() + 3 * kPrompt;
    while (got.size() < kSize && Clock::now() < until) {
        Bytes b = peer.Receive(std::min<std::size_t>(4096, kSize - got.size()), 1000);
        got.insert(got.end(), b.begin(), b.end());
        if (got.size() % (64 * 1024) < 4096) std::this_thread::sleep_for(1ms); // a slow reader
    }
    ASSERT_EQ(got.size(), kSize);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin(),
                           [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
    // The next write waits for the last one, which is long done.
    p.Write("x", 1, true);
    EXPECT_EQ(peer.Receive(1, 5000), Bytes{'x'});

    // A close ends a write nobody reads, promptly.
    p.WriteStr(data);
    EXPECT_TRUE(FinishesPromptly([&] { p.Close(); }));
}

TEST(ComPortWrite, AWriteTimeOutEndsAWriteNobodyTakes) {
    RawPeer peer(kCom);
    Port p;
    p.Open();
    p.Timeouts().SetWriteConstant(100);
    const std::string data(1 << 20, 'w');
    p.WriteStr(data);
    EXPECT_EQ(Raised([&] { p.Write("x", 1, true); }).Kind, ekTimeout);
    EXPECT_TRUE(p.Active());
}

// The background writer cannot get the descriptors it waits on (too few allowed): the write
// raises, saying how much of it had gone to the line already, and that is what the peer got.
TEST(ComPortWrite, AWriteThatCannotGoOnInTheBackgroundSaysHowMuchWasSent) {
#ifdef TARVIK_UBSAN
    GTEST_SKIP() << "needs file descriptors that UndefinedBehaviorSanitizer takes for its checks";
#endif
    RawPeer peer(kCom);
    Port p;
    p.Open();
    const std::string data(1 << 20, 'w');
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const rlimit one{1, files.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &one);
    const EComError e = Raised([&] { p.WriteStr(data); });
    ::setrlimit(RLIMIT_NOFILE, &files);
    std::cmatch sent;
    ASSERT_TRUE(std::regex_search(e.what(), sent, std::regex(R"((\d+) of 1048576 bytes were sent)")))
        << e.what();
    const std::size_t count = std::stoul(sent[1].str());
    std::size_t got = 0;
    for (Bytes b; got < count && !(b = peer.Receive(count - got, 5000)).empty();)
        got += b.size();
    EXPECT_EQ(got, count);
    EXPECT_TRUE(peer.Receive(1, 0).empty());
}

// The read time-out table of the Win32 rules (shared with the Win32 tests).
TEST(ComPortRead, TheReadTimeOutTable) {
    for (const auto& c : tarvik::comport_test::ReadTimeoutCases()) {
        SCOPED_TRACE(c.name);
        RawPeer peer(kCom);
        Port p;
        p.Open();
        const auto outcome = RunReadTimeoutCase(c, p, [&](const Bytes& b) { peer.Send(b); });
        ASSERT_TRUE(outcome.finished) << "hung";
        EXPECT_EQ(outcome.error, "");
        EXPECT_EQ(outcome.timedOut, c.timeout);
        EXPECT_EQ(outcome.start, c.expected);
    }
}

// With a handler assigned, the event thread takes no more than the input buffer size from the
// driver: the rest stays there and holds the sender. Every byte still arrives, in order.
TEST(ComPortRead, TheInputQueueIsBoundedByTheInputBufferSize) {
    constexpr std::size_t kOffered = 16 << 20;
    RawPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    p.SetOnRxChar([](TCustomComPort&) {});
    p.Open();
    const std::size_t sent = peer.SendUntilHeld(kOffered, 500);
    EXPECT_LT(sent, kOffered / 8);
    const std::int32_t queued = p.InputCount();
    EXPECT_LE(queued, static_cast<std::int32_t>(sent));
    EXPECT_GE(queued, p.BufferSizes().Input());
    Bytes got(sent);
    std::size_t have = 0;
    const std::size_t first = static_cast<std::size_t>(queued);
    p.Read(got.data(), static_cast<std::int32_t>(first), true); // all that was counted is there
    have = first;
    // The driver lets the rest through now.
    while (have < sent) {
        const std::size_t n = std::min<std::size_t>(sent - have, 8192);
        p.Read(got.data() + have, static_cast<std::int32_t>(n), true);
        have += n;
    }
    for (std::size_t i = 0; i < sent; ++i)
        ASSERT_EQ(got[i], i % 251) << i;
}

// ReadAvailable: the shared table, its argument and port rules, a close from another thread, and
// the read-ahead of the event thread (taken first, in order, whatever the chunk sizes).
TEST(ComPortRead, ReadAvailableTakesWhatIsQueuedOrWaitsForTheFirstByte) {
    for (const auto& c : tarvik::comport_test::ReadAvailableCases()) {
        SCOPED_TRACE(c.name);
        RawPeer peer(kCom);
        Port p;
        p.Open();
        const auto outcome = RunReadAvailableCase(c, p, [&](const Bytes& b) { peer.Send(b); });
        ASSERT_TRUE(outcome.finished) << "hung";
        EXPECT_EQ(outcome.error, "");
        EXPECT_TRUE(tarvik::comport_test::GotExpected(c, outcome.got)) << outcome.got.size() << " bytes";
        EXPECT_TRUE(outcome.timeoutsKept);
        EXPECT_EQ(outcome.laterRead, "");
    }

    Port p;
    char buf[4];
    EXPECT_EQ(Raised([&] { p.ReadAvailable(buf, 4, 0); }).Kind, ekClosedPort);
    RawPeer peer(kCom);
    p.Open();
    EXPECT_EQ(Raised([&] { p.ReadAvailable(buf, -1, 0); }).ErrorCode, ceInvalidParameter);
    EXPECT_EQ(Raised([&] { p.ReadAvailable(buf, 4, -1); }).ErrorCode, ceInvalidParameter);
    EXPECT_EQ(p.ReadAvailable(nullptr, 0, 60000), 0); // nothing asked: nothing waited for

    std::atomic<pid_t> reader{0};
    std::thread closer([&] {
        const auto until = Clock::now() + kPrompt;
        while ((reader == 0 || !InPoll(reader)) && Clock::now() < until)
            std::this_thread::yield();
        p.Close();
    });
    const bool finished = FinishesPromptly([&] {
        reader = ::gettid();
        EXPECT_EQ(Raised([&] { p.ReadAvailable(buf, 4, 60000); }).Kind, ekClosedPort);
    });
    closer.join();
    ASSERT_TRUE(finished) << "hung";
}

TEST(ComPortRead, ReadAvailableTakesTheEventThreadsReadAheadFirstAndInOrder) {
    constexpr std::size_t kSent = 64 << 10;
    RawPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    p.SetOnRxChar([](TCustomComPort&) {});
    p.Open();
    std::thread sender([&] { EXPECT_EQ(peer.SendUntilHeld(kSent, 5000), kSent); });
    Bytes got(kSent);
    std::size_t have = 0;
    const auto until = Clock::now() + kPrompt;
    for (std::int32_t chunk = 1; have < kSent && Clock::now() < until; chunk = chunk % 700 + 97) {
        const auto want = static_cast<std::int32_t>(std::min<std::size_t>(kSent - have, chunk));
        have += static_cast<std::size_t>(p.ReadAvailable(got.data() + have, want, 1000));
    }
    sender.join();
    ASSERT_EQ(have, kSent);
    for (std::size_t i = 0; i < kSent; ++i)
        ASSERT_EQ(got[i], i % 251) << i;
}

// ---- settings ----------------------------------------------------------------------------------

TEST(ComPortSettings, WhatATerminalCannotDoIsRefusedWithCode87) {
    RawPeer peer(kCom);
    struct Case {
        const char* name;
        std::function<void(TComPort&)> set;
    } cases[] = {
        {"DTR handshake", [](TComPort& p) { p.FlowControl().SetDTR(dcHandshake); }},
        {"DSR output flow", [](TComPort& p) { p.SetOptions({opOutputDSRFlow}); }},
        {"DSR sensitivity", [](TComPort& p) { p.SetOptions({opDSRSensitivity}); }},
        {"error character", [](TComPort& p) { p.SetOptions({opUseErrorChar}); }},
        {"null discarding", [](TComPort& p) { p.SetOptions({opDiscardNullBytes}); }},
        {"abort on error", [](TComPort& p) { p.SetOptions({opAbortOnError}); }},
        {"EOF character", [](TComPort& p) { p.Characters().SetEof(26); }},
        {"XON limit", [](TComPort& p) { p.FlowControl().SetXOnLimit(100); }},
        {"XOFF limit", [](TComPort& p) { p.FlowControl().SetXOffLimit(100); }},
        {"XOFF stopping output", [](TComPort& p) { p.FlowControl().SetXOnXOff(xcInput); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            Port p; // on open
            c.set(p);
            const EComError e = Raised([&] { p.Open(); });
            EXPECT_EQ(e.ErrorCode, ceInvalidParameter);
            EXPECT_EQ(e.Kind, ekComponent);
            EXPECT_FALSE(p.Active());
        }
        Port p; // while open
        p.Open();
        const EComError e = Raised([&] { c.set(p); });
        EXPECT_EQ(e.ErrorCode, ceInvalidParameter);
        EXPECT_TRUE(p.Active());
    }
}

TEST(ComPortSettings, FlowControlATerminalCanDoReachesTheLine) {
    RawPeer peer(kCom);
    Port p;
    p.FlowControl().SetRTS(rcHandshake);
    p.FlowControl().SetXOnXOff(xcInputOutput);
    p.SetOptions({opTXContinueOnXOff});
    p.FlowControl().SetRTS(rcEnable); // closed: only stored
    p.FlowControl().SetRTS(rcHandshake);
    EXPECT_NO_THROW(p.Open());
    EXPECT_NO_THROW(p.FlowControl().SetRTS(rcToggle)); // no RS-485 on a terminal: done by hand
    EXPECT_NO_THROW(p.FlowControl().SetDTR(dcEnable));
    p.WriteStr("toggled");
    EXPECT_NO_THROW(p.Write("", 0, true));
    EXPECT_EQ(peer.Receive(7, 5000).size(), 7u);
}

TEST(ComPortSettings, SmallRules) {
    Port p;
    p.SetCustomBaudRate(0); // the stored value: nothing changes
    EXPECT_EQ(p.BaudRate(), brDefault);
    p.SetCustomBaudRate(31250);
    EXPECT_EQ(p.BaudRate(), brCustom);

    RawPeer peer(kCom);
    p.SetBaudRate(br9600);
    p.Open();
    char buf[2];
    for (auto call : {std::function<void()>([&] { p.Read(buf, -1, true); }),
                      std::function<void()>([&] { p.Write(buf, -5, false); })}) {
        const EComError e = Raised(call);
        EXPECT_EQ(e.ErrorCode, ceInvalidParameter);
        EXPECT_EQ(e.Kind, ekComponent);
    }
}

TEST(ComPortSettings, TheListShowsOnlyNamesThatOpen) {
    ScriptedPeer real(kCom);
    const std::string dir = tarvik::test::PortDir();
    const char* bogus[] = {"COM", "COM0", "COMfoo", "COM256", "COM007", "COM1x", "com9"};
    for (const char* name : bogus)
        ::close(::open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
    std::vector<std::string> list;
    EnumComPorts(list);
    for (const char* name : bogus) {
        EXPECT_EQ(std::count(list.begin(), list.end(), name), 0) << name;
        ::unlink((dir + "/" + name).c_str());
    }
    EXPECT_EQ(std::count(list.begin(), list.end(), kName), 1);
}

// A priority class belongs to the thread that opened (Linux keeps nice values per thread) and is
// undone for that thread, whichever thread closes.
TEST(ComPortPriority, TheClassIsUndoneForTheOpeningThread) {
    RawPeer peer(kCom);
    Port p;
    p.SetPriorityClass(pcIdle);
    std::atomic<int> before{-100}, during{-100}, after{-100};
    std::atomic<bool> opened{false}, closed{false};
    std::thread opener([&] {
        before = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
        p.Open();
        during = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
        opened = true;
        while (!closed)
            std::this_thread::yield();
        after = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    });
    while (!opened)
        std::this_thread::yield();
    const int mine = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    p.Close(); // from another thread
    closed = true;
    opener.join();
    EXPECT_EQ(during, 19);
    EXPECT_EQ(after, before);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())), mine);
}

// Without the right to raise its priority again, a process is not left at the idle class after
// the close: the open refuses the class and changes nothing.
TEST(ComPortPriority, AClassThatCouldNotBeUndoneIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to an unprivileged user";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Unprivileged, without room to raise the nice value again.
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_NICE, &none) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        const int before = ::getpriority(PRIO_PROCESS, 0);
        int result = 0;
        {
            TComPort p;
            p.SetDeviceName("COM38"); // the priority step comes before the device
            p.SetPriorityClass(pcIdle);
            try {
                p.Open();
            } catch (const EComError& e) {
                result = e.Kind == ekComponent ? 0 : 3;
            }
            p.Close();
        }
        if (::getpriority(PRIO_PROCESS, 0) != before) result = 4;
        ::_exit(result);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: not refused as a component error, 4: priority left changed";
}
