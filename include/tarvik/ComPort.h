// ComPort: the serial-port component. Platform-neutral settings, events and the exception class;
// the open/close/transfer layer lives in one backend per platform (src/comport/ComPortPosix.cpp,
// ComPortWin32.cpp), chosen by the build, behind the private hooks of TCustomComPort.
//
// C++ hosts link the static library Tarvik::tarvik_comport (find_package(Tarvik)) and include
// <tarvik/ComPort.h>, and <tarvik/ComThread.h> for synchronised event handlers; docs/comport.md
// shows a complete use.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarvik::comport {

enum TBaudRate {
    brDefault,
    br50,
    br75,
    br110,
    br150,
    br300,
    br600,
    br1200,
    br1800,
    br2000,
    br2400,
    br3600,
    br4800,
    br7200,
    br9600,
    br10400,
    br14400,
    br15625,
    br19200,
    br28800,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brCustom
};
// Bit/s of a member other than brDefault and brCustom; 0 for those two.
std::int32_t BaudRateValue(TBaudRate rate);

enum TParity { paDefault, paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sbDefault, sb1, sb1_5, sb2 };
enum TDataBits { dbDefault, db4, db5, db6, db7, db8 };
enum TDTRControl { dcDefault, dcDisable, dcEnable, dcHandshake };
enum TRTSControl { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum TXOnXOffControl { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };
enum TOption {
    opCheckParity,
    opOutputCTSFlow,
    opOutputDSRFlow,
    opDSRSensitivity,
    opTXContinueOnXOff,
    opUseErrorChar,
    opDiscardNullBytes,
    opAbortOnError
};
enum TPriorityClass { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
enum TLineError {
    leBreak,
    leDeviceNotSelected,
    leFrame,
    leIO,
    leMode,
    leOutOfPaper,
    leOverrun,
    leDeviceTimeOut,
    leRxOverflow,
    leParity,
    leTxFull
};
enum TModemStatusValue { msCTS, msDSR, msRing, msRLSD };
enum TComAction { caFail, caAbort };

// Small bit sets over the enumerations above (member n is bit n).
template <class E>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> members) {
        for (E m : members)
            bits_ |= Bit(m);
    }
    constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
    constexpr void Include(E m) { bits_ |= Bit(m); }
    constexpr void Exclude(E m) { bits_ &= ~Bit(m); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr std::uint32_t Bits() const { return bits_; }
    static constexpr TSet FromBits(std::uint32_t bits) {
        TSet s;
        s.bits_ = bits;
        return s;
    }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr std::uint32_t Bit(E m) { return 1u << static_cast<unsigned>(m); }
    std::uint32_t bits_ = 0;
};
using TOptions = TSet<TOption>;
using TLineErrors = TSet<TLineError>;
using TModemStatus = TSet<TModemStatusValue>;

// Win32 codes of the device control block and the event mask, shared by both backends.
std::uint32_t ParityCode(TParity p);           // paNone 0 .. paSpace 4
std::uint32_t StopBitsCode(TStopBits s);       // sb1 0, sb1_5 1, sb2 2
std::uint32_t DataBitsCode(TDataBits d);       // db4 4 .. db8 8
std::uint32_t DTRFlags(TDTRControl c);         // dcDisable 0, dcEnable 0x10, dcHandshake 0x20
std::uint32_t RTSFlags(TRTSControl c);         // 0, 0x1000, 0x2000, 0x3000
std::uint32_t XOnXOffFlags(TXOnXOffControl c); // 0, 0x200, 0x100, 0x300
std::uint32_t OptionFlag(TOption o);           // one DCB flag bit
std::uint32_t PriorityClassCode(TPriorityClass c);
TLineErrors LineErrorsFromBits(std::uint32_t clearCommErrorBits);
std::uint32_t LineErrorBits(TLineErrors errors);

// Event mask bits (the Win32 EV_* values), one per line event.
inline constexpr std::uint32_t evRxChar = 0x1;
inline constexpr std::uint32_t evRxFlag = 0x2;
inline constexpr std::uint32_t evTxEmpty = 0x4;
inline constexpr std::uint32_t evCTS = 0x8;
inline constexpr std::uint32_t evDSR = 0x10;
inline constexpr std::uint32_t evRLSD = 0x20;
inline constexpr std::uint32_t evBreak = 0x40;
inline constexpr std::uint32_t evErr = 0x80;
inline constexpr std::uint32_t evRing = 0x100;
inline constexpr std::uint32_t evPErr = 0x200;
inline constexpr std::uint32_t evRx80Full = 0x400;
inline constexpr std::uint32_t evEvent1 = 0x800;
inline constexpr std::uint32_t evEvent2 = 0x1000;

// Error codes carried by EComError (the Win32 codes of the same meaning on every platform).
enum ComErrorCode : std::int32_t {
    ceComponent = 0,         // the component's own errors
    ceFileNotFound = 2,      // the device does not exist
    ceAccessDenied = 5,      // the device is held by another program, or may not be opened
    ceInvalidHandle = 6,     // the handle is not open, or the device is not a serial port
    ceGenFailure = 31,       // any other failure of the device
    ceInvalidParameter = 87, // a setting the line cannot take
    ceIoPending = 997        // not an error: an overlapped operation is under way
};

// What kind of failure an EComError reports, for callers that must tell them apart without
// comparing texts.
enum TComErrorKind {
    ekSystem,     // a system call on the open port failed
    ekTimeout,    // a read or write ended with fewer bytes than asked for
    ekClosedPort, // the port is closed, or was closed while the operation waited
    ekOpen,       // the open failed: the device is absent, held, or not a serial line
    ekComponent   // the component's other errors: open port, no thread, a bad parameter
};

// Failure of the serial component: a Win32 error code (0 for the component's own errors), a text
// and the kind. Without an explicit kind, code 0 is a component error and any other a system one.
class EComError : public std::runtime_error {
public:
    EComError(std::int32_t code, const std::string& message)
        : EComError(code, message, code == ceComponent ? ekComponent : ekSystem) {}
    EComError(std::int32_t code, const std::string& message, TComErrorKind kind)
        : std::runtime_error(message), ErrorCode(code), Kind(kind) {}
    std::int32_t ErrorCode;
    TComErrorKind Kind;
};

// The silent abort that replaces an EComError when OnError answers caAbort.
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

inline constexpr const char* kMsgClosedPort = "Can't perform this operation on a closed port";
inline constexpr const char* kMsgOpenPort = "Can't perform this operation on an open port";
inline constexpr const char* kMsgCreateThread = "Can't create thread";
inline constexpr const char* kMsgTimeout = "Timeout";

class TCustomComPort;
class TComThread;

// Event handler types.
using TNotifyEvent = std::function<void(TCustomComPort& sender)>;
using TRWEvent =
    std::function<void(TCustomComPort& sender, void* buffer, std::int32_t length, bool waitOnCompletion)>;
using TComErrorEvent = std::function<void(TCustomComPort& sender, EComError& error, TComAction& action)>;
using TLineErrorEvent = std::function<void(TCustomComPort& sender, TLineErrors errors)>;

// Setting groups: each keeps a reference to its port and re-applies its group when one of its
// values changes while the port is open.
class TFlowControl {
public:
    explicit TFlowControl(TCustomComPort& port) : port_(port) {}
    TDTRControl DTR() const { return dtr_; }
    TRTSControl RTS() const { return rts_; }
    TXOnXOffControl XOnXOff() const { return xonxoff_; }
    std::uint16_t XOnLimit() const { return xonLimit_; }
    std::uint16_t XOffLimit() const { return xoffLimit_; }
    void SetDTR(TDTRControl v);
    void SetRTS(TRTSControl v);
    void SetXOnXOff(TXOnXOffControl v);
    void SetXOnLimit(std::uint16_t v);
    void SetXOffLimit(std::uint16_t v);

private:
    TCustomComPort& port_;
    TDTRControl dtr_ = dcDefault;
    TRTSControl rts_ = rcDefault;
    TXOnXOffControl xonxoff_ = xcDefault;
    std::uint16_t xonLimit_ = 0;
    std::uint16_t xoffLimit_ = 0;
};

class TCharacters {
public:
    explicit TCharacters(TCustomComPort& port) : port_(port) {}
    std::uint8_t XOn() const { return xon_; }
    std::uint8_t XOff() const { return xoff_; }
    std::uint8_t Error() const { return error_; }
    std::uint8_t Eof() const { return eof_; }
    std::uint8_t Event() const { return event_; }
    void SetXOn(std::uint8_t v);
    void SetXOff(std::uint8_t v);
    void SetError(std::uint8_t v);
    void SetEof(std::uint8_t v);
    void SetEvent(std::uint8_t v);

private:
    TCustomComPort& port_;
    std::uint8_t xon_ = 17;
    std::uint8_t xoff_ = 19;
    std::uint8_t error_ = 0;
    std::uint8_t eof_ = 0;
    std::uint8_t event_ = 0;
};

class TBufferSizes {
public:
    explicit TBufferSizes(TCustomComPort& port) : port_(port) {}
    std::int32_t Input() const { return input_; }
    std::int32_t Output() const { return output_; }
    void SetInput(std::int32_t v);
    void SetOutput(std::int32_t v);

private:
    TCustomComPort& port_;
    std::int32_t input_ = 4096;
    std::int32_t output_ = 2048;
};

class TTimeouts {
public:
    explicit TTimeouts(TCustomComPort& port) : port_(port) {}
    std::int32_t ReadInterval() const { return readInterval_; }
    std::int32_t ReadMultiplier() const { return readMultiplier_; }
    std::int32_t ReadConstant() const { return readConstant_; }
    std::int32_t WriteMultiplier() const { return writeMultiplier_; }
    std::int32_t WriteConstant() const { return writeConstant_; }
    void SetReadInterval(std::int32_t v);
    void SetReadMultiplier(std::int32_t v);
    void SetReadConstant(std::int32_t v);
    void SetWriteMultiplier(std::int32_t v);
    void SetWriteConstant(std::int32_t v);

private:
    TCustomComPort& port_;
    std::int32_t readInterval_ = 0;
    std::int32_t readMultiplier_ = 0;
    std::int32_t readConstant_ = 0;
    std::int32_t writeMultiplier_ = 0;
    std::int32_t writeConstant_ = 0;
};

// The platform's open-port state (handle or descriptor, events, pending operations).
struct TPortState;

// The port object. Not copyable. Reads and writes from several threads are serialised: a second
// reader (or writer) waits until the first is done, and a close releases it with the closed-port
// error.
class TCustomComPort {
public:
    explicit TCustomComPort(void* owner = nullptr);
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // Settings (see the setter rules in ComPort.cpp).
    const std::string& DeviceName() const { return deviceName_; }
    void SetDeviceName(const std::string& name);
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate v);
    std::int32_t CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(std::int32_t v);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits v);
    TParity Parity() const { return parity_; }
    void SetParity(TParity v);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits v);
    TOptions Options() const { return options_; }
    void SetOptions(TOptions v);
    bool SynchronizeEvents() const { return synchronizeEvents_; }
    void SetSynchronizeEvents(bool v);
    TPriorityClass PriorityClass() const { return priorityClass_; }
    void SetPriorityClass(TPriorityClass v);
    TThreadPriority ThreadPriority() const { return threadPriority_; }
    void SetThreadPriority(TThreadPriority v); // passed on to a running event thread
    bool Active() const { return IsOpen(); }
    void SetActive(bool v);
    // While loading from stored component data, Active is only remembered until EndLoading.
    void BeginLoading() { loading_ = true; }
    void EndLoading();
    std::string About() const;
    void SetAbout(const std::string&) {}

    TFlowControl& FlowControl() { return flowControl_; }
    TCharacters& Characters() { return characters_; }
    TBufferSizes& BufferSizes() { return bufferSizes_; }
    TTimeouts& Timeouts() { return timeouts_; }
    const TFlowControl& FlowControl() const { return flowControl_; }
    const TCharacters& Characters() const { return characters_; }
    const TBufferSizes& BufferSizes() const { return bufferSizes_; }
    const TTimeouts& Timeouts() const { return timeouts_; }

    // Operations. Open and Close may be called from any thread; one runs at a time, whole (a
    // second caller waits for the first), except on the port's event thread, which never waits for
    // a thread that may be waiting for it: see Close.
    // Open carries out a handler's close that still waits for the main thread, then opens.
    void Open();
    // Close ends every pending wait of other threads (they raise EComError of kind ekClosedPort)
    // and never waits for a thread that waits for the caller. Called on the event thread while a
    // main thread is attached, or while another thread opens or closes the port, it ends the
    // waits at once and hands the rest of the close to the main thread, or to that other thread
    // once it is done: until then Active() still reports true, while every transfer already
    // raises the closed-port error.
    void Close() noexcept;
    // A negative length raises EComError code 87 (ceInvalidParameter).
    void Read(void* buffer, std::int32_t length, bool waitOnCompletion);
    void Write(const void* buffer, std::int32_t length, bool waitOnCompletion);
    void WriteStr(const std::string& text);
    void ReadStr(std::string& text);
    std::uint8_t ReadChar();
    std::int32_t InputCount();
    // For hosts that poll: takes the bytes queued now, at most `length`, into `buffer` and returns
    // how many. With none queued it waits up to `waitMs` for the first to arrive; 0 when none came
    // (no time-out error). The Timeouts are not used. BeforeRead/AfterRead see the call as a Read
    // that waits (AfterRead with the count taken). A negative length or wait raises code 87.
    std::int32_t ReadAvailable(void* buffer, std::int32_t length, std::int32_t waitMs);
    TModemStatus ModemStatus();
    bool IsOpen() const noexcept;

    // Events. Assigning one on an open port recomputes the event mask.
    void SetBeforeOpen(TNotifyEvent h) { beforeOpen_ = std::move(h); }
    void SetAfterOpen(TNotifyEvent h) { afterOpen_ = std::move(h); }
    void SetBeforeClose(TNotifyEvent h) { beforeClose_ = std::move(h); }
    void SetAfterClose(TNotifyEvent h) { afterClose_ = std::move(h); }
    void SetBeforeRead(TRWEvent h) { beforeRead_ = std::move(h); }
    void SetAfterRead(TRWEvent h) { afterRead_ = std::move(h); }
    void SetBeforeWrite(TRWEvent h) { beforeWrite_ = std::move(h); }
    void SetAfterWrite(TRWEvent h) { afterWrite_ = std::move(h); }
    void SetOnError(TComErrorEvent h) { onError_ = std::move(h); }
    // Line events run on the event thread, or through TMainThread (ComThread.h) when
    // SynchronizeEvents is true. A handler may call Close; it must not destroy its port.
    void SetOnLineError(TLineErrorEvent h);
    void SetOnBreak(TNotifyEvent h) { SetLineEvent(onBreak_, std::move(h)); }
    void SetOnCTSChange(TNotifyEvent h) { SetLineEvent(onCTSChange_, std::move(h)); }
    void SetOnDSRChange(TNotifyEvent h) { SetLineEvent(onDSRChange_, std::move(h)); }
    void SetOnEvent1(TNotifyEvent h) { SetLineEvent(onEvent1_, std::move(h)); }
    void SetOnEvent2(TNotifyEvent h) { SetLineEvent(onEvent2_, std::move(h)); }
    void SetOnPrinterError(TNotifyEvent h) { SetLineEvent(onPrinterError_, std::move(h)); }
    void SetOnRing(TNotifyEvent h) { SetLineEvent(onRing_, std::move(h)); }
    void SetOnRLSDChange(TNotifyEvent h) { SetLineEvent(onRLSDChange_, std::move(h)); }
    void SetOnRx80PercFull(TNotifyEvent h) { SetLineEvent(onRx80PercFull_, std::move(h)); }
    void SetOnRxChar(TNotifyEvent h) { SetLineEvent(onRxChar_, std::move(h)); }
    void SetOnRxFlag(TNotifyEvent h) { SetLineEvent(onRxFlag_, std::move(h)); }
    void SetOnTxEmpty(TNotifyEvent h) { SetLineEvent(onTxEmpty_, std::move(h)); }

    // The event mask built from the assigned handlers (Win32 EV_* bits).
    std::uint32_t EventMask() const;

    // Raises EComError through OnError (caAbort turns it into EAbort). Used by the backends.
    [[noreturn]] void RaiseError(std::int32_t code, const std::string& message, TComErrorKind kind);

    // Called by the setting groups and setters: re-apply a group on an open port.
    void ApplySettings();
    void ApplyBuffers();
    void ApplyTimeouts();

protected:
    // The overridable handle-creating step of Open.
    virtual void CreateHandle();

private:
    friend class TComThread;
    // Backend hooks, defined once per platform (ComPortPosix.cpp / ComPortWin32.cpp).
    void ReleaseHandle() noexcept; // release handle, events, thread; restore priority
    // Ends every wait on the port at once (they raise the closed-port error) and refuses new
    // transfers; the release itself follows. For a Close handed over to the main thread.
    void AbortWaits() noexcept;
    void StartRead(void* buffer, std::int32_t length);
    void StartWrite(const void* buffer, std::int32_t length);
    void WaitPending(bool write); // waits for a pending read or write, then checks line errors
    std::int32_t TakeQueued(void* buffer, std::int32_t length, std::int32_t waitMs); // ReadAvailable
    std::uint32_t ClearErrors(std::int32_t* inQueue); // ClearCommError: error bits, queue size
    void SetCommEventMask(std::uint32_t mask);        // SetCommMask
    // Event thread: waits for events of the mask; 0 when interrupted, nothing when the line is
    // closing (there is nothing left to wait for); raises EComError (without OnError) when the
    // wait fails.
    std::optional<std::uint32_t> WaitCommEvent();
    void InterruptCommEvent() noexcept; // makes a waiting WaitCommEvent return
    static void SetCurrentThreadPriority(TThreadPriority priority) noexcept;

    void DispatchEvents(std::uint32_t events, const std::atomic<bool>& stop); // on the event thread
    void RunEventHandlers(std::uint32_t events);
    // Stops the event thread and waits until no stopped one runs (but the caller); `bar` also
    // refuses new ones until the next Open (a close).
    void StopEventThread(bool bar = true) noexcept;
    void ThreadEnded(TComThread& thread) noexcept; // a thread that ends on its own lets go
    // Closing: transfers waiting for their turn raise the closed-port error (until an open).
    void ReleaseWaitingTransfers(bool closing) noexcept;
    void JoinRetiredThreads(bool all) noexcept; // all: also those still running a handler
    // Whether the caller is the event thread, or a stopped one that another thread joins: a
    // thread that nobody may wait for.
    bool OnEventThread() const noexcept;
    template <class Handler> // TNotifyEvent or TLineErrorEvent (instantiated in ComPort.cpp)
    void SetLineEvent(Handler& slot, Handler h);
    void ApplyEventMask();
    bool UpdateEventThread(bool onEventThread); // one look at the mask; true: no thread could start
    void CloseLocked() noexcept;                // the close proper, under lifeMutex_
    void HandOverClose() noexcept;              // a close the event thread cannot carry out now
    void CarryOutHandedOverClose() noexcept;    // after lifeMutex_ was let go
    void CheckOpen() const;                     // the closed-port guard
    void CheckClosedForChange(bool changed);
    void CheckLineErrors(std::uint32_t errorBits);
    void CheckLength(std::int32_t length);

    std::string deviceName_ = "COM1";
    TBaudRate baudRate_ = brDefault;
    std::int32_t customBaudRate_ = 0;
    TDataBits dataBits_ = dbDefault;
    TParity parity_ = paDefault;
    TStopBits stopBits_ = sbDefault;
    TOptions options_;
    bool synchronizeEvents_ = true;
    TPriorityClass priorityClass_ = pcDefault;
    std::atomic<TThreadPriority> threadPriority_{tpTimeCritical}; // read by the event thread
    bool loading_ = false;
    bool activeWhenLoaded_ = false;

    TFlowControl flowControl_;
    TCharacters characters_;
    TBufferSizes bufferSizes_;
    TTimeouts timeouts_;

    TNotifyEvent beforeOpen_, afterOpen_, beforeClose_, afterClose_;
    TRWEvent beforeRead_, afterRead_, beforeWrite_, afterWrite_;
    TComErrorEvent onError_;
    TLineErrorEvent onLineError_;
    TNotifyEvent onBreak_, onCTSChange_, onDSRChange_, onEvent1_, onEvent2_, onPrinterError_, onRing_,
        onRLSDChange_, onRx80PercFull_, onRxChar_, onRxFlag_, onTxEmpty_;

    struct StateDeleter {
        void operator()(TPortState* s) const noexcept; // defined by the backend
    };
    static TPortState* NewPortState(); // by the backend; made with the port, read by IsOpen on any thread
    std::unique_ptr<TPortState, StateDeleter> state_;
    std::unique_ptr<TComThread> thread_;
    std::vector<std::unique_ptr<TComThread>> retired_; // stopped from their own handler, joined later
    std::vector<std::thread::id> stopping_;            // stopped, being joined by another thread
    bool threadBarred_ = false;                        // closing: no new event thread
    mutable std::mutex threadMutex_;                   // thread_, retired_, stopping_, threadBarred_
    std::condition_variable threadStopped_;            // a stopping thread was joined
    std::recursive_mutex maskMutex_;       // one caller at a time starts or stops the thread (OnError nests)
    std::atomic<bool> maskChanged_{false}; // a handler slot changed: the mask is looked at again
    std::recursive_mutex lifeMutex_;       // Open and Close, one at a time (handlers may nest)
    bool closing_ = false;                 // a Close runs (under lifeMutex_)
    std::atomic<std::uint64_t> opens_{0};  // successful opens so far
    std::atomic<std::uint64_t> closeHandedOver_{0}; // the open a handler's close is pending for
    // The owner of the calls queued for the main thread that a stopping event thread must not
    // drop: a handed-over close, the report of a failed wait.
    char mainThreadKey_ = 0;
    struct TTurns; // one reader and one writer at a time (ComPort.cpp)
    struct TurnsDeleter {
        void operator()(TTurns* t) const noexcept;
    };
    std::unique_ptr<TTurns, TurnsDeleter> turns_;
    mutable std::mutex eventsMutex_; // handler slots, read by the event thread
};

class TComPort : public TCustomComPort {
public:
    explicit TComPort(void* owner = nullptr) : TCustomComPort(owner) {}
};

// Appends the system's serial port names ("COM..." or "\\.\COM...") to list, in the system's
// order, without clearing or sorting it. Opens nothing; never raises.
void EnumComPorts(std::vector<std::string>& list);

// Whether EnumComPorts lists the port that `device` names: a list entry equal to it, or to it
// without a leading "\\.\" ("COM10" for "\\.\COM10"). Opens nothing; never raises. On Linux it
// looks at that one entry instead of listing every port.
bool ComPortListed(const std::string& device);

// Whether `device` can be opened now for this process's exclusive use: opened as Open opens it and
// closed again at once, without reading or changing the line's settings or purging its queues.
// Raises EComError (kind ekOpen) with the code and text Open would give when it cannot; no port
// object, so no OnError handler is asked.
void ComPortTryOpen(const std::string& device);

} // namespace tarvik::comport
