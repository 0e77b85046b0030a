// The production side of the pipeline's seam on the Win32 backend, where a write that is still
// out reads the caller's bytes until it completes.
#include <chrono>
#include <string>

#include "api/Transport.h"
#include "wine/ComPeer.h"

namespace tarvik::e2e {

// A write does not hand its bytes over while the previous write still sends them: the second
// write's bytes would take the first's place on the wire.
E2E_CASE(Seam, AWriteWaitsUntilThePreviousWriteIsOut) {
    constexpr int kPort = 3;
    ComPeer peer(kPort);
    api::LineSettings line;
    line.device = "COM" + std::to_string(kPort);
    line.baud = 9600;
    auto transport = api::ActiveBackend().Open(line);
    constexpr std::size_t kSize = 16 * 1024;
    const Bytes first(kSize, 'A'), second(kSize, 'B');
    transport->Write(first);
    transport->Write(second);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (peer.Received().size() < 2 * kSize && std::chrono::steady_clock::now() < until)
        PauseMs(10);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    E2E_EXPECT_TRUE(peer.Received() == expected);
}

} // namespace tarvik::e2e
