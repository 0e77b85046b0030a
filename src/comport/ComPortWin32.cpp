// Win32 backend of the port component: the device handle with overlapped reads and writes on
// kernel32's communications API. Every Win32 call that can fail goes through Check: a failure whose
// last-error code is neither 0 nor ERROR_IO_PENDING becomes an EComError with the system's text.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "ComPort.h"

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

struct TPortState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE readEvent = nullptr;  // manual reset; signalled while no read is pending
    HANDLE writeEvent = nullptr; // manual reset; signalled while no write is pending
    OVERLAPPED readRecord{};
    OVERLAPPED writeRecord{};
    OVERLAPPED eventRecord{}; // its auto-reset event serves the event thread
    DWORD readLength = 0;     // byte counts of the last ReadFile / WriteFile started
    DWORD writeLength = 0;
    bool readUnchecked = false; // started, and its outcome not yet looked at
    bool writeUnchecked = false;
    DWORD savedPriority = kNoPriority;
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

// Ends an operation that is still under way so that the system no longer writes into its record
// or buffer once the handle is gone.
void FinishPending(HANDLE handle, HANDLE event, OVERLAPPED& record) {
    if (event == nullptr || WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return;
    CancelIo(handle);
    DWORD transferred = 0;
    GetOverlappedResult(handle, &record, &transferred, TRUE);
}

void CloseIfPresent(HANDLE& h) {
    if (h != nullptr) CloseHandle(h);
    h = nullptr;
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

} // namespace

void TCustomComPort::StateDeleter::operator()(TPortState* s) const noexcept {
    // Close normally releases everything; this only guards against a state dropped while holding.
    if (s->handle != INVALID_HANDLE_VALUE) CloseHandle(s->handle);
    CloseIfPresent(s->writeEvent);
    CloseIfPresent(s->readEvent);
    CloseIfPresent(s->eventRecord.hEvent);
    delete s;
}

namespace {

// The Win32 result check.
void Check(TCustomComPort& port, bool succeeded, TComErrorKind kind = ekSystem) {
    if (succeeded) return;
    const DWORD code = GetLastError();
    if (code == ERROR_SUCCESS || code == ERROR_IO_PENDING) return;
    SetLastError(ERROR_SUCCESS);
    port.RaiseError(static_cast<std::int32_t>(code), SystemMessage(code), kind);
}

} // namespace

bool TCustomComPort::IsOpen() const noexcept {
    return state_ && state_->handle != INVALID_HANDLE_VALUE;
}

void TCustomComPort::CreateHandle() {
    ReleaseHandle();
    if (!state_) state_.reset(new TPortState);
    TPortState& s = *state_;
    SetLastError(ERROR_SUCCESS);

    if (priorityClass_ != pcDefault) {
        // Not checked: a class the system lowers or refuses leaves the port usable.
        s.savedPriority = GetPriorityClass(GetCurrentProcess());
        ::SetPriorityClass(GetCurrentProcess(), PriorityClassCode(priorityClass_));
    }

    s.eventRecord = OVERLAPPED{};
    s.eventRecord.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Check(*this, s.eventRecord.hEvent != nullptr);
    s.readEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    Check(*this, s.readEvent != nullptr);
    s.writeEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    Check(*this, s.writeEvent != nullptr);

    s.handle = CreateFileA(deviceName_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    Check(*this, s.handle != INVALID_HANDLE_VALUE, ekOpen);
    if (s.handle == INVALID_HANDLE_VALUE) return; // failed without a code: stays closed

    Check(*this, PurgeComm(s.handle, PURGE_RXABORT | PURGE_RXCLEAR) != FALSE);
    Check(*this, PurgeComm(s.handle, PURGE_TXABORT | PURGE_TXCLEAR) != FALSE);
    ApplyBuffers();
    ApplySettings();
    ApplyTimeouts();
    ApplyEventMask(); // starts the event thread when handlers are assigned
}

void TCustomComPort::ReleaseHandle() noexcept {
    if (!state_) return;
    TPortState& s = *state_;
    if (s.handle != INVALID_HANDLE_VALUE) {
        FinishPending(s.handle, s.writeEvent, s.writeRecord);
        FinishPending(s.handle, s.readEvent, s.readRecord);
        s.readUnchecked = s.writeUnchecked = false;
        CloseHandle(s.handle);
        s.handle = INVALID_HANDLE_VALUE;
    }
    CloseIfPresent(s.writeEvent);
    CloseIfPresent(s.readEvent);
    CloseIfPresent(s.eventRecord.hEvent);
    if (s.savedPriority != kNoPriority) {
        ::SetPriorityClass(GetCurrentProcess(), s.savedPriority);
        s.savedPriority = kNoPriority;
    }
}

void TCustomComPort::ApplySettings() {
    if (!IsOpen()) return;
    const HANDLE h = state_->handle;
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

    if (baudRate_ != brDefault)
        dcb.BaudRate = static_cast<DWORD>(baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_));
    if (dataBits_ != dbDefault) dcb.ByteSize = static_cast<BYTE>(DataBitsCode(dataBits_));
    if (parity_ != paDefault) dcb.Parity = static_cast<BYTE>(ParityCode(parity_));
    if (stopBits_ != sbDefault) dcb.StopBits = static_cast<BYTE>(StopBitsCode(stopBits_));

    dcb.XonChar = static_cast<char>(characters_.XOn());
    dcb.XoffChar = static_cast<char>(characters_.XOff());
    dcb.ErrorChar = static_cast<char>(characters_.Error());
    dcb.EofChar = static_cast<char>(characters_.Eof());
    dcb.EvtChar = static_cast<char>(characters_.Event());

    std::uint32_t flags = 0;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + kDcbFlagsOffset, sizeof flags);
    if (flowControl_.DTR() != dcDefault) flags = (flags & ~kDtrField) | DTRFlags(flowControl_.DTR());
    if (flowControl_.RTS() != rcDefault) flags = (flags & ~kRtsField) | RTSFlags(flowControl_.RTS());
    if (flowControl_.XOnXOff() != xcDefault)
        flags = (flags & ~kXOnXOffField) | XOnXOffFlags(flowControl_.XOnXOff());
    for (int o = opCheckParity; o <= opAbortOnError; ++o) {
        const auto option = static_cast<TOption>(o);
        if (options_.Contains(option))
            flags |= OptionFlag(option);
        else
            flags &= ~OptionFlag(option);
    }
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + kDcbFlagsOffset, &flags, sizeof flags);

    dcb.XonLim = flowControl_.XOnLimit();
    dcb.XoffLim = flowControl_.XOffLimit();
    Check(*this, SetCommState(h, &dcb) != FALSE);
}

void TCustomComPort::ApplyBuffers() {
    if (!IsOpen()) return;
    Check(*this, SetupComm(state_->handle, static_cast<DWORD>(bufferSizes_.Input()),
                           static_cast<DWORD>(bufferSizes_.Output())) != FALSE);
}

void TCustomComPort::ApplyTimeouts() {
    if (!IsOpen()) return;
    COMMTIMEOUTS t{};
    Check(*this, GetCommTimeouts(state_->handle, &t) != FALSE);
    t.ReadIntervalTimeout = static_cast<DWORD>(timeouts_.ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(timeouts_.ReadMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(timeouts_.ReadConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(timeouts_.WriteMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(timeouts_.WriteConstant());
    Check(*this, SetCommTimeouts(state_->handle, &t) != FALSE);
}

void TCustomComPort::SetCommEventMask(std::uint32_t mask) {
    // Also ends a pending WaitCommEvent, which then reports no events.
    if (!IsOpen()) return;
    Check(*this, SetCommMask(state_->handle, mask) != FALSE);
}

std::uint32_t TCustomComPort::WaitCommEvent() {
    TPortState& s = *state_;
    const HANDLE event = s.eventRecord.hEvent;
    s.eventRecord = OVERLAPPED{};
    s.eventRecord.hEvent = event;
    DWORD mask = 0;
    if (!::WaitCommEvent(s.handle, &mask, &s.eventRecord)) {
        DWORD code = GetLastError();
        if (code == ERROR_IO_PENDING) {
            DWORD unused = 0;
            code =
                GetOverlappedResult(s.handle, &s.eventRecord, &unused, TRUE) ? ERROR_SUCCESS : GetLastError();
        }
        if (code != ERROR_SUCCESS && code != ERROR_IO_PENDING) {
            SetLastError(ERROR_SUCCESS);
            throw EComError(static_cast<std::int32_t>(code), SystemMessage(code), ekSystem);
        }
    }
    return mask;
}

void TCustomComPort::InterruptCommEvent() noexcept {
    if (IsOpen()) SetCommMask(state_->handle, 0);
}

void TCustomComPort::SetCurrentThreadPriority(TThreadPriority priority) noexcept {
    constexpr int kPriorities[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                   THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                   THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                   THREAD_PRIORITY_TIME_CRITICAL};
    ::SetThreadPriority(GetCurrentThread(), kPriorities[priority]);
}

void TCustomComPort::StartRead(void* buffer, std::int32_t length) {
    TPortState& s = *state_;
    s.readLength = static_cast<DWORD>(length);
    s.readRecord = OVERLAPPED{};
    s.readRecord.hEvent = s.readEvent;
    Check(*this, ResetEvent(s.readEvent) != FALSE);
    Check(*this, ReadFile(s.handle, buffer, s.readLength, nullptr, &s.readRecord) != FALSE);
    s.readUnchecked = true;
}

void TCustomComPort::StartWrite(const void* buffer, std::int32_t length) {
    TPortState& s = *state_;
    s.writeLength = static_cast<DWORD>(length);
    s.writeRecord = OVERLAPPED{};
    s.writeRecord.hEvent = s.writeEvent;
    Check(*this, ResetEvent(s.writeEvent) != FALSE);
    Check(*this, WriteFile(s.handle, buffer, s.writeLength, nullptr, &s.writeRecord) != FALSE);
    s.writeUnchecked = true;
}

void TCustomComPort::WaitPending(bool write) {
    if (state_) {
        TPortState& s = *state_;
        const HANDLE event = write ? s.writeEvent : s.readEvent;
        bool& unchecked = write ? s.writeUnchecked : s.readUnchecked;
        // A closed port has no events and nothing pending. An operation that ended before this
        // wait is judged all the same: a read that timed out early is still a timeout.
        if (event != nullptr && unchecked) {
            unchecked = false;
            DWORD transferred = 0;
            const bool done = GetOverlappedResult(s.handle, write ? &s.writeRecord : &s.readRecord,
                                                  &transferred, TRUE) != FALSE;
            // Windows completes a transfer that ran out of time with a short count; Wine fails it
            // with ERROR_TIMEOUT when nothing at all was transferred. Both are the same timeout.
            if (!done && GetLastError() == ERROR_TIMEOUT) {
                SetLastError(ERROR_SUCCESS);
                RaiseError(ceComponent, kMsgTimeout, ekTimeout);
            }
            Check(*this, done);
            if (transferred != (write ? s.writeLength : s.readLength))
                RaiseError(ceComponent, kMsgTimeout, ekTimeout);
        }
    }
    CheckOpen();
    DWORD errors = 0;
    Check(*this, ClearCommError(state_->handle, &errors, nullptr) != FALSE);
    CheckLineErrors(errors);
}

std::uint32_t TCustomComPort::ClearErrors(std::int32_t* inQueue) {
    // No closed-port guard: on a closed port the call fails with the system's invalid-handle code.
    const HANDLE h = state_ ? state_->handle : INVALID_HANDLE_VALUE;
    DWORD errors = 0;
    COMSTAT status{};
    Check(*this, ClearCommError(h, &errors, &status) != FALSE);
    if (inQueue) *inQueue = static_cast<std::int32_t>(status.cbInQue);
    return errors;
}

TModemStatus TCustomComPort::ModemStatus() {
    CheckOpen();
    DWORD bits = 0;
    Check(*this, GetCommModemStatus(state_->handle, &bits) != FALSE);
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

} // namespace tarvik::comport
