// The Win32 backend of the port component under Wine, against a peer on the other end of COM3.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "comport/ComPort.h"
#include "comport/ComThread.h"
#include "comport_read_timeouts.h"
#include "wine/ComPeer.h"

namespace tarvik::e2e {

using namespace tarvik::comport;

namespace {

constexpr int kPort = 3;
const std::string kDevice = "COM3";

// Runs `f`, which must raise EComError; returns its code (or -1 when nothing was raised).
template <class F>
std::int32_t RaisedCode(F&& f, std::string* text = nullptr) {
    try {
        f();
    } catch (const EComError& e) {
        if (text) *text = e.what();
        return e.ErrorCode;
    }
    return -1;
}

// Waits until `n` bytes are queued on `port` (or a second passes).
std::int32_t WaitForQueue(TComPort& port, std::int32_t n) {
    std::int32_t queued = 0;
    for (int i = 0; i < 200 && (queued = port.InputCount()) < n; ++i)
        PauseMs(5);
    return queued;
}

} // namespace

E2E_CASE(Win32Port, EnumerationAppendsTheSystemsComNames) {
    std::vector<std::string> list{"kept"};
    EnumComPorts(list);
    E2E_ASSERT_TRUE(list.size() >= 3u);
    E2E_EXPECT_EQ(list[0], std::string("kept")); // appended, not cleared
    bool com3 = false, com12 = false;
    for (std::size_t i = 1; i < list.size(); ++i) {
        E2E_EXPECT_TRUE(list[i].rfind("COM", 0) == 0 || list[i].rfind("\\\\.\\COM", 0) == 0) << list[i];
        com3 = com3 || list[i] == "COM3";
        com12 = com12 || list[i] == "COM12";
    }
    E2E_EXPECT_TRUE(com3);
    E2E_EXPECT_TRUE(com12);
}

// Where the next handles of the process land: the system hands out the lowest free slots, so a
// handle left open shows as a shift. (Wine reports no handle count.)
std::uintptr_t NextHandleValue() {
    // A handle left open in any of the lowest free slots moves the last of a batch up by one.
    constexpr int kBatch = 64;
    HANDLE batch[kBatch];
    for (HANDLE& h : batch)
        h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE h : batch)
        CloseHandle(h);
    return reinterpret_cast<std::uintptr_t>(batch[kBatch - 1]);
}

E2E_CASE(Win32Port, OpenOfAMissingDeviceRaisesCode2AndTheObjectStaysUsable) {
    {
        // The first open of a port, and the first of a missing one, may set up handles of the
        // system's own that stay.
        TComPort warmUp;
        warmUp.SetDeviceName("COM" + std::to_string(AbsentPort()));
        RaisedCode([&] { warmUp.Open(); });
        warmUp.SetDeviceName(kDevice);
        warmUp.Open();
    }
    const std::uintptr_t handlesBefore = NextHandleValue();
    TComPort port;
    port.SetDeviceName("COM" + std::to_string(AbsentPort()));
    E2E_EXPECT_EQ(RaisedCode([&] { port.Open(); }), 2);
    E2E_EXPECT_TRUE(!port.Active());
    port.SetDeviceName(kDevice); // allowed: the failed open left it closed
    port.Open();
    E2E_EXPECT_TRUE(port.Active());
    port.Open(); // already open: nothing happens
    E2E_EXPECT_TRUE(port.Active());
    port.Close();
    port.Close();
    E2E_EXPECT_TRUE(!port.Active());
    E2E_EXPECT_EQ(NextHandleValue(), handlesBefore); // neither the failed open nor the cycle leaks
}

E2E_CASE(Win32Port, DeviceThatIsNotASerialLineFailsToOpenWithCode6) {
    const char* p = std::getenv("TARVIK_NOT_SERIAL_PORT");
    E2E_ASSERT_TRUE(p != nullptr);
    TComPort port;
    port.SetDeviceName(std::string("COM") + p);
    const std::uintptr_t handlesBefore = NextHandleValue();
    E2E_EXPECT_EQ(RaisedCode([&] { port.Open(); }), 6);
    E2E_EXPECT_TRUE(!port.Active());
    E2E_EXPECT_EQ(NextHandleValue(), handlesBefore); // the device and the three events are released
}

E2E_CASE(Win32Port, OperationsOnAClosedPort) {
    TComPort port;
    std::string text;
    // InputCount has no closed-port guard: the system refuses the invalid handle.
    E2E_EXPECT_EQ(RaisedCode([&] { port.InputCount(); }), 6);
    E2E_EXPECT_EQ(RaisedCode([&] { port.WriteStr("x"); }, &text), 0);
    E2E_EXPECT_EQ(text, std::string(kMsgClosedPort));
    std::string got;
    E2E_EXPECT_EQ(RaisedCode([&] { port.ReadStr(got); }, &text), 0);
    E2E_EXPECT_EQ(text, std::string(kMsgClosedPort));
    E2E_EXPECT_EQ(RaisedCode([&] { port.ModemStatus(); }), 0);
    port.Open();
    port.Close();
    E2E_EXPECT_EQ(RaisedCode([&] { port.ReadChar(); }, &text), 0); // and again after a close
    E2E_EXPECT_EQ(text, std::string(kMsgClosedPort));
}

E2E_CASE(Win32Port, DeviceNameIsFixedWhileOpen) {
    TComPort port;
    port.SetDeviceName(kDevice);
    port.Open();
    port.SetDeviceName(kDevice); // unchanged: no error
    std::string text;
    E2E_EXPECT_EQ(RaisedCode([&] { port.SetDeviceName("COM4"); }, &text), 0);
    E2E_EXPECT_EQ(text, std::string(kMsgOpenPort));
    E2E_EXPECT_EQ(port.DeviceName(), kDevice);
    // Settings that may change while open are applied at once without complaint.
    port.SetBaudRate(br19200);
    port.Timeouts().SetWriteConstant(1000);
    port.BufferSizes().SetInput(8192);
}

E2E_CASE(Win32Port, WritesReachThePeerAndQueuedBytesAreReadInOrder) {
    ComPeer peer(kPort);
    TComPort port;
    port.SetDeviceName(kDevice);
    port.SetBaudRate(br9600);
    port.SetDataBits(db8);
    port.SetParity(paNone);
    port.SetStopBits(sb1);
    port.Open();

    port.WriteStr(""); // starts nothing
    const std::string text = "ab\r\n\x11\x13\xff";
    port.WriteStr(text);
    E2E_ASSERT_TRUE(peer.WaitForRequests(1));
    E2E_EXPECT_EQ(peer.Requests()[0], Bytes(text.begin(), text.end()));

    std::string empty = "stale";
    port.ReadStr(empty);
    E2E_EXPECT_EQ(empty, std::string()); // nothing queued: empty at once

    peer.Send({0x01, 0xFF, 0x0D});
    E2E_EXPECT_EQ(WaitForQueue(port, 3), 3);
    E2E_EXPECT_EQ(port.InputCount(), 3); // counting does not consume
    E2E_EXPECT_EQ(port.ReadChar(), 0x01);
    E2E_EXPECT_EQ(port.ReadChar(), 0xFF);
    E2E_EXPECT_EQ(port.ReadChar(), 0x0D);
    E2E_EXPECT_EQ(port.InputCount(), 0);

    peer.Send({'h', 'e', 'l', 'l', 'o'});
    E2E_EXPECT_EQ(WaitForQueue(port, 5), 5);
    std::string got;
    port.ReadStr(got);
    E2E_EXPECT_EQ(got, std::string("hello"));
}

E2E_CASE(Win32Port, RequestLineSettingsOpenAgainAndAgain) {
    // The port check opens with the driver's settings, the request cycle with 8 data bits, odd
    // parity and one stop bit; a pseudo-terminal must take this on every open.
    ComPeer peer(kPort);
    for (int round = 0; round < 3; ++round) {
        TComPort check;
        check.SetDeviceName(kDevice);
        std::string text;
        E2E_EXPECT_EQ(RaisedCode([&] { check.Open(); }, &text), -1) << text;
        check.Close();
        TComPort request;
        request.SetParity(paOdd);
        request.SetBaudRate(br9600);
        request.SetDeviceName(kDevice);
        request.SetStopBits(sb1);
        request.SetDataBits(db8);
        E2E_EXPECT_EQ(RaisedCode([&] { request.Open(); }, &text), -1) << "round " << round << ": " << text;
        E2E_EXPECT_EQ(RaisedCode([&] { request.WriteStr("x"); }, &text), -1) << text;
    }
}

E2E_CASE(Win32Port, ReadThatTimesOutShortRaisesTimeout) {
    ComPeer peer(kPort);
    TComPort port;
    port.SetDeviceName(kDevice);
    port.Open();
    port.Timeouts().SetReadConstant(100); // applied to the open port
    peer.Send({0x41});
    E2E_EXPECT_EQ(WaitForQueue(port, 1), 1);
    std::uint8_t buf[4] = {};
    std::string text;
    E2E_EXPECT_EQ(RaisedCode([&] { port.Read(buf, 4, true); }, &text), 0);
    E2E_EXPECT_EQ(text, std::string(kMsgTimeout));
    E2E_EXPECT_EQ(buf[0], 0x41);
    // The port stays usable.
    peer.Send({0x42});
    E2E_EXPECT_EQ(WaitForQueue(port, 1), 1);
    E2E_EXPECT_EQ(port.ReadChar(), 0x42);
}

E2E_CASE(Win32Port, ReadThatGetsNothingRaisesTimeout) {
    ComPeer peer(kPort);
    TComPort port;
    port.SetDeviceName(kDevice);
    port.Open();
    port.Timeouts().SetReadConstant(100);
    std::uint8_t buf[1] = {};
    std::string text;
    E2E_EXPECT_EQ(RaisedCode([&] { port.Read(buf, 1, true); }, &text), 0);
    E2E_EXPECT_EQ(text, std::string(kMsgTimeout));
    peer.Send({0x43});
    E2E_EXPECT_EQ(WaitForQueue(port, 1), 1);
    E2E_EXPECT_EQ(port.ReadChar(), 0x43);
}

E2E_CASE(Win32Port, ReadThatEndedBeforeTheWaitStillRaisesTimeout) {
    ComPeer peer(kPort);
    TComPort port;
    port.SetDeviceName(kDevice);
    port.Open();
    port.Timeouts().SetReadConstant(20);
    std::uint8_t buf[2] = {};
    port.Read(buf, 2, false); // nothing comes: the read ends by its timeout before anyone waits
    PauseMs(200);
    std::string text;
    E2E_EXPECT_EQ(RaisedCode([&] { port.Read(buf, 0, true); }, &text), 0);
    E2E_EXPECT_EQ(text, std::string(kMsgTimeout));
    // Judged once: the port goes on.
    peer.Send({0x44});
    E2E_EXPECT_EQ(WaitForQueue(port, 1), 1);
    E2E_EXPECT_EQ(port.ReadChar(), 0x44);
}

E2E_CASE(Win32Port, OddParityOpensAgainAndAgain) {
    // Each open starts from the line state the last one left behind.
    ComPeer peer(kPort);
    for (int round = 0; round < 3; ++round) {
        TComPort port;
        port.SetDeviceName(kDevice);
        port.SetParity(paOdd);
        port.SetBaudRate(br38400);
        std::string text;
        E2E_EXPECT_EQ(RaisedCode([&] { port.Open(); }, &text), -1) << "round " << round << ": " << text;
    }
}

E2E_CASE(Win32Port, RefusedSettingLeavesTheLineAsItWas) {
    // Wine takes the rate of a block before it refuses its framing (4 data bits, error 50): the
    // open that fails must give the line back as it found it.
    ComPeer peer(kPort);
    auto lineState = [] {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        const HANDLE h =
            CreateFileA(kDevice.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            GetCommState(h, &dcb);
            CloseHandle(h);
        }
        return dcb;
    };
    TComPort before;
    before.SetDeviceName(kDevice);
    before.SetBaudRate(br9600);
    before.SetParity(paNone);
    before.Open();
    before.Close();
    TComPort refused;
    refused.SetDeviceName(kDevice);
    refused.SetBaudRate(br19200);
    refused.SetParity(paEven);
    refused.SetStopBits(sb2);
    refused.SetDataBits(db4);
    E2E_EXPECT_TRUE(RaisedCode([&] { refused.Open(); }) > 0);
    E2E_EXPECT_TRUE(!refused.Active());
    const DCB after = lineState();
    E2E_EXPECT_EQ(after.BaudRate, 9600u);
    E2E_EXPECT_EQ(after.ByteSize, 8);
    E2E_EXPECT_EQ(after.Parity, NOPARITY);
    E2E_EXPECT_EQ(after.StopBits, ONESTOPBIT);
}

E2E_CASE(Win32Port, OnErrorMayTurnTheErrorIntoASilentAbort) {
    TComPort port;
    port.SetDeviceName("COM" + std::to_string(AbsentPort()));
    std::int32_t seen = -1;
    port.SetOnError([&](TCustomComPort&, EComError& e, TComAction& action) {
        seen = e.ErrorCode;
        action = caAbort;
    });
    bool aborted = false;
    try {
        port.Open();
    } catch (const EAbort&) {
        aborted = true;
    }
    E2E_EXPECT_TRUE(aborted);
    E2E_EXPECT_EQ(seen, 2);
}

E2E_CASE(Win32Port, ReceivedBytesRaiseTheRxCharEventOnTheEventThread) {
    ComPeer peer(kPort);
    TComPort port;
    port.SetDeviceName(kDevice);
    port.SetSynchronizeEvents(false); // handlers run on the event thread itself
    std::atomic<int> calls{0};
    port.SetOnRxChar([&](TCustomComPort&) { ++calls; });
    port.Open();
    // A byte that lands before the event thread has begun to wait raises nothing under Wine: send
    // again until one is seen.
    int sent = 0;
    for (int i = 0; i < 600 && calls == 0; ++i) {
        if (i % 20 == 0) {
            peer.Send({0x55});
            ++sent;
        }
        PauseMs(5);
    }
    // Wine's event wait on a pseudo-terminal now and then misses received bytes altogether; the
    // event semantics are tested on Linux. What must hold here: the
    // thread runs, the bytes stay readable and Close ends the thread.
    if (calls == 0) std::printf("note: no RxChar event under Wine in 3 s; bytes checked below\n");
    E2E_EXPECT_EQ(WaitForQueue(port, sent), sent);
    for (int i = 0; i < sent; ++i)
        E2E_EXPECT_EQ(port.ReadChar(), 0x55);
    port.Close(); // stops and joins the waiting thread
    E2E_EXPECT_TRUE(!port.Active());
}

E2E_CASE(Win32Port, PriorityClassIsRaisedWhileOpenAndRestoredOnClose) {
    const DWORD before = GetPriorityClass(GetCurrentProcess());
    TComPort port;
    port.SetDeviceName(kDevice);
    port.SetPriorityClass(pcHigh);
    port.Open();
    E2E_EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(HIGH_PRIORITY_CLASS));
    port.Close();
    E2E_EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), before);
}

// The read time-out table shared with the Linux tests.
E2E_CASE(Win32Port, TheReadTimeOutTable) {
    ComPeer peer(kPort);
    for (const auto& c : comport_test::ReadTimeoutCases()) {
        // Wine 8 does not end a MAXDWORD/MAXDWORD/c read after the constant when nothing
        // arrives: it waits on. Windows drivers implement the rule and the backend only hands the
        // values on, so these cases are shown on Linux alone.
        if (c.interval == -1 && c.multiplier == -1) {
            std::printf("note: not under Wine: %s\n", c.name);
            continue;
        }
        TComPort port;
        port.SetDeviceName(kDevice);
        port.Open();
        const auto outcome = comport_test::RunReadTimeoutCase(c, port, [&](const Bytes& b) { peer.Send(b); });
        E2E_ASSERT_TRUE(outcome.finished) << c.name << ": hung";
        E2E_EXPECT_EQ(outcome.error, std::string()) << c.name;
        E2E_EXPECT_EQ(outcome.timedOut, c.timeout) << c.name;
        E2E_EXPECT_EQ(outcome.start, c.expected) << c.name;
    }
}

// ReadAvailable: the table shared with the Linux tests, the argument rules, and a close from
// another thread ending its wait.
E2E_CASE(Win32Port, ReadAvailableTakesWhatIsQueuedOrWaitsForTheFirstByte) {
    ComPeer peer(kPort);
    for (const auto& c : comport_test::ReadAvailableCases()) {
        TComPort port;
        port.SetDeviceName(kDevice);
        port.Open();
        const auto outcome =
            comport_test::RunReadAvailableCase(c, port, [&](const Bytes& b) { peer.Send(b); });
        E2E_ASSERT_TRUE(outcome.finished) << c.name << ": hung";
        E2E_EXPECT_EQ(outcome.error, std::string()) << c.name;
        E2E_EXPECT_TRUE(comport_test::GotExpected(c, outcome.got)) << c.name;
        E2E_EXPECT_TRUE(outcome.timeoutsKept) << c.name;
        E2E_EXPECT_EQ(outcome.laterRead, std::string()) << c.name;
    }

    TComPort port;
    port.SetDeviceName(kDevice);
    std::uint8_t buf[4] = {};
    E2E_EXPECT_EQ(RaisedCode([&] { port.ReadAvailable(buf, 4, 0); }), static_cast<std::int32_t>(ceComponent));
    port.Open();
    E2E_EXPECT_EQ(RaisedCode([&] { port.ReadAvailable(buf, -1, 0); }),
                  static_cast<std::int32_t>(ceInvalidParameter));
    E2E_EXPECT_EQ(RaisedCode([&] { port.ReadAvailable(buf, 4, -1); }),
                  static_cast<std::int32_t>(ceInvalidParameter));

    std::atomic<int> kind{-1};
    std::atomic<bool> reading{false};
    std::thread closer([&] {
        while (!reading)
            PauseMs(1);
        PauseMs(100);
        port.Close();
    });
    const bool finished = comport_test::FinishesPromptly([&] {
        reading = true;
        try {
            port.ReadAvailable(buf, 4, 60000);
        } catch (const EComError& e) {
            kind = e.Kind;
        }
    });
    closer.join();
    E2E_ASSERT_TRUE(finished);
    E2E_EXPECT_EQ(kind.load(), static_cast<int>(ekClosedPort));
}

// A read that waits for bytes that never come ends promptly with the closed-port error when
// another thread closes the port (CancelIoEx: the system's CancelIo ends only the caller's I/O).
E2E_CASE(Win32Port, CloseFromAnotherThreadEndsAPendingRead) {
    ComPeer peer(kPort);
    TComPort port;
    port.SetDeviceName(kDevice);
    port.Open();
    std::atomic<int> kind{-1};
    std::atomic<bool> reading{false};
    std::thread closer([&] {
        while (!reading)
            PauseMs(1);
        PauseMs(100); // the reader is inside its wait by now, or the close ends it as it starts
        port.Close();
    });
    const bool finished = comport_test::FinishesPromptly([&] {
        std::uint8_t buf[4] = {};
        reading = true;
        try {
            port.Read(buf, 4, true);
        } catch (const EComError& e) {
            kind = e.Kind;
        }
    });
    closer.join();
    E2E_ASSERT_TRUE(finished);
    E2E_EXPECT_EQ(kind.load(), static_cast<int>(ekClosedPort));
    E2E_EXPECT_TRUE(!port.Active());
    port.Open(); // the device is free again
    E2E_EXPECT_TRUE(port.Active());
}

// A synchronised handler on the main thread closes its own port while the event thread waits for
// it; the close must not wait for that thread.
E2E_CASE(Win32Port, ASynchronisedHandlerMayCloseItsPort) {
    ComPeer peer(kPort);
    std::atomic<int> calls{0};
    const bool finished = comport_test::FinishesPromptly([&] {
        TMainThread::Attach();
        TComPort port;
        port.SetDeviceName(kDevice);
        port.SetOnRxChar([&](TCustomComPort& p) {
            ++calls;
            p.Close();
        });
        port.Open();
        // Wine's event wait on a pseudo-terminal may miss bytes: send until one is seen.
        std::string raised;
        for (int i = 0; i < 300 && calls == 0; ++i) {
            if (i % 20 == 0) peer.Send({0x55});
            try {
                TMainThread::ProcessEvents(10);
            } catch (const EComError& e) {
                raised = e.what(); // a failed event wait, raised through this thread
            }
        }
        E2E_EXPECT_EQ(raised, std::string());
        if (calls == 0) std::printf("note: no RxChar event under Wine in 3 s\n");
        E2E_EXPECT_TRUE(calls == 0 || !port.Active());
        TMainThread::Detach();
    });
    E2E_ASSERT_TRUE(finished);
}

// MAXDWORD multipliers mean no time-out in practice: a read and a write wait as long as the peer
// takes.
E2E_CASE(Win32Port, MaxDwordMultipliersNeverTimeOut) {
    ComPeer peer(kPort);
    TComPort port;
    port.SetDeviceName(kDevice);
    port.Open();
    port.Timeouts().SetReadMultiplier(-1);
    port.Timeouts().SetWriteMultiplier(-1);
    std::thread device([&] {
        PauseMs(200); // the read waits by now
        peer.Send(Bytes(4096, 0x6D));
    });
    std::vector<std::uint8_t> in(4096);
    E2E_EXPECT_EQ(RaisedCode([&] { port.Read(in.data(), 4096, true); }), -1);
    device.join();
    const std::string out(128 << 10, 'w');
    E2E_EXPECT_EQ(RaisedCode([&] { port.Write(out.data(), static_cast<std::int32_t>(out.size()), true); }),
                  -1);
}

// Two threads reading at once take turns: every byte arrives once.
E2E_CASE(Win32Port, ReadersTakeTurns) {
    constexpr int kRounds = 100, kChunk = 16;
    ComPeer peer(kPort);
    TComPort port;
    port.SetDeviceName(kDevice);
    port.Open();
    std::atomic<int> bytes{0}, failures{0};
    auto reader = [&] {
        for (int i = 0; i < kRounds; ++i) {
            std::vector<std::uint8_t> buf(kChunk);
            if (RaisedCode([&] { port.Read(buf.data(), kChunk, true); }) != -1) ++failures;
            bytes += kChunk;
        }
    };
    std::thread a(reader), b(reader);
    peer.Send(Bytes(2 * kRounds * kChunk, 0x72));
    a.join();
    b.join();
    E2E_EXPECT_EQ(failures.load(), 0);
    E2E_EXPECT_EQ(bytes.load(), 2 * kRounds * kChunk);
}

E2E_CASE(Win32Port, SmallRules) {
    TComPort port;
    port.SetCustomBaudRate(0); // the stored value: nothing changes
    E2E_EXPECT_EQ(port.BaudRate(), brDefault);
    port.SetDeviceName(kDevice);
    port.Open();
    std::uint8_t buf[2] = {};
    E2E_EXPECT_EQ(RaisedCode([&] { port.Read(buf, -1, true); }), 87);
    E2E_EXPECT_EQ(RaisedCode([&] { port.Write(buf, -5, false); }), 87);
}

} // namespace tarvik::e2e

int main(int argc, char** argv) {
    return tarvik::e2e::RunCases(argc > 1 ? argv[1] : "") == 0 ? 0 : 1;
}
