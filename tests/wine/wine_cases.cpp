// Windows-only end-to-end cases, run through the DLL under Wine.
//
// Not here: a second open of a port that a call holds. Wine does not refuse a second CreateFileA
// of a COM port opened with share mode 0 (Windows answers code 5), so that case is covered on
// Linux only (tests/readflow_e2e_test.cpp).
#include <cstdlib>

#include "e2e/E2E.h"

namespace tarvik::e2e {

namespace {

// A port mapped to something that is not a serial line (e.g. /dev/null): it opens, but every
// communications call on it fails.
int NotSerialPort() {
    const char* p = std::getenv("TARVIK_NOT_SERIAL_PORT");
    return p ? std::atoi(p) : 0;
}

} // namespace

E2E_CASE(WineOnly, ListedPortThatIsNotASerialLineIsBusy) {
    const int port = NotSerialPort();
    E2E_ASSERT_TRUE(port >= 1 && port <= 40) << "TARVIK_NOT_SERIAL_PORT not set";
    std::int32_t value = 7;
    std::uint8_t units = 8, s1 = 9, s2 = 10;
    E2E_EXPECT_EQ(ReadFlow(port, 9600, 1, 2, 3, 0x64, &value, &units, &s1, &s2), ResultPortBusy);
    E2E_EXPECT_TRUE(value == 7 && units == 8 && s1 == 9 && s2 == 10);
    E2E_EXPECT_EQ(TestComs_0731(port), ResultPortBusy);
}

} // namespace tarvik::e2e
