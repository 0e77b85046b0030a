// <asm/termbits.h> (termios2, any rate) and glibc's <termios.h> cannot be used together; this file
// uses only the former.
#include "LineSettings.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace tarvik::sim {

std::string LineSettings::Text() const {
    const char p = parity == Parity::Odd ? 'O' : parity == Parity::Even ? 'E' : 'N';
    return std::to_string(baud) + " " + std::to_string(dataBits) + p + std::to_string(stopBits);
}

std::optional<LineSettings> ReadLineSettings(int fd) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return std::nullopt;
    LineSettings s;
    s.baud = tio.c_ospeed;
    if (tio.c_cflag & PARODD)
        s.parity = Parity::Odd;
    else if (tio.c_cflag & PARENB)
        s.parity = Parity::Even;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        s.dataBits = 5;
        break;
    case CS6:
        s.dataBits = 6;
        break;
    case CS7:
        s.dataBits = 7;
        break;
    default:
        s.dataBits = 8;
        break;
    }
    s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    return s;
}

bool SetRaw(int fd, const LineSettings& line) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_iflag = 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = tio.c_ospeed = line.baud;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool LineMatches(const LineSettings& device, const LineSettings& observed) {
    const bool wantOdd = device.parity == Parity::Odd;
    const bool isOdd = observed.parity == Parity::Odd;
    return device.baud == observed.baud && wantOdd == isOdd && device.dataBits == observed.dataBits &&
           device.stopBits == observed.stopBits;
}

} // namespace tarvik::sim
