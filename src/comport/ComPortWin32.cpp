// Win32 backend of the port component: the device handle with overlapped reads and writes on
// kernel32's communications API. A close from any thread ends the waits of every thread
// (CancelIoEx and an abort event). Every Win32 call that can fail goes through Check: a failure whose
// last-error code is neither 0 nor ERROR_IO_PENDING becomes an EComError with the system's text.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ComPort.h"
#include "Diagnostics.h"
#include "HeldLine.h"

namespace tarvik::comport {

namespace {

// The device control block as the API takes it; its flag word is the third 32-bit field.
constexpr DWORD kDcbLength = 28;
constexpr std::size_t kDcbFlagsOffset = 8;
static_assert(sizeof(DCB) == kDcbLength, "DCB layout");

constexpr std::uint32_t kDtrField = 0x30;
constexpr std::uint32_t kRtsField = 0x3000;
constexpr std::uint32_t kXOnXOffField = 0x300;

constexpr DWORD kNoPriority = static_cast<DWORD>(-1);

// QueryDosDeviceA's buffer: 65536 bytes, of which it may fill 65535.
constexpr DWORD kDeviceListSize = 65536;
constexpr DWORD kDeviceListLimit = kDeviceListSize - 1;

constexpr const char* kComPrefix = "COM";
constexpr const char* kDeviceComPrefix = "\\\\.\\COM";

} // namespace

namespace {

// Owns one Win32 handle (an event or the device): closes it when replaced or destroyed.
class UniqueHandle {
public:
    UniqueHandle() = default;
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }
    HANDLE Get() const noexcept { return h_; }
    bool Valid() const noexcept { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE h = nullptr) noexcept {
        if (Valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// The process priority class saved at open and put back on release.
class SavedPriorityClass {
public:
    SavedPriorityClass() = default;
    SavedPriorityClass(const SavedPriorityClass&) = delete;
    SavedPriorityClass& operator=(const SavedPriorityClass&) = delete;
    ~SavedPriorityClass() { Restore(); }
    void Apply(DWORD priorityClass) noexcept {
        // Not checked: a class the system lowers or refuses leaves the port usable.
        saved_ = GetPriorityClass(GetCurrentProcess());
        ::SetPriorityClass(GetCurrentProcess(), priorityClass);
    }
    void Restore() noexcept {
        if (saved_ != kNoPriority) ::SetPriorityClass(GetCurrentProcess(), saved_);
        saved_ = kNoPriority;
    }

private:
    DWORD saved_ = kNoPriority;
};

} // namespace

// Everything of one open. Operations hold it through a shared pointer while they use it: a close
// from another thread signals abortEvent and cancels the I/O of every thread, and the handles
// close when the last user let go of the line, after any transfer still under way has ended.
struct TLine {
    UniqueHandle commEvent;  // auto reset; serves the event thread's overlapped record
    UniqueHandle readEvent;  // manual reset; signalled while no read is pending
    UniqueHandle writeEvent; // manual reset; signalled while no write is pending
    UniqueHandle abortEvent; // manual reset; signalled once the line is closing
    UniqueHandle handle;     // the device (closed first: members end in reverse order)
    OVERLAPPED readRecord{};
    OVERLAPPED writeRecord{};
    OVERLAPPED eventRecord{};
    DWORD readLength = 0; // byte counts of the last ReadFile / WriteFile started
    DWORD writeLength = 0;
    bool readUnchecked = false; // started, and its outcome not yet looked at
    bool writeUnchecked = false;
    bool readSkipped = false; // the read had nothing to take: no ReadFile, nothing transferred
    DWORD carriedErrors = 0;  // line errors cleared early, reported at the next wait
    std::atomic<bool> closed{false};

    ~TLine() {
        // The system must not write into a record or buffer once the line is gone.
        FinishPending(writeEvent, writeRecord);
        FinishPending(readEvent, readRecord);
    }

    void Abort() noexcept {
        closed = true;
        if (abortEvent.Valid()) SetEvent(abortEvent.Get());
        if (handle.Valid()) CancelIoEx(handle.Get(), nullptr); // every thread's I/O on the line
    }

    // Waits for the operation of `record` (signalled by `event`) unless the line closes first;
    // false when it closed: the operation is then cancelled and over.
    bool WaitFor(HANDLE event, OVERLAPPED& record) noexcept {
        const HANDLE waits[2] = {event, abortEvent.Get()};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) return true;
        CancelIoEx(handle.Get(), &record);
        DWORD transferred = 0;
        GetOverlappedResult(handle.Get(), &record, &transferred, TRUE);
        return false;
    }

private:
    void FinishPending(const UniqueHandle& event, OVERLAPPED& record) noexcept {
        if (!handle.Valid() || !event.Valid() || WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0) return;
        CancelIoEx(handle.Get(), &record);
        DWORD transferred = 0;
        GetOverlappedResult(handle.Get(), &record, &transferred, TRUE);
    }
};

struct TPortState {
    std::mutex lock; // `line`
    std::shared_ptr<TLine> line;
    std::atomic<bool> open{false}; // read by IsOpen on any thread
    SavedPriorityClass priority;
};

namespace {

// The system's text for a Win32 error code, without the trailing line break.
std::string SystemMessage(DWORD code) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        --n;
    if (n == 0) return "System error " + std::to_string(code);
    return std::string(text, n);
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// The Win32 result check.
void Check(TCustomComPort& port, bool succeeded, TComErrorKind kind = ekSystem) {
    if (succeeded) return;
    const DWORD code = GetLastError();
    if (code == ERROR_SUCCESS || code == ERROR_IO_PENDING) return;
    SetLastError(ERROR_SUCCESS);
    port.RaiseError(static_cast<std::int32_t>(code), SystemMessage(code), kind);
}

// Fills the device control block from the port's settings (the driver's values where a setting is
// its Default member).
void FillDcb(const TCustomComPort& port, DCB& dcb) {
    if (port.BaudRate() != brDefault)
        dcb.BaudRate = static_cast<DWORD>(port.BaudRate() == brCustom ? port.CustomBaudRate()
                                                                      : BaudRateValue(port.BaudRate()));
    if (port.DataBits() != dbDefault) dcb.ByteSize = static_cast<BYTE>(DataBitsCode(port.DataBits()));
    if (port.Parity() != paDefault) dcb.Parity = static_cast<BYTE>(ParityCode(port.Parity()));
    if (port.StopBits() != sbDefault) dcb.StopBits = static_cast<BYTE>(StopBitsCode(port.StopBits()));

    dcb.XonChar = static_cast<char>(port.Characters().XOn());
    dcb.XoffChar = static_cast<char>(port.Characters().XOff());
    dcb.ErrorChar = static_cast<char>(port.Characters().Error());
    dcb.EofChar = static_cast<char>(port.Characters().Eof());
    dcb.EvtChar = static_cast<char>(port.Characters().Event());

    std::uint32_t flags = 0;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + kDcbFlagsOffset, sizeof flags);
    if (port.FlowControl().DTR() != dcDefault)
        flags = (flags & ~kDtrField) | DTRFlags(port.FlowControl().DTR());
    if (port.FlowControl().RTS() != rcDefault)
        flags = (flags & ~kRtsField) | RTSFlags(port.FlowControl().RTS());
    if (port.FlowControl().XOnXOff() != xcDefault)
        flags = (flags & ~kXOnXOffField) | XOnXOffFlags(port.FlowControl().XOnXOff());
    for (int o = opCheckParity; o <= opAbortOnError; ++o) {
        const auto option = static_cast<TOption>(o);
        if (port.Options().Contains(option))
            flags |= OptionFlag(option);
        else
            flags &= ~OptionFlag(option);
    }
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + kDcbFlagsOffset, &flags, sizeof flags);

    dcb.XonLim = port.FlowControl().XOnLimit();
    dcb.XoffLim = port.FlowControl().XOffLimit();
}

} // namespace

TPortState* TCustomComPort::NewPortState() {
    return new TPortState;
}

void TCustomComPort::StateDeleter::operator()(TPortState* s) const noexcept {
    delete s; // the owners release whatever is still held
}

bool TCustomComPort::IsOpen() const noexcept {
    return state_ && state_->open;
}

void TCustomComPort::CreateHandle() {
    ReleaseHandle();
    TPortState& s = *state_;
    // Whatever fails below releases what was made so far on the way out.
    struct ReleaseOnFailure {
        TCustomComPort& port;
        bool armed = true;
        ~ReleaseOnFailure() {
            if (armed) port.ReleaseHandle();
        }
    } guard{*this};
    SetLastError(ERROR_SUCCESS);

    if (priorityClass_ != pcDefault) {
        std::lock_guard lock(s.lock);
        s.priority.Apply(PriorityClassCode(priorityClass_));
    }

    auto line = std::make_shared<TLine>();
    line->commEvent.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    Check(*this, line->commEvent.Valid());
    line->readEvent.Reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    Check(*this, line->readEvent.Valid());
    line->writeEvent.Reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    Check(*this, line->writeEvent.Valid());
    line->abortEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Check(*this, line->abortEvent.Valid());

    line->handle.Reset(CreateFileA(deviceName_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    Check(*this, line->handle.Valid(), ekOpen);
    if (!line->handle.Valid()) return; // failed without a code: stays closed
    // Held while the line is set up: a close meanwhile must not close the handle under the calls.
    const std::shared_ptr<TLine> opened = line;
    const HANDLE h = opened->handle.Get();
    {
        std::lock_guard lock(s.lock);
        s.line = std::move(line);
        s.open = true;
    }

    Check(*this, PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR) != FALSE);
    Check(*this, PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR) != FALSE);
    ApplyBuffers();
    ApplySettings();
    ApplyTimeouts();
    ApplyEventMask(); // starts the event thread when handlers are assigned
    guard.armed = false;
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
    if (line) line->Abort();
    // The handles close when the last user of the line lets go of it, usually right here: before
    // Active() turns false, so that whoever sees the port closed may open the device.
    line.reset();
    std::lock_guard lock(s.lock);
    s.open = false;
    s.priority.Restore();
}

namespace {

// SetCommState, with a parity left over from the last setting cleared first when the driver
// refuses to enable parity again because of it (Wine's 64-bit build on a pseudo-terminal): clearing
// parity and asking once more settles that. A parity the line really cannot take fails again.
// False with the system's last error when the block is refused.
bool SetLineState(HANDLE h, const DCB& wanted) {
    DCB dcb = wanted;
    if (SetCommState(h, &dcb) != FALSE) return true;
    const DWORD code = GetLastError();
    if (code == ERROR_INVALID_PARAMETER && wanted.Parity != NOPARITY) {
        DCB cleared = wanted;
        cleared.Parity = NOPARITY;
        dcb = wanted;
        if (SetCommState(h, &cleared) != FALSE && SetCommState(h, &dcb) != FALSE) return true;
    }
    SetLastError(code);
    return false;
}

} // namespace

void TCustomComPort::ApplySettings() {
    auto line = LineOf(state_.get());
    if (!line) return;
    const HANDLE h = line->handle.Get();
    DCB dcb{};
    dcb.DCBlength = kDcbLength;
    Check(*this, GetCommState(h, &dcb) != FALSE);
    // A driver may report a parity that it cannot take back: Wine on a pseudo-terminal, whose
    // kernel drops the parity-enable bit but keeps the odd bit, reports an undefined value. The
    // line then runs without parity, so that is the value kept, and it is set at once: while the
    // odd bit is left over, the kernel refuses (EINVAL) to enable parity again.
    if (dcb.Parity > SPACEPARITY) {
        dcb.Parity = NOPARITY;
        Check(*this, SetCommState(h, &dcb) != FALSE);
    }
    const DCB before = dcb; // the line as it is: what a refused setting leaves
    FillDcb(*this, dcb);
    if (SetLineState(h, dcb)) return;
    // A driver may have taken part of the block before refusing the rest (Wine sets the rate
    // first, then the framing): the line gets its old settings back, then the failure is raised.
    const DWORD code = GetLastError();
    SetLineState(h, before);
    SetLastError(code);
    Check(*this, false);
}

void TCustomComPort::ApplyBuffers() {
    auto line = LineOf(state_.get());
    if (!line) return;
    Check(*this, SetupComm(line->handle.Get(), static_cast<DWORD>(bufferSizes_.Input()),
                           static_cast<DWORD>(bufferSizes_.Output())) != FALSE);
}

void TCustomComPort::ApplyTimeouts() {
    auto line = LineOf(state_.get());
    if (!line) return;
    COMMTIMEOUTS t{};
    Check(*this, GetCommTimeouts(line->handle.Get(), &t) != FALSE);
    t.ReadIntervalTimeout = static_cast<DWORD>(timeouts_.ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(timeouts_.ReadMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(timeouts_.ReadConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(timeouts_.WriteMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(timeouts_.WriteConstant());
    Check(*this, SetCommTimeouts(line->handle.Get(), &t) != FALSE);
}

void TCustomComPort::SetCommEventMask(std::uint32_t mask) {
    // Also ends a pending WaitCommEvent, which then reports no events.
    auto line = LineOf(state_.get());
    if (!line) return;
    Check(*this, SetCommMask(line->handle.Get(), mask) != FALSE);
}

std::optional<std::uint32_t> TCustomComPort::WaitCommEvent() {
    auto held = LineOf(state_.get());
    if (!held) return std::nullopt; // closing
    TLine& s = *held;
    diagnostics::CountEventThreadWakeup();
    s.eventRecord = OVERLAPPED{};
    s.eventRecord.hEvent = s.commEvent.Get();
    DWORD mask = 0;
    if (!::WaitCommEvent(s.handle.Get(), &mask, &s.eventRecord)) {
        DWORD code = GetLastError();
        if (code == ERROR_IO_PENDING) {
            if (!s.WaitFor(s.commEvent.Get(), s.eventRecord)) return std::nullopt; // closing
            DWORD unused = 0;
            code = GetOverlappedResult(s.handle.Get(), &s.eventRecord, &unused, FALSE) ? ERROR_SUCCESS
                                                                                       : GetLastError();
        }
        if (code != ERROR_SUCCESS && code != ERROR_IO_PENDING) {
            SetLastError(ERROR_SUCCESS);
            // Cancelled (a new mask, a stop or a close; Wine cancels where Windows reports no
            // events): the caller goes round and looks again, unless the line is closing.
            if (s.closed) return std::nullopt;
            if (code == ERROR_OPERATION_ABORTED) return 0;
            throw EComError(static_cast<std::int32_t>(code), SystemMessage(code), ekSystem);
        }
    }
    return mask;
}

void TCustomComPort::InterruptCommEvent() noexcept {
    if (auto line = LineOf(state_.get())) SetCommMask(line->handle.Get(), 0);
}

void TCustomComPort::SetCurrentThreadPriority(TThreadPriority priority) noexcept {
    constexpr int kPriorities[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                   THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                   THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                   THREAD_PRIORITY_TIME_CRITICAL};
    ::SetThreadPriority(GetCurrentThread(), kPriorities[priority]);
}

void TCustomComPort::StartRead(void* buffer, std::int32_t length) {
    auto held = UsableLine(*this, state_.get());
    TLine& s = *held;
    s.readLength = static_cast<DWORD>(length);
    s.readRecord = OVERLAPPED{};
    s.readRecord.hEvent = s.readEvent.Get();
    DWORD take = s.readLength;
    if (timeouts_.ReadInterval() == -1 && timeouts_.ReadMultiplier() == 0 && timeouts_.ReadConstant() == 0) {
        // MAXDWORD/0/0 returns what is queued at once. Wine keeps such a read pending while
        // nothing is queued; asking for no more than is queued gives the same everywhere.
        DWORD errors = 0;
        COMSTAT status{};
        Check(*this, ClearCommError(s.handle.Get(), &errors, &status) != FALSE);
        s.carriedErrors |= errors;
        take = std::min(take, status.cbInQue);
        if (take == 0) {
            s.readSkipped = s.readUnchecked = true;
            return;
        }
    }
    Check(*this, ResetEvent(s.readEvent.Get()) != FALSE);
    const bool started = ReadFile(s.handle.Get(), buffer, take, nullptr, &s.readRecord) != FALSE;
    s.readUnchecked = started || GetLastError() == ERROR_IO_PENDING;
    if (!s.readUnchecked) SetEvent(s.readEvent.Get()); // nothing pending after all
    Check(*this, started);
}

void TCustomComPort::StartWrite(const void* buffer, std::int32_t length) {
    auto held = UsableLine(*this, state_.get());
    TLine& s = *held;
    s.writeLength = static_cast<DWORD>(length);
    s.writeRecord = OVERLAPPED{};
    s.writeRecord.hEvent = s.writeEvent.Get();
    Check(*this, ResetEvent(s.writeEvent.Get()) != FALSE);
    const bool started = WriteFile(s.handle.Get(), buffer, s.writeLength, nullptr, &s.writeRecord) != FALSE;
    s.writeUnchecked = started || GetLastError() == ERROR_IO_PENDING;
    if (!s.writeUnchecked) SetEvent(s.writeEvent.Get());
    Check(*this, started);
}

void TCustomComPort::WaitPending(bool write) {
    if (!IsOpen()) {
        CheckOpen();
        return;
    }
    auto held = UsableLine(*this, state_.get());
    TLine& s = *held;
    const HANDLE event = write ? s.writeEvent.Get() : s.readEvent.Get();
    OVERLAPPED& record = write ? s.writeRecord : s.readRecord;
    bool& unchecked = write ? s.writeUnchecked : s.readUnchecked;
    // An operation that ended before this wait is judged all the same: a read that timed out
    // early is still a timeout.
    const bool skipped = !write && s.readSkipped;
    s.readSkipped = s.readSkipped && write;
    if (unchecked && skipped) {
        unchecked = false;
        RaiseError(ceComponent, kMsgTimeout, ekTimeout); // nothing was queued
    }
    if (unchecked) {
        unchecked = false;
        if (!s.WaitFor(event, record)) RaiseClosed(*this);
        DWORD transferred = 0;
        const bool done = GetOverlappedResult(s.handle.Get(), &record, &transferred, FALSE) != FALSE;
        // Windows completes a transfer that ran out of time with a short count; Wine fails it
        // with ERROR_TIMEOUT when nothing at all was transferred. Both are the same timeout.
        if (!done && GetLastError() == ERROR_TIMEOUT) {
            SetLastError(ERROR_SUCCESS);
            RaiseError(ceComponent, kMsgTimeout, ekTimeout);
        }
        if (!done && s.closed) RaiseClosed(*this); // cancelled by a close
        Check(*this, done);
        if (transferred != (write ? s.writeLength : s.readLength))
            RaiseError(ceComponent, kMsgTimeout, ekTimeout);
    }
    DWORD errors = 0;
    Check(*this, ClearCommError(s.handle.Get(), &errors, nullptr) != FALSE);
    errors |= std::exchange(s.carriedErrors, 0);
    held.reset();
    CheckLineErrors(errors);
}

std::int32_t TCustomComPort::TakeQueued(void* buffer, std::int32_t length, std::int32_t waitMs) {
    if (UsableLine(*this, state_.get())->readUnchecked) WaitPending(false); // a read started earlier
    auto held = UsableLine(*this, state_.get());
    TLine& s = *held;
    auto* out = static_cast<std::uint8_t*>(buffer);
    // One overlapped read of `n` bytes; returns how many arrived before the time-outs ended it.
    auto transfer = [&](std::uint8_t* to, DWORD n) -> DWORD {
        s.readRecord = OVERLAPPED{};
        s.readRecord.hEvent = s.readEvent.Get();
        Check(*this, ResetEvent(s.readEvent.Get()) != FALSE);
        const bool started = ReadFile(s.handle.Get(), to, n, nullptr, &s.readRecord) != FALSE;
        if (!started && GetLastError() != ERROR_IO_PENDING) {
            SetEvent(s.readEvent.Get()); // nothing pending after all
            Check(*this, false);
        }
        if (!s.WaitFor(s.readEvent.Get(), s.readRecord)) RaiseClosed(*this);
        DWORD transferred = 0;
        if (GetOverlappedResult(s.handle.Get(), &s.readRecord, &transferred, FALSE) != FALSE)
            return transferred;
        if (GetLastError() == ERROR_TIMEOUT) return 0; // Wine: nothing arrived in time
        if (s.closed) RaiseClosed(*this);
        Check(*this, false);
        return 0;
    };

    DWORD errors = 0;
    COMSTAT status{};
    Check(*this, ClearCommError(s.handle.Get(), &errors, &status) != FALSE);
    DWORD taken = 0;
    if (status.cbInQue == 0 && waitMs > 0) {
        // Nothing queued: wait for the first byte under a total time-out of its own, then put the
        // port's time-outs back, whatever happened.
        COMMTIMEOUTS first{};
        Check(*this, GetCommTimeouts(s.handle.Get(), &first) != FALSE);
        const COMMTIMEOUTS own = first;
        first.ReadIntervalTimeout = 0;
        first.ReadTotalTimeoutMultiplier = 0;
        first.ReadTotalTimeoutConstant = static_cast<DWORD>(waitMs);
        Check(*this, SetCommTimeouts(s.handle.Get(), &first) != FALSE);
        struct Restore {
            HANDLE h;
            COMMTIMEOUTS t;
            ~Restore() { SetCommTimeouts(h, &t); }
        } restore{s.handle.Get(), own};
        taken = transfer(out, 1);
        DWORD more = 0;
        Check(*this, ClearCommError(s.handle.Get(), &more, &status) != FALSE);
        errors |= more;
    }
    const DWORD rest = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(length) - taken);
    if (rest > 0) taken += transfer(out + taken, rest); // queued: completes at once under any time-outs
    errors |= std::exchange(s.carriedErrors, 0);
    held.reset();
    CheckLineErrors(errors);
    return static_cast<std::int32_t>(taken);
}

std::uint32_t TCustomComPort::ClearErrors(std::int32_t* inQueue) {
    // No closed-port guard: on a closed port the call fails with the system's invalid-handle code.
    auto line = LineOf(state_.get());
    const HANDLE h = line ? line->handle.Get() : INVALID_HANDLE_VALUE;
    DWORD errors = 0;
    COMSTAT status{};
    Check(*this, ClearCommError(h, &errors, &status) != FALSE, line ? ekSystem : ekClosedPort);
    if (inQueue) *inQueue = static_cast<std::int32_t>(status.cbInQue);
    return errors;
}

TModemStatus TCustomComPort::ModemStatus() {
    CheckOpen();
    auto line = UsableLine(*this, state_.get());
    DWORD bits = 0;
    Check(*this, GetCommModemStatus(line->handle.Get(), &bits) != FALSE);
    TModemStatus status;
    if (bits & MS_CTS_ON) status.Include(msCTS);
    if (bits & MS_DSR_ON) status.Include(msDSR);
    if (bits & MS_RING_ON) status.Include(msRing);
    if (bits & MS_RLSD_ON) status.Include(msRLSD);
    return status;
}

void EnumComPorts(std::vector<std::string>& list) {
    std::vector<char> buffer(kDeviceListSize);
    const DWORD n = QueryDosDeviceA(nullptr, buffer.data(), kDeviceListLimit);
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (buffer[i] != '\0') continue;
        std::string name(buffer.data() + start, i - start);
        if (StartsWith(name, kComPrefix) || StartsWith(name, kDeviceComPrefix))
            list.push_back(std::move(name));
        start = i + 1;
    }
}

bool ComPortListed(const std::string& device) {
    // The system's list as a whole: Windows has no cheaper test that agrees with it (a name that
    // opens need not be listed).
    std::vector<std::string> ports;
    EnumComPorts(ports);
    const std::string prefix = "\\\\.\\";
    const bool prefixed = device.compare(0, prefix.size(), prefix) == 0;
    return std::any_of(ports.begin(), ports.end(), [&](const std::string& entry) {
        return entry == device ||
               (prefixed && entry.compare(0, std::string::npos, device, prefix.size()) == 0);
    });
}

void ComPortTryOpen(const std::string& device) {
    // Opened as Open opens it (no sharing: the system refuses a second opener) and closed at once.
    SetLastError(ERROR_SUCCESS);
    UniqueHandle probe;
    probe.Reset(CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe.Valid()) return;
    const DWORD code = GetLastError();
    if (code == ERROR_SUCCESS) return; // failed without a code, as Open takes it: nothing to report
    SetLastError(ERROR_SUCCESS);
    throw EComError(static_cast<std::int32_t>(code), SystemMessage(code), ekOpen);
}

} // namespace tarvik::comport
