// The port component under stress on a pseudo-terminal: typed errors, closing from any thread
// while others wait, background writes, the read time-out table, the bounded input queue, line
// settings a terminal cannot take, and the process priority.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "comport/ComPort.h"
#include "comport/ComThread.h"
#include "support/Descriptors.h"
#include "support/ScriptedPeer.h"

using namespace tarvik::comport;
using tarvik::test::Bytes;
using tarvik::test::ScriptedPeer;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCom = 7;
const std::string kName = "COM" + std::to_string(kCom);

// A generous bound for anything that must happen "promptly": a slow or loaded machine stays far
// below it, a hang never ends before it.
constexpr auto kPrompt = 20s;

template <class F>
EComError Raised(F&& f) {
    try {
        f();
    } catch (const EComError& e) {
        return e;
    }
    ADD_FAILURE() << "no EComError raised";
    return EComError(-1, "");
}

struct Port : TComPort {
    Port() { SetDeviceName(kName); }
};

// A bare pseudo-terminal linked as COM<n>: the test writes and reads its master side itself, at
// its own pace (slowly, or not at all).
class RawPeer {
public:
    explicit RawPeer(int com) : link_(tarvik::test::PortDir() + "/COM" + std::to_string(com)) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("pty");
        const std::string path = ::ptsname(master_);
        slave_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); // no hang-up while we live
        ::unlink(link_.c_str());
        if (::symlink(path.c_str(), link_.c_str()) != 0) throw std::runtime_error("link");
    }
    ~RawPeer() {
        ::unlink(link_.c_str());
        ::close(slave_);
        ::close(master_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    void Send(const Bytes& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
    }
    // Sends what the line takes until it has taken nothing for `quietMs` (the reader holds it) or
    // `limit` bytes went; returns how many went. Byte i is i % 251.
    std::size_t SendUntilHeld(std::size_t limit, int quietMs) {
        std::size_t sent = 0;
        std::uint8_t chunk[4096];
        while (sent < limit) {
            pollfd p{master_, POLLOUT, 0};
            if (::poll(&p, 1, quietMs) <= 0) break;
            const std::size_t n = std::min(sizeof chunk, limit - sent);
            for (std::size_t i = 0; i < n; ++i)
                chunk[i] = static_cast<std::uint8_t>((sent + i) % 251);
            const int flags = ::fcntl(master_, F_GETFL);
            ::fcntl(master_, F_SETFL, flags | O_NONBLOCK);
            const ssize_t w = ::write(master_, chunk, n);
            ::fcntl(master_, F_SETFL, flags);
            if (w > 0) sent += static_cast<std::size_t>(w);
        }
        return sent;
    }
    // Reads up to `max` bytes, waiting up to `timeoutMs` for the first.
    Bytes Receive(std::size_t max, int timeoutMs) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return {};
        Bytes b(max);
        const ssize_t n = ::read(master_, b.data(), max);
        b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return b;
    }

private:
    std::string link_;
    int master_ = -1;
    int slave_ = -1;
};

} // namespace

TEST(ComPortErrors, EveryRaiseCarriesItsKind) {
    ScriptedPeer peer(kCom);
    Port closed;
    EXPECT_EQ(Raised([&] { closed.ReadChar(); }).Kind, ekClosedPort);
    EXPECT_EQ(Raised([&] { closed.WriteStr("x"); }).Kind, ekClosedPort);
    EXPECT_EQ(Raised([&] { closed.InputCount(); }).Kind, ekClosedPort);

    Port missing;
    missing.SetDeviceName("COM38");
    const EComError absent = Raised([&] { missing.Open(); });
    EXPECT_EQ(absent.Kind, ekOpen);
    EXPECT_EQ(absent.ErrorCode, ceFileNotFound);

    Port a, b;
    a.Open();
    const EComError held = Raised([&] { b.Open(); });
    EXPECT_EQ(held.Kind, ekOpen);
    EXPECT_EQ(held.ErrorCode, ceAccessDenied);

    EXPECT_EQ(Raised([&] { a.SetDeviceName("COM9"); }).Kind, ekComponent);
    const EComError bits = Raised([&] { a.SetDataBits(db4); });
    EXPECT_EQ(bits.Kind, ekComponent);
    EXPECT_EQ(bits.ErrorCode, ceInvalidParameter);
    a.SetDataBits(db8);

    a.Timeouts().SetReadConstant(20);
    const EComError timeout = Raised([&] { a.ReadChar(); });
    EXPECT_EQ(timeout.Kind, ekTimeout);
    EXPECT_STREQ(timeout.what(), kMsgTimeout);

    // The two-argument form keeps the old meaning: code 0 is the component's, others the system's.
    EXPECT_EQ(EComError(0, "x").Kind, ekComponent);
    EXPECT_EQ(EComError(ceGenFailure, "x").Kind, ekSystem);
}
