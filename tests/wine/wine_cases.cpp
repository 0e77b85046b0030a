// Windows-only end-to-end cases, run through the DLL under Wine.
//
// Not here: a second open of a port that a call holds. Wine does not refuse a second CreateFileA
// of a COM port opened with share mode 0 (Windows answers code 5), so that case is covered on
// Linux only (tests/readflow_linux_test.cpp).
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "ComPeer.h"
#include "e2e/E2E.h"

namespace tarvik::e2e {

namespace {

// A port mapped to something that is not a serial line (e.g. /dev/null): it opens, but every
// communications call on it fails.
int NotSerialPort() {
    const char* p = std::getenv("TARVIK_NOT_SERIAL_PORT");
    return p ? std::atoi(p) : 0;
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

} // namespace

E2E_CASE(WineOnly, HandleProbeSeesAHandleLeftOpen) {
    const std::uintptr_t before = NextHandleValue();
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    E2E_EXPECT_TRUE(NextHandleValue() != before);
    CloseHandle(held);
    E2E_EXPECT_EQ(NextHandleValue(), before);
}

E2E_CASE(WineOnly, ListedPortThatIsNotASerialLineIsBusy) {
    const int port = NotSerialPort();
    E2E_ASSERT_TRUE(port >= 1 && port <= 40) << "TARVIK_NOT_SERIAL_PORT not set";
    std::int32_t value = 7;
    std::uint8_t units = 8, s1 = 9, s2 = 10;
    E2E_EXPECT_EQ(ReadFlow(port, 9600, 1, 2, 3, 0x64, &value, &units, &s1, &s2), ResultPortBusy);
    E2E_EXPECT_TRUE(value == 7 && units == 8 && s1 == 9 && s2 == 10);
    E2E_EXPECT_EQ(TestComs_0731(port), ResultPortBusy);
}

E2E_CASE(WineOnly, CallsLeaveNoHandlesBehind) {
    auto peer = std::make_unique<ComPeer>(3);
    // Counted while the peer's thread rests outside its reads, whose temporary handles are not ours.
    auto handles = [&] {
        peer->Park();
        const std::uintptr_t next = NextHandleValue();
        peer->Unpark();
        return next;
    };
    const Bytes reply = OnLine(HartFrame(1, 0, 0, {0x39, 0x42, 0xC8, 0x00, 0x00}));
    std::int32_t value = 0;
    std::uint8_t units = 0, s1 = 0, s2 = 0;
    auto call = [&](int port) { return ReadFlow(port, 38400, 1, 2, 3, 0x64, &value, &units, &s1, &s2); };
    peer->Reply(reply);
    E2E_EXPECT_EQ(call(3), ResultOk); // the first call may set up the run time's own handles
    const std::uintptr_t before = handles();
    peer->Reply(reply);
    E2E_EXPECT_EQ(call(3), ResultOk);
    E2E_EXPECT_EQ(call(3), ResultNoReply);
    E2E_EXPECT_EQ(call(AbsentPort()), ResultPortAbsent);
    E2E_EXPECT_EQ(call(NotSerialPort()), ResultPortBusy);
    E2E_EXPECT_EQ(handles(), before);
}

} // namespace tarvik::e2e
