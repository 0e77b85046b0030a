// The Linux bindings of the shared end-to-end cases (tests/e2e): every case runs against the
// in-memory backend (its waits cost nothing); the cases marked E2E_PTY_CASE run once more with a
// ScriptedPeer on a pseudo-terminal linked into the port directory, through the real port backend.
#include <unistd.h>

#include <string>

#include "e2e/E2E.h"
#include "support/MemoryPeer.h"
#include "support/ScriptedPeer.h"

namespace tarvik::e2e {

namespace {

thread_local bool onPty = false;

template <class P>
class Bound : public Peer {
public:
    explicit Bound(int com) : peer_(com) {}
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
    P peer_;
};

} // namespace

struct InMemory::Lines {
    test::MemoryLines lines;
};

InMemory::InMemory() : lines_(std::make_unique<Lines>()) {}
InMemory::~InMemory() = default;

OnPty::OnPty() {
    onPty = true;
}
OnPty::~OnPty() {
    onPty = false;
}

std::unique_ptr<Peer> MakePeer(int com) {
    if (onPty) return std::make_unique<Bound<test::ScriptedPeer>>(com);
    return std::make_unique<Bound<test::MemoryPeer>>(com);
}

int AbsentPort() {
    // Memory: only the ports of live MemoryPeers exist, and the cases use low numbers. Pty: the
    // port directory lists only the ports that a test created.
    if (!onPty) return 40;
    for (int port = 40; port >= 1; --port) {
        const std::string link = test::PortDir() + "/COM" + std::to_string(port);
        if (::access(link.c_str(), F_OK) != 0) return port;
    }
    return 40;
}

void PauseMs(int ms) {
    if (onPty)
        ::usleep(static_cast<useconds_t>(ms) * 1000);
    else
        test::PassTime(ms);
}

} // namespace tarvik::e2e
