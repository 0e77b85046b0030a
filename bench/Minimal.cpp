// <asm/termbits.h> (termios2) and glibc's <termios.h> cannot be used together; only the former here.
#include "Minimal.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace tarvik::bench {

namespace {

// Opens the line and sets it raw with the line's rate and framing; -1 when it cannot.
int OpenLine(const std::string& path, MinimalLine line) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios2 tio{};
    ioctl(fd, TCGETS2, &tio);
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |=
        CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT) | (line.oddParity ? PARENB | PARODD : 0);
    tio.c_ispeed = tio.c_ospeed = line.baud;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int MinimalTransaction(const std::string& path, MinimalLine line, std::span<const std::uint8_t> request,
                       int waitMs, std::span<std::uint8_t> reply) {
    const int fd = OpenLine(path, line);
    if (fd < 0) return -1;
    [[maybe_unused]] const ssize_t sent = ::write(fd, request.data(), request.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    int queued = 0;
    ioctl(fd, FIONREAD, &queued);
    const ssize_t n =
        queued > 0 ? ::read(fd, reply.data(), std::min(reply.size(), static_cast<std::size_t>(queued))) : 0;
    ::close(fd);
    return static_cast<int>(std::max<ssize_t>(n, 0));
}

int MinimalCycle(const std::string& path, MinimalLine line, std::span<const std::uint8_t> request, int waitMs,
                 std::span<std::uint8_t> reply) {
    struct stat entry {};
    if (::stat(path.c_str(), &entry) != 0) return -1;
    const int trial = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (trial < 0) return -1;
    ::close(trial);
    return MinimalTransaction(path, line, request, waitMs, reply);
}

MinimalPollLine::MinimalPollLine(const std::string& path, MinimalLine line) : fd_(OpenLine(path, line)) {}

MinimalPollLine::~MinimalPollLine() {
    if (fd_ >= 0) ::close(fd_);
}

int MinimalPollLine::Exchange(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                              std::size_t replyBytes, int timeoutMs) {
    [[maybe_unused]] const ssize_t sent = ::write(fd_, request.data(), request.size());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t got = 0;
    for (;;) {
        const bool complete = replyBytes > 0
                                  ? got >= replyBytes
                                  : std::find(reply.begin(), reply.begin() + static_cast<long>(got), '\n') !=
                                        reply.begin() + static_cast<long>(got);
        if (complete || got == reply.size()) break;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = ::read(fd_, reply.data() + got, reply.size() - got);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    return static_cast<int>(got);
}

} // namespace tarvik::bench
