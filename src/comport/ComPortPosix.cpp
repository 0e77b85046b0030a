// POSIX backend of the port component (Linux). The device is a terminal opened non-blocking,
// exclusive (flock, then TIOCEXCL), with a raw line whose settings go through the kernel's termios2
// interface: it takes any rate (3600 and 7200 included) and avoids glibc's tcsetattr, which refuses
// a repeated parity request on pseudo-terminals. Overlapped transfers are emulated: a write sends
// what the driver takes at once and a background writer sends the rest; a read takes what is
// queued and waits for the rest (poll) under the Win32 time-out rules.
//
// The open line (TLine) is described in PosixLine.h; the event thread's wait is in
// ComPortPosixEvents.cpp.
//
// Port names: "COM<n>" and "\\.\COM<n>" open $TARVIK_PORT_DIR/COM<n> when that variable is set,
// else /dev/ttyS<n-1>. A name starting with '/' is opened as a path.
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "ComPort.h"
#include "HeldLine.h"
#include "PosixLine.h"

namespace tarvik::comport {

TPortState* TCustomComPort::NewPortState() {
    return new TPortState;
}

void TCustomComPort::StateDeleter::operator()(TPortState* s) const noexcept {
    delete s;
}

namespace {

constexpr std::uint32_t kMaxDword = 0xFFFFFFFF; // "no limit" in the Win32 time-out fields
constexpr int kDrainPollMs = 1;                 // how often the output queue is looked at while draining

std::string DevicePath(std::string name) {
    const std::string prefix = kDevicePrefix;
    if (name.compare(0, prefix.size(), prefix) == 0) name.erase(0, prefix.size());
    if (!name.empty() && name[0] == '/') return name;
    const int n = ComNumber(name);
    if (n <= 0) return {};
    if (const char* dir = std::getenv(kPortDirVariable)) return std::string(dir) + "/" + name;
    return "/dev/ttyS" + std::to_string(n - 1);
}

EComError OpenError(const std::string& device, const std::string& path, int err) {
    const std::int32_t code = CodeOfErrno(err);
    return EComError(code,
                     CodeText(code) + " (" + device + (path.empty() ? "" : ": " + path) + ": " +
                         std::strerror(err) + ")",
                     ekOpen);
}

// Opens `path` non-blocking and takes its lock: exclusive use, against every process, root
// included. `fail(errno)` does not return.
template <class Fail>
int OpenExclusive(const std::string& path, Fail&& fail) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) fail(errno);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) fail(errno);
    return fd.Release();
}

int RateOf(const TCustomComPort& port) {
    return port.BaudRate() == brCustom ? port.CustomBaudRate() : BaudRateValue(port.BaudRate());
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
        while (!writeRest.empty() && !closed) {
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

namespace {

// Settings a terminal cannot take are refused before anything changes.
void RefuseUnsupported(TCustomComPort& port) {
    auto unsupported = [&](const char* what) {
        port.RaiseError(ceInvalidParameter,
                        CodeText(ceInvalidParameter) + " (" + what + ": not available on this platform)",
                        ekComponent);
    };
    const TFlowControl& flow = port.FlowControl();
    const TOptions options = port.Options();
    const TXOnXOffControl xc = flow.XOnXOff();
    if (flow.DTR() == dcHandshake) unsupported("DTR handshake");
    if (options.Contains(opOutputDSRFlow)) unsupported("DSR output flow control");
    if (options.Contains(opDSRSensitivity)) unsupported("DSR sensitivity");
    if (options.Contains(opUseErrorChar)) unsupported("error character replacement");
    if (options.Contains(opDiscardNullBytes)) unsupported("null byte discarding");
    if (options.Contains(opAbortOnError)) unsupported("abort on error");
    if (port.Characters().Eof() != 0) unsupported("end-of-file character");
    if (flow.XOnLimit() != 0 || flow.XOffLimit() != 0) unsupported("XON/XOFF limits");
    if ((xc == xcInput || xc == xcInputOutput) && !options.Contains(opTXContinueOnXOff))
        unsupported("stopping output after sending XOFF");
}

// Raw line: bytes go and come exactly as sent. Framing bits and the rate keep the driver's values
// unless set by SetFraming.
void MakeRaw(termios2& tio) {
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                          IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CREAD | CLOCAL;
    // With O_NONBLOCK, VMIN 1 makes an empty queue read as EAGAIN, so 0 means end of file (hang-up).
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

tcflag_t ParityBits(TParity parity) {
    switch (parity) {
    case paOdd:
        return PARENB | PARODD;
    case paEven:
        return PARENB;
    case paMark:
        return PARENB | PARODD | CMSPAR;
    case paSpace:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

// Rate, data bits, parity and stop bits, each where it is not the driver's default.
void SetFraming(TCustomComPort& port, termios2& tio) {
    auto refuse = [&](const char* what) {
        port.RaiseError(ceInvalidParameter, CodeText(ceInvalidParameter) + " (" + what + ")", ekComponent);
    };
    if (port.BaudRate() != brDefault) {
        const int rate = RateOf(port);
        if (rate <= 0) refuse("baud rate");
        tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
        tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
        tio.c_ispeed = tio.c_ospeed = static_cast<speed_t>(rate);
    }
    if (const TDataBits bits = port.DataBits(); bits != dbDefault) {
        constexpr tcflag_t sizes[] = {CS5, CS5, CS5, CS6, CS7, CS8}; // db4 is not available
        if (bits == db4) refuse("4 data bits");
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | sizes[bits];
    }
    if (port.Parity() != paDefault)
        tio.c_cflag =
            (tio.c_cflag & ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR)) | ParityBits(port.Parity());
    if (const TStopBits stop = port.StopBits(); stop != sbDefault) {
        // One and a half stop bits exist only with 5 data bits, where the line calls them "two".
        if (stop == sb1_5 && (tio.c_cflag & CSIZE) != CS5) refuse("1.5 stop bits");
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSTOPB)) | (stop == sb1 ? 0 : CSTOPB);
    }
}

// Parity checking, hardware and software flow control.
void SetFlowControl(const TCustomComPort& port, termios2& tio) {
    const TOptions options = port.Options();
    const TXOnXOffControl xc = port.FlowControl().XOnXOff();
    if (options.Contains(opCheckParity)) tio.c_iflag |= INPCK;
    // CTS output flow and RTS handshake are one kernel flag (RTS follows the input queue, CTS
    // gates the output); cleared unless asked for, as the options are.
    const bool ctsFlow = options.Contains(opOutputCTSFlow) || port.FlowControl().RTS() == rcHandshake;
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CRTSCTS)) | (ctsFlow ? CRTSCTS : 0);
    if (xc == xcOutput || xc == xcInputOutput) tio.c_iflag |= IXON;
    if (xc == xcInput || xc == xcInputOutput) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = port.Characters().XOn();
    tio.c_cc[VSTOP] = port.Characters().XOff();
}

// The DTR and RTS lines, where the driver has modem lines (pseudo-terminals have none). Returns
// whether the writer has to toggle RTS itself around each write.
bool SetModemLines(const TCustomComPort& port, int fd) {
    const TDTRControl dtr = port.FlowControl().DTR();
    const TRTSControl rts = port.FlowControl().RTS();
    if (dtr == dcEnable || dtr == dcDisable) {
        int bits = TIOCM_DTR;
        ioctl(fd, dtr == dcEnable ? TIOCMBIS : TIOCMBIC, &bits);
    }
    if (rts == rcDefault) return false; // the driver's RS-485 mode and RTS stay as they are
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
    } else if (haveRs485 && (rs485.flags & SER_RS485_ENABLED)) {
        rs485.flags &= ~static_cast<std::uint32_t>(SER_RS485_ENABLED);
        ioctl(fd, TIOCSRS485, &rs485);
    }
    if (rts == rcEnable || rts == rcDisable) SetRts(fd, rts == rcEnable);
    return manualToggle;
}

// Applies every line setting of `port` to `line`, starting from the driver's current `tio`.
void ApplyLineSettings(TCustomComPort& port, TLine& line, termios2 tio) {
    RefuseUnsupported(port);
    MakeRaw(tio);
    SetFraming(port, tio);
    SetFlowControl(port, tio);
    const int fd = line.fd.Get();
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        const int err = errno;
        const std::int32_t code = CodeOfErrno(err);
        port.RaiseError(code, CodeText(code) + " (line settings: " + std::strerror(err) + ")", ekSystem);
    }
    line.eventChar = port.Characters().Event();
    line.toggleRts = SetModemLines(port, fd);
}

} // namespace

void TCustomComPort::CreateHandle() {
    ReleaseHandle();
    TPortState& s = *state_;
    // A failure below raises; Open releases what was made so far.

    bool applied = true;
    if (priorityClass_ != pcDefault) {
        std::lock_guard lock(s.lock);
        applied = s.priority.Apply(priorityClass_);
    }
    if (!applied)
        RaiseError(ceAccessDenied,
                   CodeText(ceAccessDenied) +
                       " (this process could not restore its priority after the class)",
                   ekComponent);

    auto line = std::make_shared<TLine>();
    const std::string path = DevicePath(deviceName_);
    const auto fail = [&](int err) {
        const EComError e = OpenError(deviceName_, path, err);
        RaiseError(e.ErrorCode, e.what(), e.Kind);
    };
    if (path.empty()) fail(ENOENT);

    line->fd.Reset(OpenExclusive(path, fail));
    const int fd = line->fd.Get();
    // Only terminals: a regular file, FIFO or other device never gets a byte from us.
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) fail(ENOTTY);
    // TIOCEXCL adds to the lock the kernel's refusal of further opens by non-root processes.
    ioctl(fd, TIOCEXCL);
    ioctl(fd, TCFLSH, TCIOFLUSH); // both purges

    // Held while the settings go to the line: a close meanwhile must not free its descriptor.
    const std::shared_ptr<TLine> opened = line;
    {
        std::lock_guard lock(s.lock);
        s.line = std::move(line);
        s.open = true;
    }
    ApplyBuffers();
    ApplyLineSettings(*this, *opened, tio); // from the settings just read: nothing changed them since
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
        line = std::move(s.line); // no new user gets it
    }
    if (line) {
        line->Abort();
        // The device is free for the next open at once, even while a waiter still holds the line,
        // and before Active() turns false: whoever sees the port closed may open the device.
        ioctl(line->fd.Get(), TIOCNXCL);
        ::flock(line->fd.Get(), LOCK_UN);
    }
    std::lock_guard lock(s.lock);
    s.open = false;
    s.priority.Restore();
    // The descriptors close when the last user of the line lets go of it (usually right here).
}

void TCustomComPort::ApplySettings() {
    auto held = LineOf(state_.get());
    if (!held) return;
    termios2 tio{};
    if (ioctl(held->fd.Get(), TCGETS2, &tio) != 0) {
        const std::int32_t code = CodeOfErrno(errno);
        RaiseError(code, CodeText(code), ekSystem);
    }
    ApplyLineSettings(*this, *held, tio);
}

void TCustomComPort::ApplyBuffers() {
    // The driver's queue sizes are fixed on this platform; the input size bounds what the event
    // thread takes from the driver ahead of the reads, so that flow control can hold the sender.
    if (auto line = LineOf(state_.get())) {
        line->inputLimit = std::clamp<std::int32_t>(bufferSizes_.Input(), 1, kMaxReadAhead);
        line->Notify(line->wakeFd);
    }
}

void TCustomComPort::ApplyTimeouts() {
    // Used by the waits below; nothing to send to the driver.
}

void TCustomComPort::StartWrite(const void* buffer, std::int32_t length) {
    auto held = UsableLine(*this, state_.get());
    TLine& s = *held;
    ++s.writes;
    if (s.commMask & evTxEmpty) s.Notify(s.wakeFd); // the event thread watches the output drain
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
    // What went already cannot be taken back: a failure from here on says how much that was.
    const auto sentText = [&] {
        return " (" + std::to_string(sent) + " of " + std::to_string(length) +
               " bytes were sent, the rest was dropped)";
    };
    std::unique_lock lock(s.writeLock);
    s.writeRest.assign(bytes + sent, static_cast<std::size_t>(length) - sent);
    s.writeDeadline = total > 0 ? After(total) : Deadline{};
    s.writePending = true;
    s.writeQueued = true;
    s.writeTimedOut = false;
    s.writeError = 0;
    if (!s.writer.joinable()) {
        if (!s.MakeWakers()) {
            s.writePending = s.writeQueued = false;
            s.writeRest.clear();
            lock.unlock();
            RaiseError(ceGenFailure, CodeText(ceGenFailure) + " (eventfd)" + sentText(), ekSystem);
        }
        try {
            s.writer = std::thread([&s] { s.WriterLoop(); });
        } catch (const std::system_error&) {
            s.writePending = s.writeQueued = false;
            s.writeRest.clear();
            lock.unlock();
            RaiseError(ceComponent, kMsgCreateThread + sentText(), ekComponent);
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
    if (!s.MakeWakers()) port.RaiseError(ceGenFailure, CodeText(ceGenFailure) + " (eventfd)", ekSystem);
    if (s.closed) RaiseClosed(port);
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
        const auto total = static_cast<std::int64_t>(n) + static_cast<std::int64_t>(ahead);
        *inQueue = static_cast<std::int32_t>(std::clamp<std::int64_t>(total, 0, INT32_MAX));
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

void ComPortTryOpen(const std::string& device) {
    const std::string path = DevicePath(device);
    const auto fail = [&](int err) { throw OpenError(device, path, err); };
    if (path.empty()) fail(ENOENT);
    const UniqueFd probe(OpenExclusive(path, fail)); // closed here; the lock goes with it
}

} // namespace tarvik::comport
