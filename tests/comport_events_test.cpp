// Events of the port component on a pseudo-terminal: the event thread's life, synchronised and
// direct handlers, the main-thread pump, wait failures, Close from a handler, the Before/After
// events, Active while loading, and the settings that reach the line at once.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "comport/ComPort.h"
#include "comport/ComThread.h"
#include "support/ScriptedPeer.h"
#include "support/Threads.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

using namespace tarvik::comport;
using tarvik::test::Bytes;
using tarvik::test::Eventually;
using tarvik::test::ScriptedPeer;
using tarvik::test::ThreadCount;
using namespace std::chrono_literals;

namespace {

constexpr int kCom = 6;

struct Port : TComPort {
    Port() { SetDeviceName("COM" + std::to_string(kCom)); }
};

// Sends bytes from the device side once the request `cue` arrived.
void Answer(ScriptedPeer& peer, Bytes bytes) {
    peer.Reply(std::move(bytes));
}

struct MainThreadAttached {
    MainThreadAttached() { TMainThread::Attach(); }
    ~MainThreadAttached() { TMainThread::Detach(); }
};

} // namespace

TEST(ComPortEvents, EventThreadLivesOnlyWhileAHandlerIsAssignedAndThePortIsOpen) {
    ScriptedPeer peer(kCom);
    const int base = ThreadCount();
    Port p;
    p.SetOnRxChar([](TCustomComPort&) {});
    EXPECT_EQ(ThreadCount(), base); // closed: no thread
    p.Open();
    EXPECT_EQ(ThreadCount(), base + 1);
    p.SetOnRxChar(nullptr); // mask recomputed on the open port
    EXPECT_EQ(ThreadCount(), base);
    p.SetOnTxEmpty([](TCustomComPort&) {});
    EXPECT_EQ(ThreadCount(), base + 1);
    p.Close();
    EXPECT_EQ(ThreadCount(), base);
    EXPECT_EQ(p.EventMask(), evTxEmpty);
}

TEST(ComPortEvents, ReceiveEventsOnTheEventThreadLeaveTheBytesToRead) {
    ScriptedPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    std::atomic<int> rx{0}, flags{0};
    std::atomic<bool> onOtherThread{false};
    const auto main = std::this_thread::get_id();
    p.SetOnRxChar([&](TCustomComPort&) {
        onOtherThread = std::this_thread::get_id() != main;
        ++rx;
    });
    p.SetOnRxFlag([&](TCustomComPort&) { ++flags; });
    p.Characters().SetEvent('\n');
    p.Open();

    Answer(peer, {'a', 'b', 'c'});
    p.WriteStr("?");
    ASSERT_TRUE(Eventually([&] { return rx > 0; }));
    EXPECT_TRUE(onOtherThread);
    EXPECT_EQ(flags, 0); // no event character among them
    EXPECT_TRUE(Eventually([&] { return p.InputCount() == 3; }));
    std::string text;
    p.ReadStr(text);
    EXPECT_EQ(text, "abc"); // in order, nothing lost to the event thread

    Answer(peer, {'x', '\n', 'y'});
    p.WriteStr("?");
    EXPECT_TRUE(Eventually([&] { return flags == 1; }));
    EXPECT_EQ(p.ReadChar(), 'x');
    EXPECT_EQ(p.ReadChar(), '\n');
    EXPECT_EQ(p.ReadChar(), 'y');
}

TEST(ComPortEvents, SynchronisedHandlersRunWhenTheMainThreadPumps) {
    ScriptedPeer peer(kCom);
    MainThreadAttached attached;
    Port p; // SynchronizeEvents is true by default
    std::thread::id ranOn;
    int rx = 0;
    p.SetOnRxChar([&](TCustomComPort&) {
        ranOn = std::this_thread::get_id();
        ++rx;
    });
    p.Open();
    Answer(peer, {'z'});
    p.WriteStr("?");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rx, 0); // waits for the pump
    std::size_t ran = 0;
    for (int i = 0; i < 50 && rx == 0; ++i)
        ran += TMainThread::ProcessEvents(20);
    EXPECT_EQ(rx, 1);
    EXPECT_GE(ran, 1u);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(p.ReadChar(), 'z');
}

TEST(ComPortEvents, WithoutAMainThreadSynchronisedHandlersRunOnTheEventThread) {
    ScriptedPeer peer(kCom);
    Port p;
    std::atomic<bool> ran{false};
    const auto main = std::this_thread::get_id();
    p.SetOnRxChar([&](TCustomComPort&) { ran = std::this_thread::get_id() != main; });
    p.Open();
    Answer(peer, {'q'});
    p.WriteStr("?");
    EXPECT_TRUE(Eventually([&] { return ran.load(); }));
}

TEST(ComPortEvents, AFailedWaitIsRaisedThroughTheMainThreadAndClosesThePort) {
    auto peer = std::make_unique<ScriptedPeer>(kCom);
    MainThreadAttached attached;
    Port p;
    std::atomic<int> seen{0};
    p.SetOnError([&](TCustomComPort&, EComError& e, TComAction&) {
        EXPECT_EQ(e.ErrorCode, ceAccessDenied);
        ++seen;
    });
    p.SetOnRxChar([](TCustomComPort&) {});
    p.Open();
    peer->HangUp(); // the device goes away under the waiting thread
    bool raised = false;
    for (int i = 0; i < 100 && !raised; ++i) {
        try {
            TMainThread::ProcessEvents(20);
        } catch (const EComError& e) {
            raised = e.ErrorCode == ceAccessDenied;
        }
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(seen, 1);
    EXPECT_FALSE(p.Active());
}

TEST(ComPortEvents, OnErrorMayTurnTheFailedWaitIntoASilentAbort) {
    auto peer = std::make_unique<ScriptedPeer>(kCom);
    MainThreadAttached attached;
    Port p;
    p.SetOnError([](TCustomComPort&, EComError&, TComAction& action) { action = caAbort; });
    p.SetOnRxChar([](TCustomComPort&) {});
    p.Open();
    peer->HangUp();
    bool aborted = false;
    for (int i = 0; i < 100 && !aborted; ++i) {
        try {
            TMainThread::ProcessEvents(20);
        } catch (const EAbort&) {
            aborted = true;
        }
    }
    EXPECT_TRUE(aborted);
}

TEST(ComPortEvents, CloseFromAHandlerIsHandedToTheMainThread) {
    ScriptedPeer peer(kCom);
    {
        MainThreadAttached attached;
        Port p;
        p.SetSynchronizeEvents(false);
        p.SetOnRxChar([](TCustomComPort& sender) { sender.Close(); });
        p.Open();
        Answer(peer, {'1'});
        p.WriteStr("?");
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(p.Active()); // queued for the main thread
        for (int i = 0; i < 50 && p.Active(); ++i)
            TMainThread::ProcessEvents(20);
        EXPECT_FALSE(p.Active());
    }
    // No main thread: the handler's Close takes effect on the event thread.
    Port q;
    q.SetSynchronizeEvents(false);
    q.SetOnRxChar([](TCustomComPort& sender) { sender.Close(); });
    q.Open();
    Answer(peer, {'2'});
    q.WriteStr("?");
    EXPECT_TRUE(Eventually([&] { return !q.Active(); }));
}

// A handler's close handed to the main thread outlives its event thread (the handlers unassigned
// before the pump): the pump carries it out, or an Open that comes first does, then opens.
TEST(ComPortEvents, AHandedOverCloseOutlivesTheEventThread) {
    ScriptedPeer peer(kCom);
    enum Then { kPump, kOpen };
    for (const Then then : {kPump, kOpen}) {
        SCOPED_TRACE(then == kPump ? "pump" : "open");
        MainThreadAttached attached;
        Port p;
        p.SetSynchronizeEvents(false);
        std::atomic<bool> closed{false};
        p.SetOnRxChar([&](TCustomComPort& sender) {
            sender.Close();
            closed = true;
        });
        p.Open();
        Answer(peer, {'1'});
        p.WriteStr("?");
        ASSERT_TRUE(Eventually([&] { return closed.load(); }));
        p.SetOnRxChar(nullptr); // the event thread ends before the main thread pumps
        if (then == kPump) {
            EXPECT_TRUE(Eventually([&] {
                TMainThread::ProcessEvents(0);
                return !p.Active();
            }));
        }
        p.Open();
        EXPECT_TRUE(p.Active());
        EXPECT_NO_THROW(p.WriteStr("?"));
    }
}

TEST(ComPortEvents, ThreadPriorityReachesTheRunningEventThread) {
    ScriptedPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    std::atomic<pid_t> tid{0};
    p.SetOnRxChar([&](TCustomComPort&) { tid = gettid(); });
    p.SetThreadPriority(tpLowest);
    p.Open();
    Answer(peer, {'t'});
    p.WriteStr("?");
    ASSERT_TRUE(Eventually([&] { return tid != 0; }));
    auto nice = [&] { return getpriority(PRIO_PROCESS, static_cast<id_t>(tid.load())); };
    EXPECT_EQ(nice(), 10);
    p.SetThreadPriority(tpIdle); // changed while the thread waits
    EXPECT_TRUE(Eventually([&] { return nice() == 19; }));
}

TEST(ComPortEvents, TransmitEmptyAfterAWrite) {
    ScriptedPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    std::atomic<int> empty{0};
    p.SetOnTxEmpty([&](TCustomComPort&) { ++empty; });
    p.Open();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(empty, 0); // nothing written yet
    p.WriteStr("hello");
    EXPECT_TRUE(Eventually([&] { return empty == 1; }));
}

TEST(ComPortEvents, ModemLinesAreQuietOnAPseudoTerminalAndNeverFailTheOpen) {
    ScriptedPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    std::atomic<int> changes{0};
    p.SetOnCTSChange([&](TCustomComPort&) { ++changes; });
    p.SetOnRing([&](TCustomComPort&) { ++changes; });
    p.FlowControl().SetDTR(dcEnable);
    ASSERT_NO_THROW(p.Open());
    EXPECT_TRUE(p.ModemStatus().Empty());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(changes, 0);
}

TEST(ComPortEvents, BeforeAndAfterEventsInOrder) {
    ScriptedPeer peer(kCom);
    peer.Reply({'r'});
    Port p;
    std::vector<std::string> log;
    p.SetBeforeOpen([&](TCustomComPort&) { log.push_back("BeforeOpen"); });
    p.SetAfterOpen([&](TCustomComPort&) { log.push_back("AfterOpen"); });
    p.SetBeforeWrite([&](TCustomComPort&, void*, int32_t n, bool wait) {
        log.push_back("BeforeWrite " + std::to_string(n) + (wait ? " wait" : " nowait"));
    });
    p.SetAfterWrite([&](TCustomComPort&, void*, int32_t, bool) { log.push_back("AfterWrite"); });
    p.SetBeforeRead(
        [&](TCustomComPort&, void*, int32_t n, bool) { log.push_back("BeforeRead " + std::to_string(n)); });
    p.SetAfterRead([&](TCustomComPort&, void* buf, int32_t, bool) {
        log.push_back(std::string("AfterRead ") + *static_cast<char*>(buf));
    });
    p.SetBeforeClose([&](TCustomComPort&) { log.push_back("BeforeClose"); });
    p.SetAfterClose([&](TCustomComPort&) { log.push_back("AfterClose"); });
    p.Open();
    p.WriteStr("ab");
    p.ReadChar();
    p.Close();
    p.Close(); // closed already: no events
    const std::vector<std::string> expected{"BeforeOpen",  "AfterOpen",    "BeforeWrite 2 nowait",
                                            "AfterWrite",  "BeforeRead 1", "AfterRead r",
                                            "BeforeClose", "AfterClose"};
    EXPECT_EQ(log, expected);
}

TEST(ComPortEvents, ActiveOpensAndClosesAndWaitsForTheEndOfLoading) {
    ScriptedPeer peer(kCom);
    Port p;
    p.BeginLoading();
    p.SetActive(true);
    EXPECT_FALSE(p.Active()); // only remembered while loading
    p.EndLoading();
    EXPECT_TRUE(p.Active());
    p.SetActive(false);
    EXPECT_FALSE(p.Active());
    p.SetActive(true);
    EXPECT_TRUE(p.Active());
    EXPECT_FALSE(p.About().empty());
}

TEST(ComPortEvents, PriorityClassIsSavedAndRestoredAroundTheOpen) {
    ScriptedPeer peer(kCom);
    errno = 0;
    const int before = getpriority(PRIO_PROCESS, 0);
    Port p;
    p.SetPriorityClass(pcIdle);
    p.Open();
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 19);
    p.Close();
    if (geteuid() == 0) {
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), before); // raising back needs root
    }
}

TEST(ComPortEvents, FlowControlCharactersAndOptionsReachTheLineAtOnce) {
    ScriptedPeer peer(kCom);
    Port p;
    p.Open();
    auto line = [&] {
        const int fd = ::open(peer.TerminalPath().c_str(), O_RDWR | O_NOCTTY);
        termios2 t{};
        ioctl(fd, TCGETS2, &t);
        ::close(fd);
        return t;
    };
    p.SetOptions({opTXContinueOnXOff}); // a terminal goes on sending after it sent XOFF
    p.FlowControl().SetXOnXOff(xcInputOutput);
    EXPECT_EQ(line().c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    p.Characters().SetXOn(0x01);
    p.Characters().SetXOff(0x02);
    EXPECT_EQ(line().c_cc[VSTART], 0x01);
    EXPECT_EQ(line().c_cc[VSTOP], 0x02);
    p.FlowControl().SetXOnXOff(xcDisable);
    EXPECT_EQ(line().c_iflag & (IXON | IXOFF), 0u);
    p.SetOptions({opCheckParity});
    EXPECT_TRUE(line().c_iflag & INPCK);
    p.SetOptions({});
    EXPECT_FALSE(line().c_iflag & INPCK);
}
