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
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
    std::atomic<int> fd{-1}; // read by IsOpen on any thread
    bool prioritySaved = false;
    int savedPriority = 0; // the process's nice value before the open

    // Events. The event thread takes received bytes into readAhead (so that it can see the event
    // character) when the mask asks for receive events; reads take them from there first.
    std::atomic<std::uint32_t> commMask{0};
    int wakeFd = -1; // eventfd: interrupts the event wait
    int dataFd = -1; // eventfd: bytes were added to readAhead
    std::mutex readLock;
    std::string readAhead;
    std::atomic<std::uint64_t> writes{0}; // writes started, for the transmit-empty event
    std::uint64_t writesSeen = 0;
    serial_icounter_struct eventCounters{};
    bool haveEventCounters = false;
    int modemBits = -1;

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

// Process nice values for the priority classes, and per-thread ones for the event thread.
int NiceOfClass(TPriorityClass c) {
    constexpr int nice[] = {0, 19, 0, -10, -20};
    return nice[c];
}

int NiceOfThread(TThreadPriority p) {
    constexpr int nice[] = {19, 10, 5, 0, -5, -10, -20};
    return nice[p];
}

constexpr int kEventPollMs = 10; // how often lines and counters are looked at while waiting

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
    state_.reset(new TPortState); // no thread uses the old one any more (Open joined them)
    TPortState& s = *state_;

    if (priorityClass_ != pcDefault) {
        // Not checked: a class the system refuses (raising needs privileges) leaves the port usable.
        errno = 0;
        s.savedPriority = ::getpriority(PRIO_PROCESS, 0);
        s.prioritySaved = errno == 0;
        ::setpriority(PRIO_PROCESS, 0, NiceOfClass(priorityClass_));
    }
    s.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    s.dataFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.wakeFd < 0 || s.dataFd < 0)
        RaiseError(ceGenFailure, CodeText(ceGenFailure) + " (eventfd)", ekSystem);

    const std::string path = DevicePath(deviceName_);
    auto fail = [&](int err) {
        const std::int32_t code = CodeOfErrno(err);
        RaiseError(code,
                   CodeText(code) + " (" + deviceName_ + (path.empty() ? "" : ": " + path) + ": " +
                       std::strerror(err) + ")",
                   ekOpen);
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
    s.fd = -1;
    for (int* fd : {&s.wakeFd, &s.dataFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    if (s.prioritySaved) ::setpriority(PRIO_PROCESS, 0, s.savedPriority);
    s.prioritySaved = false;
    // The state object itself stays until the next open: a handler that closed its port on the
    // event thread may still look at it on its way out.
    std::lock_guard lock(s.readLock);
    s.readAhead.clear();
}

void TCustomComPort::ApplySettings() {
    if (!IsOpen()) return;
    const int fd = state_->fd;
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) RaiseError(CodeOfErrno(errno), CodeText(CodeOfErrno(errno)), ekSystem);

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
        if (rate <= 0)
            RaiseError(ceInvalidParameter, CodeText(ceInvalidParameter) + " (baud rate)", ekComponent);
        tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
        tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
        tio.c_ispeed = tio.c_ospeed = static_cast<speed_t>(rate);
    }
    if (dataBits_ != dbDefault) {
        constexpr tcflag_t sizes[] = {CS5, CS5, CS5, CS6, CS7, CS8}; // db4 is not available
        if (dataBits_ == db4)
            RaiseError(ceInvalidParameter, CodeText(ceInvalidParameter) + " (4 data bits)", ekComponent);
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
            RaiseError(ceInvalidParameter, CodeText(ceInvalidParameter) + " (1.5 stop bits)", ekComponent);
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
        RaiseError(code, CodeText(code) + " (line settings: " + std::strerror(errno) + ")", ekSystem);
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

void TCustomComPort::StartWrite(const void* buffer, std::int32_t length) {
    TPortState& s = *state_;
    s.writeLength = length;
    ++s.writes;
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
            RaiseError(CodeOfErrno(err), CodeText(CodeOfErrno(err)) + " (write: " + std::strerror(err) + ")",
                       ekSystem);
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
        RaiseError(CodeOfErrno(err), CodeText(CodeOfErrno(err)) + " (" + std::strerror(err) + ")", ekSystem);
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
                RaiseError(ceComponent, kMsgTimeout, ekTimeout);
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
            // Bytes the event thread took from the driver come first; the lock keeps their order.
            ssize_t n;
            int err = 0;
            {
                std::lock_guard lock(s.readLock);
                const std::size_t want = static_cast<std::size_t>(s.readLength - s.readDone);
                const std::size_t ahead = std::min(want, s.readAhead.size());
                if (ahead > 0) {
                    std::memcpy(s.readBuffer + s.readDone, s.readAhead.data(), ahead);
                    s.readAhead.erase(0, ahead);
                    n = static_cast<ssize_t>(ahead);
                } else {
                    n = ::read(s.fd, s.readBuffer + s.readDone, want);
                    err = errno;
                }
            }
            if (n > 0) {
                s.readDone += static_cast<std::int32_t>(n);
                if (interval > 0 && !immediate)
                    deadline =
                        std::min(deadline.value_or(Clock::time_point::max()), Clock::now() + ms(interval));
                continue;
            }
            if (n < 0 && err == EINTR) continue;
            if (n < 0 && err != EAGAIN) ioFail(err);
            if (n == 0) ioFail(EIO);
            if (immediate) break;
            pollfd p[2] = {{s.fd, POLLIN, 0}, {s.dataFd, POLLIN, 0}};
            const int r = ::poll(p, 2, MsLeft(deadline));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) ioFail(errno);
            if (r == 0) break; // time-out
            if (p[1].revents & POLLIN) {
                std::uint64_t v;
                (void)!::read(s.dataFd, &v, sizeof v);
            }
            if ((p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p[0].revents & POLLIN)) ioFail(EIO);
        }
        if (s.readDone != s.readLength) RaiseError(ceComponent, kMsgTimeout, ekTimeout);
    }

    CheckOpen();
    CheckLineErrors(ClearErrors(nullptr));
}

std::uint32_t TCustomComPort::ClearErrors(std::int32_t* inQueue) {
    if (!IsOpen()) RaiseError(ceInvalidHandle, CodeText(ceInvalidHandle), ekClosedPort);
    TPortState& s = *state_;
    if (inQueue) {
        int n = 0, rc, err;
        std::size_t ahead;
        {
            std::lock_guard lock(s.readLock);
            rc = ioctl(s.fd, FIONREAD, &n);
            err = errno;
            ahead = s.readAhead.size();
        }
        if (rc != 0) RaiseError(CodeOfErrno(err), CodeText(CodeOfErrno(err)), ekSystem);
        *inQueue = n + static_cast<std::int32_t>(ahead);
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

void TCustomComPort::SetCommEventMask(std::uint32_t mask) {
    if (!IsOpen()) return;
    state_->commMask = mask;
    InterruptCommEvent();
}

void TCustomComPort::InterruptCommEvent() noexcept {
    if (!state_ || state_->wakeFd < 0) return;
    const std::uint64_t one = 1;
    (void)!::write(state_->wakeFd, &one, sizeof one);
}

void TCustomComPort::SetCurrentThreadPriority(TThreadPriority priority) noexcept {
    // Best effort: raising a thread's priority needs privileges.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), NiceOfThread(priority));
}

std::uint32_t TCustomComPort::WaitCommEvent() {
    TPortState& s = *state_;
    auto fail = [&](int err) {
        // A line that has gone away ends the event thread like an unplugged device on Win32.
        const std::int32_t code = err == EIO ? ceAccessDenied : CodeOfErrno(err);
        throw EComError(code, CodeText(code) + " (event wait: " + std::strerror(err) + ")", ekSystem);
    };
    for (;;) {
        const std::uint32_t mask = s.commMask;
        std::uint32_t events = 0;
        const bool receive = mask & (evRxChar | evRxFlag | evRx80Full);
        if (receive) {
            // Take what the driver holds, so that the event character can be seen.
            std::size_t before, after;
            bool flag = false;
            int err = 0;
            {
                std::lock_guard lock(s.readLock);
                before = s.readAhead.size();
                char buf[1024];
                for (;;) {
                    const ssize_t n = ::read(s.fd, buf, sizeof buf);
                    if (n > 0) {
                        flag |= std::memchr(buf, characters_.Event(), static_cast<std::size_t>(n)) != nullptr;
                        s.readAhead.append(buf, static_cast<std::size_t>(n));
                    } else {
                        if (n == 0)
                            err = EIO;
                        else if (errno != EAGAIN && errno != EINTR)
                            err = errno;
                        if (n < 0 && errno == EINTR) continue;
                        break;
                    }
                }
                after = s.readAhead.size();
            }
            if (after > before) {
                const std::uint64_t one = 1;
                (void)!::write(s.dataFd, &one, sizeof one);
                events |= evRxChar | (flag ? evRxFlag : 0);
                if (after * 5 >= static_cast<std::size_t>(bufferSizes_.Input()) * 4) events |= evRx80Full;
            }
            if (err && after == before) fail(err);
        }
        if (mask & evTxEmpty) {
            const std::uint64_t writes = s.writes;
            int queued = 0;
            if (writes != s.writesSeen && ioctl(s.fd, TIOCOUTQ, &queued) == 0 && queued == 0) {
                s.writesSeen = writes;
                events |= evTxEmpty;
            }
        }
        // Modem lines and line errors, where the driver reports them (not pseudo-terminals).
        serial_icounter_struct now{};
        if (ioctl(s.fd, TIOCGICOUNT, &now) == 0) {
            const serial_icounter_struct& was = s.eventCounters;
            if (s.haveEventCounters) {
                events |= (now.cts != was.cts ? evCTS : 0) | (now.dsr != was.dsr ? evDSR : 0) |
                          (now.dcd != was.dcd ? evRLSD : 0) | (now.rng != was.rng ? evRing : 0) |
                          (now.brk != was.brk ? evBreak : 0);
                if (now.frame != was.frame || now.overrun != was.overrun || now.parity != was.parity ||
                    now.buf_overrun != was.buf_overrun)
                    events |= evErr;
            }
            s.eventCounters = now;
            s.haveEventCounters = true;
        } else if (int bits = 0; ioctl(s.fd, TIOCMGET, &bits) == 0) {
            if (s.modemBits >= 0) {
                const int changed = bits ^ s.modemBits;
                events |= (changed & TIOCM_CTS ? evCTS : 0) | (changed & TIOCM_DSR ? evDSR : 0) |
                          (changed & TIOCM_CD ? evRLSD : 0) | (changed & TIOCM_RI ? evRing : 0);
            }
            s.modemBits = bits;
        }
        events &= mask;
        if (events) return events;

        const bool polled = mask & (evTxEmpty | evCTS | evDSR | evRLSD | evRing | evBreak | evErr);
        pollfd p[2] = {{s.wakeFd, POLLIN, 0}, {s.fd, static_cast<short>(receive ? POLLIN : 0), 0}};
        const int r = ::poll(p, 2, polled ? kEventPollMs : -1);
        if (r < 0 && errno != EINTR) fail(errno);
        if (p[0].revents & POLLIN) {
            std::uint64_t v;
            (void)!::read(s.wakeFd, &v, sizeof v);
            return 0;
        }
        if ((p[1].revents & (POLLHUP | POLLERR)) && !(p[1].revents & POLLIN)) fail(EIO);
    }
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
