// The port component's corners on a pseudo-terminal: the event thread's life around a close, a
// failed wait and a thread that cannot start; time-outs at their extremes; the bound of the
// read-ahead; several readers at once; and an idle line that stays idle.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <map>
#include <thread>

#include "comport/ComPort.h"
#include "comport/ComThread.h"
#include "comport/Diagnostics.h"
#include "comport_read_timeouts.h"
#include "support/PausedEventfd.h"
#include "support/Raised.h"
#include "support/RawPeer.h"
#include "support/Threads.h"

using namespace tarvik::comport;
using namespace std::chrono_literals;
using tarvik::comport_test::Clock;
using tarvik::comport_test::FinishesPromptly;
using tarvik::comport_test::kPrompt;
using tarvik::test::Bytes;
using tarvik::test::Eventually;
using tarvik::test::Raised;
using tarvik::test::RawPeer;
using tarvik::test::Reporting;
using tarvik::test::ThreadCount;

namespace {

constexpr int kCom = 8;

struct Port : TComPort {
    Port() { SetDeviceName("COM" + std::to_string(kCom)); }
};

// Whether thread `tid` of this process is blocked in system call `number`.
bool InSyscall(pid_t tid, long number) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long now = -1;
    return f >> now && now == number;
}

// Event-thread wake-ups during a short look at a port that should be asleep, after a moment to
// settle. A sleeping thread adds none whatever the machine's speed; one that polls every 10 ms or
// spins adds dozens or more.
std::uint64_t WakeupsWhileWatching() {
    std::this_thread::sleep_for(50ms);
    const std::uint64_t before = diagnostics::EventThreadWakeups();
    std::this_thread::sleep_for(400ms);
    return diagnostics::EventThreadWakeups() - before;
}

struct MainThreadAttached {
    MainThreadAttached() { TMainThread::Attach(); }
    ~MainThreadAttached() { TMainThread::Detach(); }
};

// While it lives, no new thread can start: the default stack is larger than any address space.
class NoNewThreads {
public:
    NoNewThreads() {
        pthread_getattr_default_np(&normal_);
        pthread_attr_init(&huge_);
        pthread_attr_setstacksize(&huge_, std::size_t{1} << 48);
        pthread_setattr_default_np(&huge_);
    }
    ~NoNewThreads() {
        pthread_setattr_default_np(&normal_);
        pthread_attr_destroy(&huge_);
        pthread_attr_destroy(&normal_);
    }
    NoNewThreads(const NoNewThreads&) = delete;
    NoNewThreads& operator=(const NoNewThreads&) = delete;

private:
    pthread_attr_t huge_, normal_;
};

} // namespace

// ---- the event thread around a close ----------------------------------------------------------

// A direct handler's close waits for the main thread's pump; meanwhile the event thread sleeps.
TEST(ComPortCorners, AfterAHandlersCloseTheEventThreadSleepsUntilTheCloseIsCarriedOut) {
    RawPeer peer(kCom);
    MainThreadAttached attached;
    Port p;
    p.SetSynchronizeEvents(false);
    std::atomic<bool> closed{false};
    p.SetOnRxChar([&](TCustomComPort& port) {
        port.Close();
        closed = true;
    });
    p.Open();
    peer.Send({'c'});
    ASSERT_TRUE(Eventually([&] { return closed.load(); }));
    EXPECT_LE(WakeupsWhileWatching(), 2u);
    EXPECT_TRUE(p.Active());
    ASSERT_TRUE(Eventually([&] {
        TMainThread::ProcessEvents(0);
        return !p.Active();
    }));
}

// A handler assigns a line event while the owner's close waits for the event thread: no thread
// is started for the closing port.
TEST(ComPortCorners, AHandlerAssigningAnEventDuringTheCloseStartsNoThread) {
    RawPeer peer(kCom);
    std::thread([] {}).join(); // a sanitizer's runtime starts its own thread with the first one
    const int base = ThreadCount();
    {
        Port p;
        p.SetSynchronizeEvents(false);
        std::atomic<pid_t> closer{0};
        p.SetBeforeClose([&](TCustomComPort&) { closer = ::gettid(); });
        p.SetOnRxChar([&](TCustomComPort& port) {
            // Once the closer waits for this thread to end (a join), assign another event.
            if (!Eventually([&] { return closer != 0 && InSyscall(closer, SYS_futex); })) return;
            port.SetOnTxEmpty([](TCustomComPort&) {});
        });
        p.Open();
        std::thread owner([&] {
            peer.Send({'a'});
            ASSERT_TRUE(Eventually([&] { return p.InputCount() > 0; }));
            p.Close();
        });
        owner.join();
        EXPECT_FALSE(p.Active());
        EXPECT_TRUE(Eventually([&] { return ThreadCount() <= base; }))
            << "a thread was left on the closed port";
    }
}

// Thread creation fails (a default stack larger than any address space) and OnError closes the
// port: "Can't create thread" is raised, nothing deadlocks, the port is closed.
TEST(ComPortCorners, AThreadThatCannotStartIsRaisedAndOnErrorMayClose) {
    RawPeer peer(kCom);
    for (const bool onOpen : {true, false}) {
        SCOPED_TRACE(onOpen ? "on open" : "on assignment");
        auto port = std::make_unique<Port>();
        Port& p = *port;
        std::atomic<int> errors{0};
        p.SetOnError([&](TCustomComPort& sender, EComError&, TComAction&) {
            ++errors;
            sender.Close();
        });
        if (!onOpen) p.Open();
        const bool finished = FinishesPromptly([&] {
            const EComError e = [&] {
                const NoNewThreads none;
                return Raised([&] {
                    p.SetOnRxChar([](TCustomComPort&) {});
                    p.Open();
                });
            }();
            EXPECT_STREQ(e.what(), kMsgCreateThread);
            EXPECT_EQ(e.Kind, ekComponent);
        });
        if (!finished) (void)port.release(); // deadlocked: destroying it would hang the test
        ASSERT_TRUE(finished) << "deadlocked";
        EXPECT_EQ(errors, 1);
        EXPECT_FALSE(p.Active());
    }
}

// Without OnError the port stays open, and the assignment that raised did not take place: the
// next one starts the thread.
TEST(ComPortCorners, AnAssignmentThatCannotStartTheThreadDoesNotTakePlace) {
    RawPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    p.Open();
    std::atomic<int> rx{0};
    {
        const NoNewThreads none;
        EXPECT_STREQ(Raised([&] { p.SetOnRxChar([&](TCustomComPort&) { ++rx; }); }).what(), kMsgCreateThread);
    }
    EXPECT_EQ(p.EventMask(), 0u);
    EXPECT_TRUE(p.Active());
    p.SetOnRxFlag([](TCustomComPort&) {});
    p.SetOnRxChar([&](TCustomComPort&) { ++rx; });
    peer.Send({'1'});
    EXPECT_TRUE(Eventually([&] { return rx > 0; }));
}

// The event wait fails with a code other than 5 (too few descriptors allowed for its poll): the
// thread ends, the port stays open, and a handler assigned afterwards gets a new thread.
TEST(ComPortCorners, AThreadEndedByAFailedWaitIsReplacedByTheNextAssignment) {
#ifdef TARVIK_UBSAN
    // The wait is made to fail by taking every free descriptor away from the process; the
    // sanitizer's type checks read memory through a pipe and report false errors without one. The
    // test runs in the other builds (plain, ThreadSanitizer).
    GTEST_SKIP() << "needs file descriptors that UndefinedBehaviorSanitizer takes for its checks";
#endif
    RawPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    std::atomic<std::int32_t> failure{-1};
    std::atomic<int> rx{0};
    p.SetOnError([&](TCustomComPort&, EComError& e, TComAction&) { failure = e.ErrorCode; });
    p.SetOnRxChar([&](TCustomComPort&) { ++rx; });
    p.Open();
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const rlimit one{1, files.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &one);
    peer.Send({'1'}); // the thread wakes, reports it and fails in its next wait
    const bool failed = Eventually([&] { return failure != -1; });
    ::setrlimit(RLIMIT_NOFILE, &files);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failure, ceInvalidParameter);
    EXPECT_TRUE(p.Active());

    p.SetOnRxFlag([](TCustomComPort&) {}); // a new thread, and events again
    const int before = rx;
    peer.Send({'2'});
    EXPECT_TRUE(Eventually([&] { return rx > before; }));
}

// A handler assigned while another thread stops the event thread (whose handler still runs)
// starts the next thread only once the first has ended: never two threads on one line.
TEST(ComPortCorners, ANewEventThreadStartsOnlyOnceTheStoppedOneHasEnded) {
    RawPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    std::atomic<pid_t> stopper{0}, assigner{0};
    std::atomic<bool> inHandler{false}, handlerDone{false}, assigned{false};
    p.SetOnTxEmpty([&](TCustomComPort&) {
        if (inHandler.exchange(true)) return;
        // Runs on until the assignment has returned, or waits for this thread.
        Eventually([&] { return assigned || (assigner != 0 && InSyscall(assigner, SYS_futex)); });
        handlerDone = true;
    });
    p.Open();
    p.WriteStr("x");
    ASSERT_TRUE(Eventually([&] { return inHandler.load(); }));
    std::thread stop([&] {
        stopper = ::gettid();
        p.SetOnTxEmpty(nullptr); // no handler left: stops the thread and joins it
    });
    ASSERT_TRUE(Eventually([&] { return stopper != 0 && InSyscall(stopper, SYS_futex); }));
    assigner = ::gettid();
    p.SetOnRxChar([](TCustomComPort&) {});
    const bool firstEnded = handlerDone;
    assigned = true;
    stop.join();
    EXPECT_TRUE(firstEnded) << "a second event thread started while the first still ran";
    EXPECT_EQ(p.EventMask(), evRxChar);
}

// ---- Open and Close on several threads ------------------------------------------------------

// One thread opens while another closes the moment the port reads open: each runs whole, one
// after the other; the open never works on a line the close has let go of.
TEST(ComPortCorners, OpenAndCloseOnTwoThreadsRunOneAfterTheOther) {
    constexpr int kRounds = 300;
    RawPeer peer(kCom);
    std::thread([] {}).join(); // a sanitizer's runtime starts its own thread with the first one
    const int threads = ThreadCount();
    {
        Port p;
        p.SetSynchronizeEvents(false);
        p.SetOnRxChar([](TCustomComPort&) {}); // an event thread with every open
        std::atomic<bool> stop{false};
        std::thread closer(Reporting([&] {
            while (!stop)
                if (p.Active()) p.Close();
        }));
        int failures = 0;
        for (int i = 0; i < kRounds; ++i) {
            try {
                p.Open();
            } catch (const EComError& e) {
                ADD_FAILURE() << "round " << i << ": " << e.what();
                if (++failures == 3) break;
            }
            if (!Eventually([&] { return !p.Active(); })) break;
        }
        stop = true;
        closer.join();
        EXPECT_FALSE(p.Active());
    }
    EXPECT_TRUE(Eventually([&] { return ThreadCount() <= threads; })) << "a thread was left";
}

// A second Close waits for the one under way on another thread, so that an Open after it opens;
// and once Active() reads false, the device is free for any other open.
TEST(ComPortCorners, AClosedPortHasFinishedClosing) {
    RawPeer peer(kCom);
    Port p;
    std::atomic<pid_t> second{0};
    std::atomic<bool> firstInside{false}, secondReturned{false};
    p.SetBeforeClose([&](TCustomComPort&) {
        if (firstInside.exchange(true)) return;
        Eventually([&] { return secondReturned || (second != 0 && InSyscall(second, SYS_futex)); });
    });
    p.Open();
    std::thread first([&] { p.Close(); });
    ASSERT_TRUE(Eventually([&] { return firstInside.load(); }));
    second = ::gettid();
    p.Close();
    const bool activeAfterClose = p.Active();
    secondReturned = true;
    p.Open();
    first.join();
    EXPECT_FALSE(activeAfterClose);
    EXPECT_TRUE(p.Active());
    p.SetBeforeClose(nullptr);
    p.Close();

    constexpr int kRounds = 500;
    const int probe = ::open((tarvik::test::PortDir() + "/COM" + std::to_string(kCom)).c_str(),
                             O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    int held = 0;
    for (int i = 0; i < kRounds; ++i) {
        p.Open();
        std::thread closer([&] { p.Close(); });
        while (p.Active())
            ;
        if (::flock(probe, LOCK_EX | LOCK_NB) == 0)
            ::flock(probe, LOCK_UN);
        else
            ++held;
        closer.join();
    }
    ::close(probe);
    EXPECT_EQ(held, 0) << "the device was still locked after Active() read false";
}

// A close that lands while a read makes the descriptors its first wait needs signals nothing
// (they do not exist yet): the read sees the close itself and ends at once.
TEST(ComPortCorners, ACloseBeforeTheFirstWaitsDescriptorsExistEndsTheRead) {
    RawPeer peer(kCom);
    auto port = std::make_unique<Port>();
    Port& p = *port;
    p.Open();
    std::thread closer([&] {
        if (Eventually([] { return tarvik::test::EventfdPaused(); })) p.Close();
        tarvik::test::ReleaseEventfd();
    });
    const bool finished = FinishesPromptly([&] {
        tarvik::test::PauseEventfdOf(::gettid());
        char c;
        EXPECT_EQ(Raised([&] { p.Read(&c, 1, true); }).Kind, ekClosedPort);
    });
    closer.join();
    if (!finished) (void)port.release(); // the read hangs on: destroying the port would hang too
    ASSERT_TRUE(finished) << "the read went on waiting after the close";
}

// ---- time-outs, the read-ahead, several readers ---------------------------------------------

// MAXDWORD multipliers mean no time-out in practice (the products overflow no arithmetic): a read
// and a write wait as long as the peer takes. Each constant makes the 32-bit sum small (0 or 1).
TEST(ComPortCorners, MaxDwordMultipliersNeverTimeOut) {
    enum Kind { kRead, kWrite };
    struct Case {
        Kind kind;
        std::size_t size;
        std::int32_t constant;
    };
    constexpr std::size_t kLarge = 128 << 10;
    for (const Case c : {Case{kRead, 4096, 0}, Case{kRead, 1, 1}, Case{kWrite, kLarge, 0},
                         Case{kWrite, kLarge, static_cast<std::int32_t>(kLarge + 1)}}) {
        const Kind kind = c.kind;
        SCOPED_TRACE(std::string(kind == kRead ? "read " : "write ") + std::to_string(c.size));
        RawPeer peer(kCom);
        Port p;
        p.Open();
        const std::size_t size = c.size;
        std::string data(size, 'm');
        std::atomic<pid_t> owner{0};
        std::thread device([&] {
            // Plays its part only once the owner waits.
            if (!Eventually([&] {
                    return owner != 0 && (InSyscall(owner, SYS_poll) || InSyscall(owner, SYS_ppoll) ||
                                          InSyscall(owner, SYS_futex));
                }))
                return;
            if (kind == kRead) {
                peer.Send(Bytes(size, 'm'));
                return;
            }
            std::size_t got = 0;
            while (got < size) {
                const Bytes b = peer.Receive(size - got, 5000);
                if (b.empty()) break;
                got += b.size();
            }
        });
        owner = ::gettid();
        const std::string error = [&]() -> std::string {
            try {
                if (kind == kRead) {
                    p.Timeouts().SetReadMultiplier(-1);
                    p.Timeouts().SetReadConstant(c.constant);
                    p.Read(data.data(), static_cast<std::int32_t>(size), true);
                } else {
                    p.Timeouts().SetWriteMultiplier(-1);
                    p.Timeouts().SetWriteConstant(c.constant);
                    p.Write(data.data(), static_cast<std::int32_t>(size), true);
                }
            } catch (const EComError& e) {
                return e.what();
            }
            return "";
        }();
        device.join();
        EXPECT_EQ(error, "");
    }
}

// The event thread takes at most the input buffer size ahead of the reads, and no more than the
// room left after a read; a size beyond the component's maximum holds at the maximum, and every
// count stays in range.
TEST(ComPortCorners, TheReadAheadKeepsToTheRoomLeftAndTheMaximum) {
    constexpr int kSent = 3000;
    for (const std::int32_t input : {1, 100, 1500}) {
        SCOPED_TRACE(input);
        RawPeer peer(kCom);
        Port p;
        p.SetSynchronizeEvents(false);
        p.BufferSizes().SetInput(input);
        p.Open();
        peer.Send(Bytes(kSent, 'r')); // all in the terminal's queue before the event thread starts
        ASSERT_TRUE(Eventually([&] { return peer.DriverQueue() == kSent; }));
        p.SetOnRxChar([](TCustomComPort&) {});
        auto ahead = [&](int read) { return kSent - read - peer.DriverQueue(); };
        ASSERT_TRUE(Eventually([&] { return ahead(0) >= input; }));
        EXPECT_EQ(ahead(0), input);
        char buf[30];
        const std::int32_t take = std::min(input, 30);
        p.Read(buf, take, true);
        ASSERT_TRUE(Eventually([&] { return ahead(take) >= input; }));
        EXPECT_EQ(ahead(take), input);
        EXPECT_EQ(p.InputCount(), kSent - take);
    }

    RawPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    p.SetOnRxChar([](TCustomComPort&) {});
    p.BufferSizes().SetInput(INT_MAX);
    p.Open();
    const std::size_t sent = peer.SendUntilHeld(4 << 20, 300);
    EXPECT_LT(sent, std::size_t{4} << 20);
    const std::int32_t counted = p.InputCount();
    EXPECT_LE(counted - peer.DriverQueue(), 1 << 20); // what the component holds
    EXPECT_GT(counted, 1 << 20);
    EXPECT_LE(counted, static_cast<std::int32_t>(sent));
    std::string text;
    p.ReadStr(text);
    EXPECT_GE(text.size(), static_cast<std::size_t>(counted));
}

// Two threads reading at once take turns: every byte arrives once; a reader waiting for its turn
// is released by a close.
TEST(ComPortCorners, ReadersTakeTurnsAndACloseReleasesTheWaitingOne) {
    constexpr int kRounds = 200, kChunk = 16;
    RawPeer peer(kCom);
    Port p;
    p.Open();
    std::map<std::uint8_t, int> seen;
    std::mutex seenLock;
    std::atomic<int> done{0};
    auto reader = Reporting([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::vector<std::uint8_t> buf(kChunk);
            p.Read(buf.data(), kChunk, true);
            std::lock_guard lock(seenLock);
            for (std::uint8_t b : buf)
                ++seen[b];
        }
        ++done;
    });
    Bytes sent(2 * kRounds * kChunk);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::uint8_t>(i % 251);
    std::thread a(reader), b(reader);
    peer.Send(sent);
    // Readers that lost bytes to each other would wait for ever: the close releases them.
    if (!Eventually([&] { return done == 2; })) p.Close();
    a.join();
    b.join();
    ASSERT_EQ(done, 2) << "the readers did not get every byte";
    std::map<std::uint8_t, int> expected;
    for (std::uint8_t v : sent)
        ++expected[v];
    EXPECT_EQ(seen, expected);

    std::atomic<int> released{0};
    auto waiter = Reporting([&] {
        char c[4];
        if (Raised([&] { p.Read(c, 4, true); }).Kind == ekClosedPort) ++released;
    });
    const bool finished = FinishesPromptly([&] {
        std::thread first(waiter), second(waiter);
        std::this_thread::sleep_for(50ms); // both are in: one waits for bytes, one for its turn
        p.Close();
        first.join();
        second.join();
    });
    ASSERT_TRUE(finished) << "a reader hung";
    EXPECT_EQ(released, 2);
}

// A reader closes its port from BeforeRead (holding its turn) while a handler on the event thread
// comes to read once that close waits for the event thread: the handler's read raises instead of
// waiting for the turn of the closer, which waits for it.
TEST(ComPortCorners, AReaderThatClosesDoesNotWaitForAHandlerWaitingForItsTurn) {
    RawPeer peer(kCom);
    auto port = std::make_unique<Port>();
    Port& p = *port;
    p.SetSynchronizeEvents(false);
    std::atomic<pid_t> closer{0};
    std::atomic<bool> inHandler{false};
    std::atomic<int> handlerKind{-1};
    p.SetOnRxChar([&](TCustomComPort& sender) {
        inHandler = true;
        if (!Eventually([&] { return closer != 0 && InSyscall(closer, SYS_futex); })) return;
        std::string text;
        handlerKind = Raised([&] { sender.ReadStr(text); }).Kind;
    });
    p.SetBeforeRead([&](TCustomComPort& sender, void*, std::int32_t, bool) {
        closer = ::gettid();
        sender.Close();
    });
    p.Open();
    peer.Send({'h'});
    ASSERT_TRUE(Eventually([&] { return inHandler.load(); }));
    const bool finished = FinishesPromptly([&] {
        char c;
        EXPECT_EQ(Raised([&] { p.Read(&c, 1, true); }).Kind, ekClosedPort);
    });
    if (!finished) (void)port.release(); // deadlocked: destroying it would hang the test
    ASSERT_TRUE(finished) << "deadlocked";
    EXPECT_EQ(handlerKind, ekClosedPort);
}

// ---- an idle line ---------------------------------------------------------------------------

// With the events a pseudo-terminal cannot report assigned, the event thread sleeps; after a
// write it looks until the output has drained and sleeps again.
TEST(ComPortCorners, AnIdlePortWithLineEventsAssignedSleeps) {
    RawPeer peer(kCom);
    Port p;
    p.SetSynchronizeEvents(false);
    std::atomic<int> empty{0};
    p.SetOnLineError([](TCustomComPort&, TLineErrors) {});
    p.SetOnTxEmpty([&](TCustomComPort&) { ++empty; });
    p.SetOnCTSChange([](TCustomComPort&) {});
    p.SetOnRing([](TCustomComPort&) {});
    p.Open();
    EXPECT_LE(WakeupsWhileWatching(), 2u);
    p.WriteStr("x");
    ASSERT_TRUE(Eventually([&] { return empty == 1; }));
    EXPECT_LE(WakeupsWhileWatching(), 2u);
}
