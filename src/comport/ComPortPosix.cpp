// POSIX backend of the port component (Linux). The device is a terminal opened non-blocking,
// exclusive (flock, then TIOCEXCL), with a raw line whose settings go through the kernel's termios2
// interface: it takes any rate (3600 and 7200 included) and avoids glibc's tcsetattr, which refuses
// a repeated parity request on pseudo-terminals. Overlapped transfers are emulated: a write sends
// what the driver takes at once and keeps the rest pending; a read takes what is queued and waits
// for the rest (poll) under the Win32 time-out rules.
//
// Port names: "COM<n>" and "\\.\COM<n>" open $TARVIK_PORT_DIR/COM<n> when that variable is set,
// else /dev/ttyS<n-1>. A name starting with '/' is opened as a path.
//
// <asm/termbits.h> and glibc's <termios.h> cannot be used together; this file uses only the former.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "ComPort.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace tarvik::comport {

struct TPortState {
    int fd = -1;
    std::uint32_t eventMask = 0;
    // Pending write: the bytes the driver has not taken yet (a private copy).
    std::string writeRest;
    std::int32_t writeLength = 0;
    // Pending read: the caller's buffer, its length and what has arrived so far.
    std::uint8_t* readBuffer = nullptr;
    std::int32_t readLength = 0;
    std::int32_t readDone = 0;
    bool readPending = false;
    // Line-error counters seen last (serial drivers only).
    serial_icounter_struct counters{};
    bool haveCounters = false;
};

void TCustomComPort::StateDeleter::operator()(TPortState* s) const noexcept {
    delete s;
}

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";
constexpr const char* kPortDirVariable = "TARVIK_PORT_DIR";

// Win32 texts of the codes the backend raises.
std::string CodeText(std::int32_t code) {
    switch (code) {
    case ceFileNotFound:
        return "The system cannot find the file specified.";
    case ceAccessDenied:
        return "Access is denied.";
    case ceInvalidHandle:
        return "The handle is invalid.";
    case ceInvalidParameter:
        return "The parameter is incorrect.";
    default:
        return "A device attached to the system is not functioning.";
    }
}

std::int32_t CodeOfErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return ceFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ceAccessDenied;
    case EBADF:
    case ENOTTY:
        return ceInvalidHandle;
    case EINVAL:
        return ceInvalidParameter;
    default:
        return ceGenFailure;
    }
}

// "COM<digits>" -> n, else 0.
int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return 0;
    int n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 100000) return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::string DevicePath(std::string name) {
    const std::string prefix = kDevicePrefix;
    if (name.compare(0, prefix.size(), prefix) == 0) name.erase(0, prefix.size());
    if (!name.empty() && name[0] == '/') return name;
    const int n = ComNumber(name);
    if (n <= 0) return {};
    if (const char* dir = std::getenv(kPortDirVariable)) return std::string(dir) + "/" + name;
    return "/dev/ttyS" + std::to_string(n - 1);
}

int RateOf(const TCustomComPort& port) {
    return port.BaudRate() == brCustom ? port.CustomBaudRate() : BaudRateValue(port.BaudRate());
}

// Milliseconds left until `deadline`, or -1 (wait forever) when there is none.
int MsLeft(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    if (!deadline) return -1;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

} // namespace

bool TCustomComPort::IsOpen() const noexcept {
    return state_ && state_->fd >= 0;
}

void TCustomComPort::CreateHandle() {
    ReleaseHandle();
    if (!state_) state_.reset(new TPortState);
    TPortState& s = *state_;

    const std::string path = DevicePath(deviceName_);
    auto fail = [&](int err) {
        const std::int32_t code = CodeOfErrno(err);
        RaiseError(code, CodeText(code) + " (" + deviceName_ + (path.empty() ? "" : ": " + path) + ": " +
                             std::strerror(err) + ")");
    };
    if (path.empty()) fail(ENOENT);

    s.fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (s.fd < 0) fail(errno);
    // Only terminals: a regular file, FIFO or other device never gets a byte from us.
    termios2 tio{};
    if (ioctl(s.fd, TCGETS2, &tio) != 0) fail(ENOTTY);
    // Exclusive use: the lock holds against every process, root included; TIOCEXCL adds the
    // kernel's refusal of further opens by non-root processes.
    if (::flock(s.fd, LOCK_EX | LOCK_NB) != 0) fail(errno);
    ioctl(s.fd, TIOCEXCL);

    ioctl(s.fd, TCFLSH, TCIOFLUSH); // both purges
    ApplySettings();
    ApplyTimeouts();
    ApplyEventMask();
    s.haveCounters = ioctl(s.fd, TIOCGICOUNT, &s.counters) == 0;
}

void TCustomComPort::ReleaseHandle() noexcept {
    if (!state_) return;
    TPortState& s = *state_;
    if (s.fd >= 0) {
        ioctl(s.fd, TIOCNXCL);
        ::close(s.fd); // also drops the lock
    }
    s = TPortState{};
}

void TCustomComPort::ApplySettings() {
    if (!IsOpen()) return;
    const int fd = state_->fd;
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) RaiseError(CodeOfErrno(errno), CodeText(CodeOfErrno(errno)));

    // Raw line: bytes go and come exactly as sent. Framing bits and the rate keep the driver's
    // values unless set below.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                          IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CREAD | CLOCAL;
    // With O_NONBLOCK, VMIN 1 makes an empty queue read as EAGAIN, so 0 means end of file (hang-up).
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    if (baudRate_ != brDefault) {
        const int rate = RateOf(*this);
        if (rate <= 0) RaiseError(ceInvalidParameter, CodeText(ceInvalidParameter) + " (baud rate)");
        tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
        tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
        tio.c_ispeed = tio.c_ospeed = static_cast<speed_t>(rate);
    }
    if (dataBits_ != dbDefault) {
        constexpr tcflag_t sizes[] = {CS5, CS5, CS5, CS6, CS7, CS8}; // db4 is not available
        if (dataBits_ == db4) RaiseError(ceInvalidParameter, CodeText(ceInvalidParameter) + " (4 data bits)");
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | sizes[dataBits_];
    }
    if (parity_ != paDefault) {
        tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
        switch (parity_) {
        case paOdd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case paEven:
            tio.c_cflag |= PARENB;
            break;
        case paMark:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case paSpace:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
        }
    }
    if (stopBits_ != sbDefault) {
        // One and a half stop bits exist only with 5 data bits, where the line calls them "two".
        if (stopBits_ == sb1_5 && (tio.c_cflag & CSIZE) != CS5)
            RaiseError(ceInvalidParameter, CodeText(ceInvalidParameter) + " (1.5 stop bits)");
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSTOPB)) | (stopBits_ == sb1 ? 0 : CSTOPB);
    }
    if (options_.Contains(opCheckParity)) tio.c_iflag |= INPCK;
    const bool ctsFlow = options_.Contains(opOutputCTSFlow) || flowControl_.RTS() == rcHandshake;
    // CTS output flow follows the option bit (cleared unless asked for, as the options are).
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CRTSCTS)) | (ctsFlow ? CRTSCTS : 0);
    const TXOnXOffControl xc = flowControl_.XOnXOff();
    if (xc == xcOutput || xc == xcInputOutput) tio.c_iflag |= IXON;
    if (xc == xcInput || xc == xcInputOutput) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = characters_.XOn();
    tio.c_cc[VSTOP] = characters_.XOff();

    if (ioctl(fd, TCSETS2, &tio) != 0) {
        const std::int32_t code = CodeOfErrno(errno);
        RaiseError(code, CodeText(code) + " (line settings: " + std::strerror(errno) + ")");
    }
    // The DTR line, where the driver has modem lines (pseudo-terminals have none).
    if (flowControl_.DTR() == dcEnable || flowControl_.DTR() == dcDisable) {
        int bits = TIOCM_DTR;
        ioctl(fd, flowControl_.DTR() == dcEnable ? TIOCMBIS : TIOCMBIC, &bits);
    }
}

void TCustomComPort::ApplyBuffers() {
    // The driver's queue sizes are fixed on this platform; the values are kept for the record.
}

void TCustomComPort::ApplyTimeouts() {
    // Used by the waits below; nothing to send to the driver.
}

void TCustomComPort::ApplyEventMask() {
    if (IsOpen()) state_->eventMask = EventMask();
}

void TCustomComPort::StartWrite(const void* buffer, std::int32_t length) {
    TPortState& s = *state_;
    s.writeLength = length;
    s.writeRest.assign(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
    while (!s.writeRest.empty()) {
        const ssize_t n = ::write(s.fd, s.writeRest.data(), s.writeRest.size());
        if (n > 0) {
            s.writeRest.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break; // the rest stays pending
        } else {
            const int err = n < 0 ? errno : EIO;
            s.writeRest.clear();
            RaiseError(CodeOfErrno(err), CodeText(CodeOfErrno(err)) + " (write: " + std::strerror(err) + ")");
        }
    }
}

void TCustomComPort::StartRead(void* buffer, std::int32_t length) {
    TPortState& s = *state_;
    s.readBuffer = static_cast<std::uint8_t*>(buffer);
    s.readLength = length;
    s.readDone = 0;
    s.readPending = true;
}

void TCustomComPort::WaitPending(bool write) {
    if (!IsOpen()) {
        CheckOpen();
        return;
    }
    TPortState& s = *state_;
    using Clock = std::chrono::steady_clock;
    const auto ms = [](std::int64_t v) { return std::chrono::milliseconds(v); };
    auto ioFail = [&](int err) {
        RaiseError(CodeOfErrno(err), CodeText(CodeOfErrno(err)) + " (" + std::strerror(err) + ")");
    };

    if (write && !s.writeRest.empty()) {
        std::optional<Clock::time_point> deadline;
        const std::int64_t total =
            std::int64_t{timeouts_.WriteMultiplier()} * s.writeLength + timeouts_.WriteConstant();
        if (total > 0) deadline = Clock::now() + ms(total);
        while (!s.writeRest.empty()) {
            pollfd p{s.fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, MsLeft(deadline));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) ioFail(errno);
            if (r == 0) {
                s.writeRest.clear();
                RaiseError(ceComponent, kMsgTimeout);
            }
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
                s.writeRest.clear();
                ioFail(EIO);
            }
            const ssize_t n = ::write(s.fd, s.writeRest.data(), s.writeRest.size());
            if (n > 0)
                s.writeRest.erase(0, static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                s.writeRest.clear();
                ioFail(errno);
            }
        }
    }

    if (!write && s.readPending) {
        s.readPending = false;
        // Win32 time-out rules: interval -1 with no totals returns what is queued at once;
        // all zero waits for every byte; otherwise a total and/or an inter-byte limit.
        const std::int32_t interval = timeouts_.ReadInterval();
        const std::int64_t total =
            std::int64_t{timeouts_.ReadMultiplier()} * s.readLength + timeouts_.ReadConstant();
        const bool immediate = interval == -1 && total == 0;
        std::optional<Clock::time_point> deadline;
        if (total > 0) deadline = Clock::now() + ms(total);
        while (s.readDone < s.readLength) {
            const ssize_t n =
                ::read(s.fd, s.readBuffer + s.readDone, static_cast<std::size_t>(s.readLength - s.readDone));
            if (n > 0) {
                s.readDone += static_cast<std::int32_t>(n);
                if (interval > 0 && !immediate)
                    deadline =
                        std::min(deadline.value_or(Clock::time_point::max()), Clock::now() + ms(interval));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) ioFail(errno);
            if (n == 0) ioFail(EIO);
            if (immediate) break;
            pollfd p{s.fd, POLLIN, 0};
            const int r = ::poll(&p, 1, MsLeft(deadline));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) ioFail(errno);
            if (r == 0) break; // time-out
            if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLIN)) ioFail(EIO);
        }
        if (s.readDone != s.readLength) RaiseError(ceComponent, kMsgTimeout);
    }

    CheckOpen();
    CheckLineErrors(ClearErrors(nullptr));
}

std::uint32_t TCustomComPort::ClearErrors(std::int32_t* inQueue) {
    if (!IsOpen()) RaiseError(ceInvalidHandle, CodeText(ceInvalidHandle));
    TPortState& s = *state_;
    if (inQueue) {
        int n = 0;
        if (ioctl(s.fd, FIONREAD, &n) != 0) RaiseError(CodeOfErrno(errno), CodeText(CodeOfErrno(errno)));
        *inQueue = n;
    }
    std::uint32_t bits = 0;
    serial_icounter_struct now{};
    if (s.haveCounters && ioctl(s.fd, TIOCGICOUNT, &now) == 0) {
        if (now.frame != s.counters.frame) bits |= LineErrorBits({leFrame});
        if (now.overrun != s.counters.overrun) bits |= LineErrorBits({leOverrun});
        if (now.parity != s.counters.parity) bits |= LineErrorBits({leParity});
        if (now.brk != s.counters.brk) bits |= LineErrorBits({leBreak});
        if (now.buf_overrun != s.counters.buf_overrun) bits |= LineErrorBits({leRxOverflow});
        s.counters = now;
    }
    return bits;
}

TModemStatus TCustomComPort::ModemStatus() {
    CheckOpen();
    int bits = 0;
    TModemStatus status;
    // Lines the driver cannot report (pseudo-terminals) read as all off.
    if (ioctl(state_->fd, TIOCMGET, &bits) != 0) return status;
    if (bits & TIOCM_CTS) status.Include(msCTS);
    if (bits & TIOCM_DSR) status.Include(msDSR);
    if (bits & TIOCM_RI) status.Include(msRing);
    if (bits & TIOCM_CD) status.Include(msRLSD);
    return status;
}

void EnumComPorts(std::vector<std::string>& list) {
    std::vector<std::pair<int, std::string>> found;
    if (const char* dir = std::getenv(kPortDirVariable)) {
        if (DIR* d = ::opendir(dir)) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name.compare(0, 3, "COM") == 0) found.emplace_back(ComNumber(name), name);
            }
            ::closedir(d);
        }
    } else {
        // /dev/ttyS<n> whose driver reports a real port type (0 means no hardware behind it).
        for (int n = 0; n < 256; ++n) {
            std::ifstream type("/sys/class/tty/ttyS" + std::to_string(n) + "/type");
            int t = 0;
            if (type >> t && t != 0) found.emplace_back(n + 1, "COM" + std::to_string(n + 1));
        }
    }
    std::sort(found.begin(), found.end());
    for (auto& f : found)
        list.push_back(std::move(f.second));
}

} // namespace tarvik::comport
