// <asm/termbits.h> (termios2) and glibc's <termios.h> cannot be used together; only the former here.
#include "Minimal.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace tarvik::bench {

int MinimalTransaction(const std::string& path, MinimalLine line, std::span<const std::uint8_t> request,
                       int waitMs, std::span<std::uint8_t> reply) {
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
    [[maybe_unused]] const ssize_t sent = ::write(fd, request.data(), request.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    int queued = 0;
    ioctl(fd, FIONREAD, &queued);
    const ssize_t n =
        queued > 0 ? ::read(fd, reply.data(), std::min(reply.size(), static_cast<std::size_t>(queued))) : 0;
    ::close(fd);
    return static_cast<int>(std::max<ssize_t>(n, 0));
}

} // namespace tarvik::bench
