// Many threads on many ports, every export mixed: each result and output equals what the same call
// gives alone (in-memory ports: the pipeline's own sharing is under test, at no cost in waits).
// And a soak on real pseudo-terminals: thousands of calls leave the descriptor count and the heap
// as they were.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <functional>
#include <future>
#include <sstream>

#include "TarvikDLL.h"
#include "support/Descriptors.h"
#include "support/DeviceModels.h"
#include "support/MemoryPeer.h"

using namespace tarvik::test;

namespace {

constexpr int kBaud = 38400;

// One call of an export on `port`, rendered as its result and every output it wrote.
using Call = std::function<std::string(int port)>;

template <class... T>
std::string Print(int result, const T&... outputs) {
    std::ostringstream s;
    s << result;
    ((s << ' ' << +outputs), ...);
    return s.str();
}

std::string Hex(const void* p, std::size_t n) {
    std::ostringstream s;
    for (std::size_t i = 0; i < n; ++i)
        s << std::hex << +static_cast<const uint8_t*>(p)[i] << '.';
    return s.str();
}

std::vector<std::pair<std::string, Call>> AllExports() {
    std::vector<std::pair<std::string, Call>> calls;
    auto add = [&](const char* name, Call c) { calls.emplace_back(name, std::move(c)); };
    // Digital family: one device per port, address 1 2 3 / 0x64.
    add("ReadFlow", [](int p) {
        int32_t v = 0;
        uint8_t u = 0, a = 0, b = 0;
        return Print(ReadFlow(p, kBaud, 1, 2, 3, 0x64, &v, &u, &a, &b), v, u, a, b);
    });
    add("ReadSetPoint", [](int p) {
        int32_t v = 0, w = 0;
        uint8_t u = 0, a = 0, b = 0;
        return Print(ReadSetPoint(p, kBaud, 1, 2, 3, 0x64, &v, &u, &w, &a, &b), v, u, w, a, b);
    });
    add("WriteSetPoint", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(WriteSetPoint(p, kBaud, 1, 2, 3, 0x64, 57, 0x42480000, &a, &b), a, b);
    });
    add("ReadDeviceID", [](int p) {
        uint8_t h = 0, m = 0, l = 0, t = 0, a = 0, b = 0;
        return Print(ReadDeviceID(0, p, kBaud, nullptr, 0, &h, &m, &l, &t, &a, &b), h, m, l, t, a, b);
    });
    add("ReadDeviceID by tag", [](int p) {
        uint8_t h = 0, m = 0, l = 0, t = 0, a = 0, b = 0;
        return Print(ReadDeviceID(1, p, kBaud, "FT-101  ", 8, &h, &m, &l, &t, &a, &b), h, m, l, t, a, b);
    });
    add("ReadTAG", [](int p) {
        uint8_t rec[27] = {}, a = 7, b = 7;
        return Print(ReadTAG(p, kBaud, rec, &a, &b), a, b) + Hex(rec, sizeof rec);
    });
    add("ReadAddStatus", [](int p) {
        uint8_t f[4][8] = {}, a = 0, b = 0;
        return Print(ReadAddStatus(p, kBaud, 1, 2, 3, 0x64, f[0], f[1], f[2], f[3], &a, &b), a, b) +
               Hex(f, 32);
    });
    add("ReadGasData", [](int p) {
        uint8_t u[4] = {}, a = 0, b = 0;
        int32_t v[4] = {};
        return Print(ReadGasData(p, kBaud, 1, 2, 3, 0x64, 3, &u[0], &v[0], &u[1], &v[1], &u[2], &v[2], &u[3],
                                 &v[3], &a, &b),
                     u[0], v[0], u[1], v[1], u[2], v[2], u[3], v[3], a, b);
    });
    add("ReadProcessGasType", [](int p) {
        char text[12] = {};
        uint8_t a = 0, b = 0;
        return Print(ReadProcessGasType(p, kBaud, 1, 2, 3, 0x64, 2, text, &a, &b), a, b) + Hex(text, 12);
    });
    add("ReadOperationalSettings", [](int p) {
        uint8_t s[4] = {}, a = 0, b = 0;
        return Print(ReadOperationalSettings(p, kBaud, 1, 2, 3, 0x64, &s[0], &s[1], &s[2], &s[3], &a, &b),
                     s[0], s[1], s[2], s[3], a, b);
    });
    add("SelectFlowUnit", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(SelectFlowUnit(p, kBaud, 1, 2, 3, 0x64, 17, 57, &a, &b), a, b);
    });
    add("SelectGasNumber", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(SelectGasNumber(p, kBaud, 1, 2, 3, 0x64, 4, &a, &b), a, b);
    });
    add("ReadVORState", [](int p) {
        uint8_t s = 9, a = 9, b = 9;
        return Print(ReadVORState(p, kBaud, 1, 2, 3, 0x64, &s, &a, &b), s, a, b);
    });
    add("WriteVORState", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(WriteVORState(p, kBaud, 1, 2, 3, 0x64, 2, &a, &b), a, b);
    });
    add("ReadTotalizerState", [](int p) {
        uint8_t s = 9, a = 9, b = 9;
        return Print(ReadTotalizerState(p, kBaud, 1, 2, 3, 0x64, &s, &a, &b), s, a, b);
    });
    add("WriteTotalizerState", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(WriteTotalizerState(p, kBaud, 1, 2, 3, 0x64, 1, &a, &b), a, b);
    });
    add("ReadTotalizer", [](int p) {
        int32_t v = 0;
        uint8_t u = 0, a = 0, b = 0;
        return Print(ReadTotalizer(p, kBaud, 1, 2, 3, 0x64, &v, &u, &a, &b), v, u, a, b);
    });
    add("ReadPressure", [](int p) {
        int32_t v = 0;
        uint8_t u = 0, a = 0, b = 0;
        return Print(ReadPressure(p, kBaud, 1, 2, 3, 0x64, &v, &u, &a, &b), v, u, a, b);
    });
    add("ReadFullScaleRangePressure", [](int p) {
        int32_t v = 0;
        uint8_t u = 0, a = 0, b = 0;
        return Print(ReadFullScaleRangePressure(p, kBaud, 1, 2, 3, 0x64, 3, &u, &v, &a, &b), u, v, a, b);
    });
    add("SelectPressureUnit", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(SelectPressureUnit(p, kBaud, 1, 2, 3, 0x64, 7, &a, &b), a, b);
    });
    add("SelectPressureApplication", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(SelectPressureApplication(p, kBaud, 1, 2, 3, 0x64, 6, &a, &b), a, b);
    });
    add("ReadOperationalSettingsPressure", [](int p) {
        uint8_t s[4] = {}, a = 0, b = 0;
        return Print(
            ReadOperationalSettingsPressure(p, kBaud, 1, 2, 3, 0x64, &s[0], &s[1], &s[2], &s[3], &a, &b),
            s[0], s[1], s[2], s[3], a, b);
    });
    add("WriteProtectS", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(WriteProtectS(p, kBaud, "PROTECT1", 8, 1, 2, 3, 0x64, 1, &a, &b), a, b);
    });
    add("BackupDatabaseS", [](int p) {
        uint8_t a = 9, b = 9;
        return Print(BackupDatabaseS(p, kBaud, 1, 2, 3, 0x64, &a, &b), a, b);
    });
    // Read-out unit family.
    add("TestComs_0731", [](int p) { return Print(TestComs_0731(p)); });
    add("ReadSetPointSource_0731", [](int p) {
        uint8_t s = 9;
        return Print(ReadSetPointSource_0731(p, 2, &s), s);
    });
    add("WriteSerialSetPointSource_0731", [](int p) { return Print(WriteSerialSetPointSource_0731(p, 3)); });
    add("WriteManualSetPointSource_0731", [](int p) { return Print(WriteManualSetPointSource_0731(p, 3)); });
    add("WriteVORState_0731", [](int p) { return Print(WriteVORState_0731(p, 4, 2)); });
    add("ReadMeasureUnit_0731", [](int p) {
        int32_t u = 0;
        return Print(ReadMeasureUnit_0731(p, 1, &u), u);
    });
    add("ReadTimeUnit_0731", [](int p) {
        int32_t u = 0;
        return Print(ReadTimeUnit_0731(p, 2, &u), u);
    });
    add("ReadFullScale_0731", [](int p) {
        float v = 0;
        return Print(ReadFullScale_0731(p, 3, &v), v);
    });
    add("ReadDecimalPlace_0731", [](int p) {
        int32_t v = 0;
        return Print(ReadDecimalPlace_0731(p, 4, &v), v);
    });
    add("WriteDecimalPlace_0731", [](int p) { return Print(WriteDecimalPlace_0731(p, 1, 2)); });
    add("ReadProcessVariable_0731", [](int p) {
        float v = 0;
        return Print(ReadProcessVariable_0731(p, 2, &v), v);
    });
    add("ReadSetPoint_0731", [](int p) {
        float v = 0;
        return Print(ReadSetPoint_0731(p, 3, &v), v);
    });
    add("WriteSetPoint_0731", [](int p) { return Print(WriteSetPoint_0731(p, 4, 2, 12.5f)); });
    return calls;
}

// A device on `port` that answers both families.
ScriptedReply AnyFamily(const Bytes& request) {
    return !request.empty() && request[0] == 0xFF ? HartModel(request) : ReadoutModel(request);
}

std::unique_ptr<ScriptedPeer> Device(int port) {
    auto peer = std::make_unique<ScriptedPeer>(port);
    peer->SetResponder(AnyFamily);
    return peer;
}

} // namespace

TEST(Load, ManyThreadsOnManyPortsGiveWhatASingleCallGives) {
    constexpr int kPorts = 8;
    MemoryLines lines;
    std::vector<std::unique_ptr<MemoryPeer>> devices;
    for (int p = 1; p <= kPorts; ++p) {
        devices.push_back(std::make_unique<MemoryPeer>(p));
        devices.back()->SetResponder(AnyFamily);
    }
    const auto calls = AllExports();
    ASSERT_EQ(calls.size(), 37u); // 36 exports, ReadDeviceID in both modes

    std::vector<std::string> expected;
    for (const auto& [name, call] : calls) {
        expected.push_back(call(1));
        EXPECT_EQ(expected.back().rfind("1", 0), 0u) << name << ": " << expected.back();
    }

    std::vector<std::future<std::vector<std::string>>> threads;
    for (int p = 1; p <= kPorts; ++p) {
        threads.push_back(std::async(std::launch::async, [&, p] {
            std::vector<std::string> mismatches;
            // Each thread starts at another export, so different commands run at the same time.
            for (std::size_t i = 0; i < calls.size(); ++i) {
                const std::size_t k = (i + static_cast<std::size_t>(p) * 5) % calls.size();
                const std::string got = calls[k].second(p);
                if (got != expected[k])
                    mismatches.push_back(calls[k].first + " on port " + std::to_string(p) + ": " + got);
            }
            return mismatches;
        }));
    }
    for (auto& t : threads)
        for (const auto& m : t.get())
            ADD_FAILURE() << m;
}

TEST(Load, SoakLeavesDescriptorsAndHeapAsTheyWere) {
    constexpr int kPorts = 8;
    std::vector<std::unique_ptr<ScriptedPeer>> devices;
    for (int p = 1; p <= kPorts; ++p)
        devices.push_back(Device(p));
    // Results across the range: good replies, no reply (ports 9 to 12 are silent), absent, bad
    // arguments. Each silent port is asked once a round, all at once: a call to one waits out the
    // reply time, and four of them in a row made this test the suite's slowest.
    constexpr int kSilentPorts = 4;
    std::vector<std::unique_ptr<ScriptedPeer>> silent;
    for (int p = kPorts + 1; p <= kPorts + kSilentPorts; ++p)
        silent.push_back(std::make_unique<ScriptedPeer>(p));

    auto round = [&](int perThread) {
        std::vector<std::future<void>> threads;
        for (int p = kPorts + 1; p <= kPorts + kSilentPorts; ++p) {
            threads.push_back(std::async(std::launch::async, [p] {
                int32_t v;
                uint8_t u, a, b;
                ReadFlow(p, kBaud, 1, 2, 3, 0x64, &v, &u, &a, &b);
            }));
        }
        for (int p = 1; p <= kPorts; ++p) {
            threads.push_back(std::async(std::launch::async, [p, perThread] {
                int32_t v;
                uint8_t u, a, b;
                for (int i = 0; i < perThread; ++i) {
                    ReadFlow(p, kBaud, 1, 2, 3, 0x64, &v, &u, &a, &b);
                    for (int fast = 0; fast < 20; ++fast) {
                        ReadFlow(0, kBaud, 1, 2, 3, 0x64, &v, &u, &a, &b);      // bad port
                        ReadFlow(p, 57600, 1, 2, 3, 0x64, &v, &u, &a, &b);      // bad baud
                        ReadFlow(30 + p, kBaud, 1, 2, 3, 0x64, &v, &u, &a, &b); // absent
                    }
                }
            }));
        }
        for (auto& t : threads)
            t.get();
    };
    round(3); // warm up: first-use allocations of the runtime
    const int fds = OpenDescriptors();
    const std::size_t heap = mallinfo2().uordblks;
    round(40); // 8 x 40 exchanges and 8 x 40 x 60 early results
    EXPECT_EQ(OpenDescriptors(), fds);
    const std::size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, heap + 64 * 1024) << "heap grew from " << heap << " to " << after;
}
