// POSIX backend of the port component (Linux). The device is a terminal opened non-blocking,
// exclusive (flock, then TIOCEXCL), with a raw line whose settings go through the kernel's termios2
// interface: it takes any rate (3600 and 7200 included) and avoids glibc's tcsetattr, which refuses
// a repeated parity request on pseudo-terminals. Overlapped transfers are emulated: a write sends
// what the driver takes at once and a background writer sends the rest; a read takes what is
// queued and waits for the rest (poll) under the Win32 time-out rules.
//
// Each open creates one TLine: the descriptors and everything the transfers share. Operations hold
// it through a shared pointer while they use it, so a close from another thread never pulls a
// descriptor away under a waiting poll: the close marks the line closed and signals its abort
// descriptor, which ends every wait at once, and the descriptors close when the last user left.
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
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>
#include <thread>

#include "ComPort.h"
#include "HeldLine.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace tarvik::comport {

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Owns one descriptor: closes it when replaced or destroyed.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }
    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

void Signal(const UniqueFd& eventFd) noexcept {
    const std::uint64_t one = 1;
    (void)!::write(eventFd.Get(), &one, sizeof one);
}

void Drain(const UniqueFd& eventFd) noexcept {
    std::uint64_t v;
    (void)!::read(eventFd.Get(), &v, sizeof v);
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

// The nice value of the thread that opened a port with a priority class, saved before the class
// changed it and put back on release, whichever thread releases. (Linux keeps nice values per
// thread, so the class is the opening thread's.)
class SavedPriority {
public:
    SavedPriority() = default;
    SavedPriority(const SavedPriority&) = delete;
    SavedPriority& operator=(const SavedPriority&) = delete;
    ~SavedPriority() { Restore(); }

    // False when the class would lower the thread's priority further than this process may raise
    // it back: nothing is changed then. A raise the system refuses changes nothing either.
    bool Apply(TPriorityClass c) {
        const pid_t tid = ::gettid();
        errno = 0;
        const int now = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
        if (errno != 0) return true;
        const int target = NiceOfClass(c);
        if (target > now && !MayRaiseTo(now)) return false;
        if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target) != 0) return true;
        tid_ = tid;
        nice_ = now;
        saved_ = true;
        return true;
    }

    void Restore() noexcept {
        // A thread that has ended has nothing left to restore (ESRCH).
        if (saved_) ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), nice_);
        saved_ = false;
    }

private:
    // Whether this process may set a nice value as low as `nice` (root, or within RLIMIT_NICE).
    static bool MayRaiseTo(int nice) {
        if (::geteuid() == 0) return true;
        rlimit limit{};
        if (::getrlimit(RLIMIT_NICE, &limit) != 0) return false;
        return limit.rlim_cur == RLIM_INFINITY || 20 - static_cast<long long>(limit.rlim_cur) <= nice;
    }

    pid_t tid_ = 0;
    int nice_ = 0;
    bool saved_ = false;
};

} // namespace

// Everything of one open: descriptors, the read-ahead of the event thread, the pending transfers
// and the background writer.
struct TLine {
    UniqueFd fd;
    UniqueFd wakeFd;  // eventfd: ends the event wait (new mask, stop, room in the read-ahead)
    UniqueFd dataFd;  // eventfd: the event thread added bytes to readAhead
    UniqueFd abortFd; // eventfd: the line is closing; every wait ends
    std::atomic<bool> closed{false};

    // Settings the event thread and the writer read.
    std::atomic<std::uint32_t> commMask{0};
    std::atomic<int> eventChar{0};
    std::atomic<std::int32_t> inputLimit{4096};
    std::atomic<bool> toggleRts{false}; // raise RTS around each write (no driver support)

    // Bytes the event thread took from the driver (to see the event character), at most
    // inputLimit of them; reads take them first. The lock keeps their order.
    std::mutex readLock;
    std::string readAhead;

    // Event thread only.
    std::atomic<std::uint64_t> writes{0}; // writes started, for the transmit-empty event
    std::uint64_t writesSeen = 0;
    serial_icounter_struct eventCounters{};
    bool haveEventCounters = false;
    int modemBits = -1;

    // Line-error counters seen last (serial drivers only).
    std::mutex countersLock;
    serial_icounter_struct counters{};
    bool haveCounters = false;

    // Pending read (the owner's thread): the caller's buffer, its length and what has arrived.
    std::uint8_t* readBuffer = nullptr;
    std::int32_t readLength = 0;
    std::int32_t readDone = 0;
    bool readPending = false;

    // Pending write, finished by the writer thread: the bytes the driver has not taken yet.
    std::mutex writeLock;
    std::condition_variable writeChanged;
    std::string writeRest;
    Deadline writeDeadline;
    bool writePending = false; // the owner waits until this is false
    bool writeQueued = false;  // handed to the writer
    bool writeTimedOut = false;
    int writeError = 0;
    bool writerStop = false;
    std::thread writer;

    ~TLine() {
        {
            std::lock_guard lock(writeLock);
            writerStop = true;
        }
        writeChanged.notify_all();
        if (writer.joinable()) writer.join();
    }

    // Ends every wait: polls see abortFd, the write waiters see `closed`.
    void Abort() noexcept {
        closed = true;
        Signal(abortFd);
        { std::lock_guard lock(writeLock); }
        writeChanged.notify_all();
    }

    void WriterLoop() noexcept;

    // Moves at most `want` bytes into `out` without waiting: the read-ahead first, then the driver.
    // Returns the count, 0 at end of file, or -1 with `err` set (EAGAIN: nothing queued).
    ssize_t TakeSome(std::uint8_t* out, std::size_t want, int& err) {
        std::size_t ahead = 0;
        ssize_t n;
        {
            std::lock_guard lock(readLock);
            ahead = std::min(want, readAhead.size());
            if (ahead > 0) {
                std::memcpy(out, readAhead.data(), ahead);
                readAhead.erase(0, ahead);
            }
            if (ahead == want) {
                n = static_cast<ssize_t>(ahead);
            } else {
                n = ::read(fd.Get(), out + ahead, want - ahead);
                err = errno;
                if (ahead > 0) n = static_cast<ssize_t>(ahead) + std::max<ssize_t>(n, 0);
            }
        }
        if (ahead > 0) Signal(wakeFd); // room again: the event thread may take more
        return n;
    }
};

struct TPortState {
    std::mutex lock; // `line`
    std::shared_ptr<TLine> line;
    std::atomic<bool> open{false}; // read by IsOpen on any thread
    SavedPriority priority;
};

void TCustomComPort::StateDeleter::operator()(TPortState* s) const noexcept {
    delete s;
}

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";
constexpr const char* kPortDirVariable = "TARVIK_PORT_DIR";
constexpr int kMaxComNumber = 255;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFF; // "no limit" in the Win32 time-out fields

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

constexpr int kEventPollMs = 10; // how often lines and counters are looked at while waiting
constexpr int kDrainPollMs = 1;  // how often the output queue is looked at while draining

int RateOf(const TCustomComPort& port) {
    return port.BaudRate() == brCustom ? port.CustomBaudRate() : BaudRateValue(port.BaudRate());
}

// Milliseconds left until `deadline`, or -1 (wait forever) when there is none.
int MsLeft(const Deadline& deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    // Round up: a poll that ends a little early would only go round once more.
    return static_cast<int>(std::clamp<long long>(left.count() + 1, 0, INT_MAX));
}

bool Passed(const Deadline& deadline) {
    return deadline && Clock::now() >= *deadline;
}

Deadline Earlier(const Deadline& a, const Deadline& b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

Deadline After(std::uint64_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

void SetRts(int fd, bool on) noexcept {
    int bits = TIOCM_RTS;
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits); // no modem lines (pseudo-terminals): nothing to do
}

} // namespace

void TLine::WriterLoop() noexcept {
    std::unique_lock lock(writeLock);
    for (;;) {
        writeChanged.wait(lock, [&] { return writerStop || writeQueued; });
        if (writerStop) return;
        writeQueued = false;
        const Deadline deadline = writeDeadline;
        lock.unlock();
        // The owner does not touch writeRest while the write is pending.
        int error = 0;
        bool timedOut = false;
        while (!writeRest.empty()) {
            pollfd p[2] = {{fd.Get(), POLLOUT, 0}, {abortFd.Get(), POLLIN, 0}};
            const int r = ::poll(p, 2, MsLeft(deadline));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                error = errno;
                break;
            }
            if (p[1].revents & POLLIN) break; // closing: the rest is dropped
            if (r == 0) {
                timedOut = true;
                break;
            }
            if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                error = EIO;
                break;
            }
            const ssize_t n = ::write(fd.Get(), writeRest.data(), writeRest.size());
            if (n > 0)
                writeRest.erase(0, static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                error = errno;
                break;
            }
        }
        if (toggleRts) {
            // Half-duplex: RTS drops only once the last bit has left the line.
            int queued = 0;
            while (!closed && !Passed(deadline) && ioctl(fd.Get(), TIOCOUTQ, &queued) == 0 && queued > 0) {
                pollfd p{abortFd.Get(), POLLIN, 0};
                ::poll(&p, 1, kDrainPollMs);
            }
            SetRts(fd.Get(), false);
        }
        writeRest.clear();
        lock.lock();
        writeError = error;
        writeTimedOut = timedOut;
        writePending = false;
        writeChanged.notify_all();
    }
}

bool TCustomComPort::IsOpen() const noexcept {
    return state_ && state_->open;
}

void TCustomComPort::CreateHandle() {
    ReleaseHandle();
    if (!state_) state_.reset(new TPortState);
    TPortState& s = *state_;
    // A failure below raises; Open releases what was made so far.

    if (priorityClass_ != pcDefault && !s.priority.Apply(priorityClass_))
        RaiseError(ceAccessDenied,
                   CodeText(ceAccessDenied) +
                       " (this process could not restore its priority after the class)",
                   ekComponent);

    auto line = std::make_shared<TLine>();
    line->wakeFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    line->dataFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    line->abortFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!line->wakeFd.Valid() || !line->dataFd.Valid() || !line->abortFd.Valid())
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

    line->fd.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!line->fd.Valid()) fail(errno);
    const int fd = line->fd.Get();
    // Only terminals: a regular file, FIFO or other device never gets a byte from us.
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) fail(ENOTTY);
    // Exclusive use: the lock holds against every process, root included; TIOCEXCL adds the
    // kernel's refusal of further opens by non-root processes.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) fail(errno);
    ioctl(fd, TIOCEXCL);
    ioctl(fd, TCFLSH, TCIOFLUSH); // both purges
    line->haveCounters = ioctl(fd, TIOCGICOUNT, &line->counters) == 0;

    {
        std::lock_guard lock(s.lock);
        s.line = std::move(line);
        s.open = true;
    }
    ApplyBuffers();
    ApplySettings();
    ApplyTimeouts();
    ApplyEventMask();
}

void TCustomComPort::AbortWaits() noexcept {
    if (auto line = LineOf(state_.get())) line->Abort();
}

void TCustomComPort::ReleaseHandle() noexcept {
    if (!state_) return;
    TPortState& s = *state_;
    std::shared_ptr<TLine> line;
    {
        std::lock_guard lock(s.lock);
        line = std::move(s.line);
        s.open = false;
    }
    if (line) {
        line->Abort();
        // The device is free for the next open at once, even while a waiter still holds the line.
        ioctl(line->fd.Get(), TIOCNXCL);
        ::flock(line->fd.Get(), LOCK_UN);
    }
    s.priority.Restore();
    // The descriptors close when the last user of the line lets go of it (usually right here).
}

void TCustomComPort::ApplySettings() {
    auto held = LineOf(state_.get());
    if (!held) return;
    TLine& line = *held;
    const int fd = line.fd.Get();

    // Settings a terminal cannot take are refused before anything changes.
    auto unsupported = [&](const char* what) {
        RaiseError(ceInvalidParameter,
                   CodeText(ceInvalidParameter) + " (" + what + ": not available on this platform)",
                   ekComponent);
    };
    const TXOnXOffControl xc = flowControl_.XOnXOff();
    if (flowControl_.DTR() == dcHandshake) unsupported("DTR handshake");
    if (options_.Contains(opOutputDSRFlow)) unsupported("DSR output flow control");
    if (options_.Contains(opDSRSensitivity)) unsupported("DSR sensitivity");
    if (options_.Contains(opUseErrorChar)) unsupported("error character replacement");
    if (options_.Contains(opDiscardNullBytes)) unsupported("null byte discarding");
    if (options_.Contains(opAbortOnError)) unsupported("abort on error");
    if (characters_.Eof() != 0) unsupported("end-of-file character");
    if (flowControl_.XOnLimit() != 0 || flowControl_.XOffLimit() != 0) unsupported("XON/XOFF limits");
    if ((xc == xcInput || xc == xcInputOutput) && !options_.Contains(opTXContinueOnXOff))
        unsupported("stopping output after sending XOFF");

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
    // CTS output flow and RTS handshake are one kernel flag (RTS follows the input queue, CTS
    // gates the output); cleared unless asked for, as the options are.
    const TRTSControl rts = flowControl_.RTS();
    const bool ctsFlow = options_.Contains(opOutputCTSFlow) || rts == rcHandshake;
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CRTSCTS)) | (ctsFlow ? CRTSCTS : 0);
    if (xc == xcOutput || xc == xcInputOutput) tio.c_iflag |= IXON;
    if (xc == xcInput || xc == xcInputOutput) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = characters_.XOn();
    tio.c_cc[VSTOP] = characters_.XOff();

    if (ioctl(fd, TCSETS2, &tio) != 0) {
        const std::int32_t code = CodeOfErrno(errno);
        RaiseError(code, CodeText(code) + " (line settings: " + std::strerror(errno) + ")", ekSystem);
    }
    line.eventChar = characters_.Event();

    // The DTR and RTS lines, where the driver has modem lines (pseudo-terminals have none).
    if (flowControl_.DTR() == dcEnable || flowControl_.DTR() == dcDisable) {
        int bits = TIOCM_DTR;
        ioctl(fd, flowControl_.DTR() == dcEnable ? TIOCMBIS : TIOCMBIC, &bits);
    }
    // RTS toggle: the driver's RS-485 mode raises RTS while sending where it has one; otherwise
    // the writer raises RTS before each write and drops it once the output queue is empty.
    bool manualToggle = false;
    serial_rs485 rs485{};
    const bool haveRs485 = ioctl(fd, TIOCGRS485, &rs485) == 0;
    if (rts == rcToggle) {
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~static_cast<std::uint32_t>(SER_RS485_RTS_AFTER_SEND);
        manualToggle = !haveRs485 || ioctl(fd, TIOCSRS485, &rs485) != 0;
        if (manualToggle) SetRts(fd, false);
    } else if (rts != rcDefault && haveRs485 && (rs485.flags & SER_RS485_ENABLED)) {
        rs485.flags &= ~static_cast<std::uint32_t>(SER_RS485_ENABLED);
        ioctl(fd, TIOCSRS485, &rs485);
    }
    line.toggleRts = manualToggle;
    if (rts == rcEnable || rts == rcDisable) SetRts(fd, rts == rcEnable);
}

void TCustomComPort::ApplyBuffers() {
    // The driver's queue sizes are fixed on this platform; the input size bounds what the event
    // thread takes from the driver ahead of the reads, so that flow control can hold the sender.
    if (auto line = LineOf(state_.get())) {
        line->inputLimit = std::max<std::int32_t>(1, bufferSizes_.Input());
        Signal(line->wakeFd);
    }
}

void TCustomComPort::ApplyTimeouts() {
    // Used by the waits below; nothing to send to the driver.
}

void TCustomComPort::StartWrite(const void* buffer, std::int32_t length) {
    auto held = UsableLine(*this, state_.get());
    TLine& s = *held;
    ++s.writes;
    const char* bytes = static_cast<const char*>(buffer);
    std::size_t sent = 0;
    const bool toggle = s.toggleRts;
    if (toggle) SetRts(s.fd.Get(), true);
    while (sent < static_cast<std::size_t>(length)) {
        const ssize_t n = ::write(s.fd.Get(), bytes + sent, static_cast<std::size_t>(length) - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break; // the writer sends the rest
        } else {
            const int err = n < 0 ? errno : EIO;
            if (toggle) SetRts(s.fd.Get(), false);
            RaiseError(CodeOfErrno(err), CodeText(CodeOfErrno(err)) + " (write: " + std::strerror(err) + ")",
                       ekSystem);
        }
    }
    if (sent == static_cast<std::size_t>(length) && !toggle) return;

    // The rest goes out in the background, under the write time-out from now.
    const std::uint64_t total = std::uint64_t{static_cast<std::uint32_t>(timeouts_.WriteMultiplier())} *
                                    static_cast<std::uint64_t>(length) +
                                static_cast<std::uint32_t>(timeouts_.WriteConstant());
    std::unique_lock lock(s.writeLock);
    s.writeRest.assign(bytes + sent, static_cast<std::size_t>(length) - sent);
    s.writeDeadline = total > 0 ? After(total) : Deadline{};
    s.writePending = true;
    s.writeQueued = true;
    s.writeTimedOut = false;
    s.writeError = 0;
    if (!s.writer.joinable()) {
        try {
            s.writer = std::thread([&s] { s.WriterLoop(); });
        } catch (const std::system_error&) {
            s.writePending = s.writeQueued = false;
            s.writeRest.clear();
            lock.unlock();
            RaiseError(ceComponent, kMsgCreateThread, ekComponent);
        }
    }
    lock.unlock();
    s.writeChanged.notify_all();
}

void TCustomComPort::StartRead(void* buffer, std::int32_t length) {
    auto held = UsableLine(*this, state_.get());
    TLine& s = *held;
    s.readBuffer = static_cast<std::uint8_t*>(buffer);
    s.readLength = length;
    s.readDone = 0;
    s.readPending = true;
}

namespace {

[[noreturn]] void RaiseIoError(TCustomComPort& port, int err) {
    port.RaiseError(CodeOfErrno(err), CodeText(CodeOfErrno(err)) + " (" + std::strerror(err) + ")", ekSystem);
}

// Waits until the line or the read-ahead has bytes, or `deadline` passes; raises the closed-port
// error when the line is closed meanwhile, and a system error when the line fails.
void AwaitInput(TCustomComPort& port, TLine& s, const Deadline& deadline) {
    pollfd p[3] = {{s.fd.Get(), POLLIN, 0}, {s.dataFd.Get(), POLLIN, 0}, {s.abortFd.Get(), POLLIN, 0}};
    const int r = ::poll(p, 3, MsLeft(deadline));
    if (r < 0 && errno == EINTR) return;
    if (r < 0) RaiseIoError(port, errno);
    if (p[2].revents & POLLIN) RaiseClosed(port);
    if (p[1].revents & POLLIN) Drain(s.dataFd);
    if ((p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p[0].revents & POLLIN)) RaiseIoError(port, EIO);
}

} // namespace

void TCustomComPort::WaitPending(bool write) {
    if (!IsOpen()) {
        CheckOpen();
        return;
    }
    auto held = UsableLine(*this, state_.get());
    TLine& s = *held;
    auto ioFail = [&](int err) { RaiseIoError(*this, err); };

    if (write) {
        std::unique_lock lock(s.writeLock);
        s.writeChanged.wait(lock, [&] { return !s.writePending || s.closed; });
        const bool pending = s.writePending;
        const bool timedOut = s.writeTimedOut;
        const int error = s.writeError;
        s.writeTimedOut = false;
        s.writeError = 0;
        lock.unlock();
        if (pending) RaiseClosed(*this);
        if (error) ioFail(error);
        if (timedOut) RaiseError(ceComponent, kMsgTimeout, ekTimeout);
    }

    if (!write && s.readPending) {
        s.readPending = false;
        // Win32 time-out rules (MAXDWORD is -1 as stored):
        //   interval MAXDWORD, totals 0: return what is queued at once;
        //   interval and multiplier MAXDWORD, a constant: return as soon as one byte is there, or
        //     after the constant with none;
        //   otherwise a total limit of multiplier x length + constant (none when both are 0) and an
        //     interval limit between two bytes (none when 0), counted from each byte received.
        const auto interval = static_cast<std::uint32_t>(timeouts_.ReadInterval());
        const auto multiplier = static_cast<std::uint32_t>(timeouts_.ReadMultiplier());
        const auto constant = static_cast<std::uint32_t>(timeouts_.ReadConstant());
        const bool immediate = interval == kMaxDword && multiplier == 0 && constant == 0;
        const bool firstByte =
            interval == kMaxDword && multiplier == kMaxDword && constant > 0 && constant < kMaxDword;
        Deadline total;
        if (firstByte)
            total = After(constant);
        else if (!immediate && (multiplier != 0 || constant != 0))
            total = After(std::uint64_t{multiplier} * static_cast<std::uint64_t>(s.readLength) + constant);
        const bool useInterval = !immediate && !firstByte && interval != 0 && interval != kMaxDword;
        Deadline gap; // the interval limit, from the last byte received
        while (s.readDone < s.readLength) {
            int err = 0;
            const ssize_t n = s.TakeSome(s.readBuffer + s.readDone,
                                         static_cast<std::size_t>(s.readLength - s.readDone), err);
            if (n > 0) {
                s.readDone += static_cast<std::int32_t>(n);
                if (firstByte) break;
                if (useInterval) gap = After(interval);
                continue;
            }
            if (n < 0 && err == EINTR) continue;
            if (n < 0 && err != EAGAIN) ioFail(err);
            if (n == 0) ioFail(EIO);
            if (immediate) break;
            const Deadline deadline = Earlier(total, gap);
            if (Passed(deadline)) break;
            AwaitInput(*this, s, deadline);
        }
        if (s.readDone != s.readLength) RaiseError(ceComponent, kMsgTimeout, ekTimeout);
    }

    held.reset();
    CheckOpen();
    CheckLineErrors(ClearErrors(nullptr));
}

std::int32_t TCustomComPort::TakeQueued(void* buffer, std::int32_t length, std::int32_t waitMs) {
    auto held = UsableLine(*this, state_.get());
    if (held->readPending) {
        // A read started without waiting comes first.
        held.reset();
        WaitPending(false);
        held = UsableLine(*this, state_.get());
    }
    TLine& s = *held;
    const Deadline deadline = After(static_cast<std::uint64_t>(waitMs));
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::int32_t taken = 0;
    for (;;) {
        int err = 0;
        const ssize_t n = s.TakeSome(out, static_cast<std::size_t>(length), err);
        if (n > 0) {
            taken = static_cast<std::int32_t>(n);
            break;
        }
        if (n < 0 && err == EINTR) continue;
        if (n < 0 && err != EAGAIN) RaiseIoError(*this, err);
        if (n == 0) RaiseIoError(*this, EIO);
        if (Passed(deadline)) break;
        AwaitInput(*this, s, deadline);
    }
    held.reset();
    CheckOpen();
    CheckLineErrors(ClearErrors(nullptr));
    return taken;
}

std::uint32_t TCustomComPort::ClearErrors(std::int32_t* inQueue) {
    auto held = LineOf(state_.get());
    if (!held) RaiseError(ceInvalidHandle, CodeText(ceInvalidHandle), ekClosedPort);
    TLine& s = *held;
    if (inQueue) {
        int n = 0, rc, err;
        std::size_t ahead;
        {
            std::lock_guard lock(s.readLock);
            rc = ioctl(s.fd.Get(), FIONREAD, &n);
            err = errno;
            ahead = s.readAhead.size();
        }
        if (rc != 0) RaiseError(CodeOfErrno(err), CodeText(CodeOfErrno(err)), ekSystem);
        *inQueue = n + static_cast<std::int32_t>(ahead);
    }
    std::uint32_t bits = 0;
    serial_icounter_struct now{};
    std::lock_guard lock(s.countersLock);
    if (s.haveCounters && ioctl(s.fd.Get(), TIOCGICOUNT, &now) == 0) {
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
    auto line = LineOf(state_.get());
    if (!line) return;
    line->commMask = mask;
    Signal(line->wakeFd);
}

void TCustomComPort::InterruptCommEvent() noexcept {
    if (auto line = LineOf(state_.get())) Signal(line->wakeFd);
}

void TCustomComPort::SetCurrentThreadPriority(TThreadPriority priority) noexcept {
    // Best effort: raising a thread's priority needs privileges.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), NiceOfThread(priority));
}

std::uint32_t TCustomComPort::WaitCommEvent() {
    auto held = LineOf(state_.get());
    if (!held) return 0; // closing: the thread is being stopped
    TLine& s = *held;
    auto fail = [&](int err) {
        // A line that has gone away ends the event thread like an unplugged device on Win32.
        const std::int32_t code = err == EIO ? ceAccessDenied : CodeOfErrno(err);
        throw EComError(code, CodeText(code) + " (event wait: " + std::strerror(err) + ")", ekSystem);
    };
    for (;;) {
        const std::uint32_t mask = s.commMask;
        std::uint32_t events = 0;
        const bool receive = mask & (evRxChar | evRxFlag | evRx80Full);
        bool room = true;
        if (receive) {
            // Take what the driver holds, up to the input buffer size, so that the event character
            // can be seen; the rest waits in the driver, where flow control can hold the sender.
            std::size_t before, after;
            bool flag = false;
            int err = 0;
            const auto limit = static_cast<std::size_t>(s.inputLimit.load());
            const char eventChar = static_cast<char>(s.eventChar.load());
            {
                std::lock_guard lock(s.readLock);
                before = s.readAhead.size();
                char buf[1024];
                while (s.readAhead.size() < limit) {
                    const std::size_t want = std::min(sizeof buf, limit - s.readAhead.size());
                    const ssize_t n = ::read(s.fd.Get(), buf, want);
                    if (n > 0) {
                        flag |= std::memchr(buf, eventChar, static_cast<std::size_t>(n)) != nullptr;
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
                room = after < limit;
            }
            if (after > before) {
                Signal(s.dataFd);
                events |= evRxChar | (flag ? evRxFlag : 0);
                if (after * 5 >= limit * 4) events |= evRx80Full;
            }
            if (err && after == before) fail(err);
        }
        if (mask & evTxEmpty) {
            const std::uint64_t writes = s.writes;
            int queued = 0;
            if (writes != s.writesSeen && ioctl(s.fd.Get(), TIOCOUTQ, &queued) == 0 && queued == 0) {
                s.writesSeen = writes;
                events |= evTxEmpty;
            }
        }
        // Modem lines and line errors, where the driver reports them (not pseudo-terminals).
        serial_icounter_struct now{};
        if (ioctl(s.fd.Get(), TIOCGICOUNT, &now) == 0) {
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
        } else if (int bits = 0; ioctl(s.fd.Get(), TIOCMGET, &bits) == 0) {
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
        pollfd p[3] = {{s.wakeFd.Get(), POLLIN, 0},
                       {s.fd.Get(), static_cast<short>(receive && room ? POLLIN : 0), 0},
                       {s.abortFd.Get(), POLLIN, 0}};
        const int r = ::poll(p, 3, polled ? kEventPollMs : -1);
        if (r < 0 && errno != EINTR) fail(errno);
        if (p[2].revents & POLLIN) return 0;
        if (p[0].revents & POLLIN) {
            Drain(s.wakeFd);
            return 0;
        }
        if ((p[1].revents & (POLLHUP | POLLERR)) && !(p[1].revents & POLLIN)) fail(EIO);
    }
}

TModemStatus TCustomComPort::ModemStatus() {
    CheckOpen();
    auto held = UsableLine(*this, state_.get());
    int bits = 0;
    TModemStatus status;
    // Lines the driver cannot report (pseudo-terminals) read as all off.
    if (ioctl(held->fd.Get(), TIOCMGET, &bits) != 0) return status;
    if (bits & TIOCM_CTS) status.Include(msCTS);
    if (bits & TIOCM_DSR) status.Include(msDSR);
    if (bits & TIOCM_RI) status.Include(msRing);
    if (bits & TIOCM_CD) status.Include(msRLSD);
    return status;
}

void EnumComPorts(std::vector<std::string>& list) {
    std::vector<std::pair<int, std::string>> found;
    if (const char* dir = std::getenv(kPortDirVariable)) {
        // Only names that open: "COM" and a number from 1 to 255, written without leading zeros.
        if (DIR* d = ::opendir(dir)) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                const int n = ComNumber(name);
                if (n >= 1 && n <= kMaxComNumber && name == "COM" + std::to_string(n))
                    found.emplace_back(n, name);
            }
            ::closedir(d);
        }
    } else {
        // /dev/ttyS<n> whose driver reports a real port type (0 means no hardware behind it).
        for (int n = 0; n < kMaxComNumber; ++n) {
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
