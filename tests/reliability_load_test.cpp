// Many threads on many ports, every export mixed: each result and output equals what the same call
// gives alone (in-memory ports: the pipeline's own sharing is under test, at no cost in waits).
// And a soak on real pseudo-terminals: thousands of calls leave the descriptor count and the heap
// as they were.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <future>
#include <sstream>

#include "TarvikDLL.h"
#include "support/Descriptors.h"
#include "support/DeviceModels.h"
#include "support/EveryExport.h"
#include "support/MemoryPeer.h"

using namespace tarvik::test;

namespace {

constexpr int kBaud = 38400;

// One call of a row on `port` with its good arguments, rendered as its result and every byte of
// the output arena.
std::string CallOn(const ExportRow& row, int port) {
    ExportArgs args = row.good;
    args.port = port;
    Arena out;
    std::ostringstream s;
    s << row.call(args, out) << ':' << std::hex;
    for (const std::uint8_t b : out.bytes)
        s << +b << '.';
    return s.str();
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
    const auto& calls = EveryExport();
    ASSERT_EQ(calls.size(), 37u); // 36 exports, ReadDeviceID in both modes

    std::vector<std::string> expected;
    for (const ExportRow& row : calls) {
        expected.push_back(CallOn(row, 1));
        EXPECT_EQ(expected.back().rfind("1:", 0), 0u) << row.name << ": " << expected.back();
    }

    std::vector<std::future<std::vector<std::string>>> threads;
    for (int p = 1; p <= kPorts; ++p) {
        threads.push_back(std::async(std::launch::async, [&, p] {
            std::vector<std::string> mismatches;
            // Each thread starts at another export, so different commands run at the same time.
            for (std::size_t i = 0; i < calls.size(); ++i) {
                const std::size_t k = (i + static_cast<std::size_t>(p) * 5) % calls.size();
                const std::string got = CallOn(calls[k], p);
                if (got != expected[k])
                    mismatches.push_back(std::string(calls[k].name) + " on port " + std::to_string(p) + ": " +
                                         got);
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
