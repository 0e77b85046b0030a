// The Linux binding of the shared end-to-end cases (tests/e2e): the peer is a ScriptedPeer on a
// pseudo-terminal linked into the port directory.
#include <unistd.h>

#include <string>

#include "e2e/E2E.h"
#include "support/ScriptedPeer.h"

namespace tarvik::e2e {

namespace {

class PtyPeer : public Peer {
public:
    explicit PtyPeer(int com) : peer_(com) {}
    void Reply(Bytes bytes, int delayMs) override { peer_.Reply(std::move(bytes), delayMs); }
    void ReplySplit(Bytes bytes, std::size_t splitAt, int delayMs, int splitDelayMs) override {
        peer_.ReplySplit(std::move(bytes), splitAt, delayMs, splitDelayMs);
    }
    Bytes Received() const override { return peer_.Received(); }
    std::vector<Bytes> Requests() const override { return peer_.Requests(); }
    bool WaitForRequests(std::size_t n, int timeoutMs) const override {
        return peer_.WaitForRequests(n, timeoutMs);
    }
    void ClearReceived() override { peer_.ClearReceived(); }
    void SetLineMode(bool on) override { peer_.SetLineMode(on); }

private:
    test::ScriptedPeer peer_;
};

} // namespace

std::unique_ptr<Peer> MakePeer(int com) {
    return std::make_unique<PtyPeer>(com);
}

int AbsentPort() {
    // The port directory lists only the ports that a test created.
    for (int port = 40; port >= 1; --port) {
        const std::string link = test::PortDir() + "/COM" + std::to_string(port);
        if (::access(link.c_str(), F_OK) != 0) return port;
    }
    return 40;
}

void PauseMs(int ms) {
    ::usleep(static_cast<useconds_t>(ms) * 1000);
}

} // namespace tarvik::e2e
