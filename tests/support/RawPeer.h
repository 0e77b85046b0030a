// A bare pseudo-terminal linked as a port name, for the port component's tests that play the
// device at their own pace.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "support/ScriptedPeer.h"

namespace tarvik::test {

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
    // Bytes in the terminal's input queue that the port has not taken (not consumed).
    int DriverQueue() const {
        int n = -1;
        ::ioctl(slave_, FIONREAD, &n);
        return n;
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

} // namespace tarvik::test
