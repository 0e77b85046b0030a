// Platform-neutral part of the port object: defaults, setters and their open/closed rules, the
// sequence of Open/Close/Read/Write around the backend hooks, events and error raising.
#include "ComPort.h"

#include "ComThread.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <utility>

namespace tarvik::comport {

namespace {

constexpr std::array<std::int32_t, 27> kBaudValues = {
    0,    50,    75,    110,   150,   300,   600,   1200,  1800,  2000,   2400,   3600,   4800, 7200,
    9600, 10400, 14400, 15625, 19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000, 0};

// ClearCommError error bits in TLineError order.
constexpr std::array<std::uint32_t, 11> kLineErrorBits = {0x10, 0x800, 0x8, 0x400, 0x8000, 0x1000,
                                                          0x2,  0x200, 0x1, 0x4,   0x100};

constexpr std::array<std::uint32_t, 8> kOptionFlags = {0x2, 0x4, 0x8, 0x40, 0x80, 0x400, 0x800, 0x4000};

} // namespace

std::int32_t BaudRateValue(TBaudRate rate) {
    auto i = static_cast<std::size_t>(rate);
    return i < kBaudValues.size() ? kBaudValues[i] : 0;
}

std::uint32_t ParityCode(TParity p) {
    return p == paDefault ? 0 : static_cast<std::uint32_t>(p) - 1;
}
std::uint32_t StopBitsCode(TStopBits s) {
    return s == sbDefault ? 0 : static_cast<std::uint32_t>(s) - 1;
}
std::uint32_t DataBitsCode(TDataBits d) {
    return d == dbDefault ? 8 : static_cast<std::uint32_t>(d) + 3;
}
std::uint32_t DTRFlags(TDTRControl c) {
    constexpr std::uint32_t v[] = {0, 0, 0x10, 0x20};
    return v[c];
}
std::uint32_t RTSFlags(TRTSControl c) {
    constexpr std::uint32_t v[] = {0, 0, 0x1000, 0x2000, 0x3000};
    return v[c];
}
std::uint32_t XOnXOffFlags(TXOnXOffControl c) {
    constexpr std::uint32_t v[] = {0, 0, 0x200, 0x100, 0x300};
    return v[c];
}
std::uint32_t OptionFlag(TOption o) {
    return kOptionFlags[o];
}
std::uint32_t PriorityClassCode(TPriorityClass c) {
    constexpr std::uint32_t v[] = {0, 0x40, 0x20, 0x80, 0x100};
    return v[c];
}

TLineErrors LineErrorsFromBits(std::uint32_t bits) {
    TLineErrors set;
    for (std::size_t i = 0; i < kLineErrorBits.size(); ++i)
        if (bits & kLineErrorBits[i]) set.Include(static_cast<TLineError>(i));
    return set;
}

std::uint32_t LineErrorBits(TLineErrors errors) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < kLineErrorBits.size(); ++i)
        if (errors.Contains(static_cast<TLineError>(i))) bits |= kLineErrorBits[i];
    return bits;
}

// ---- setting groups --------------------------------------------------------------------------

namespace {

// Stores a setting that changed and re-applies its group (which does nothing on a closed port).
template <class T>
void Store(T& field, T v, TCustomComPort& port, void (TCustomComPort::*apply)()) {
    if (v == field) return;
    field = v;
    (port.*apply)();
}

constexpr auto kSettings = &TCustomComPort::ApplySettings;

} // namespace

void TFlowControl::SetDTR(TDTRControl v) {
    Store(dtr_, v, port_, kSettings);
}
void TFlowControl::SetRTS(TRTSControl v) {
    Store(rts_, v, port_, kSettings);
}
void TFlowControl::SetXOnXOff(TXOnXOffControl v) {
    Store(xonxoff_, v, port_, kSettings);
}
void TFlowControl::SetXOnLimit(std::uint16_t v) {
    Store(xonLimit_, v, port_, kSettings);
}
void TFlowControl::SetXOffLimit(std::uint16_t v) {
    Store(xoffLimit_, v, port_, kSettings);
}

void TCharacters::SetXOn(std::uint8_t v) {
    Store(xon_, v, port_, kSettings);
}
void TCharacters::SetXOff(std::uint8_t v) {
    Store(xoff_, v, port_, kSettings);
}
void TCharacters::SetError(std::uint8_t v) {
    Store(error_, v, port_, kSettings);
}
void TCharacters::SetEof(std::uint8_t v) {
    Store(eof_, v, port_, kSettings);
}
void TCharacters::SetEvent(std::uint8_t v) {
    Store(event_, v, port_, kSettings);
}

void TBufferSizes::SetInput(std::int32_t v) {
    Store(input_, v, port_, &TCustomComPort::ApplyBuffers);
}
void TBufferSizes::SetOutput(std::int32_t v) {
    Store(output_, v, port_, &TCustomComPort::ApplyBuffers);
}

void TTimeouts::SetReadInterval(std::int32_t v) {
    Store(readInterval_, v, port_, &TCustomComPort::ApplyTimeouts);
}
void TTimeouts::SetReadMultiplier(std::int32_t v) {
    Store(readMultiplier_, v, port_, &TCustomComPort::ApplyTimeouts);
}
void TTimeouts::SetReadConstant(std::int32_t v) {
    Store(readConstant_, v, port_, &TCustomComPort::ApplyTimeouts);
}
void TTimeouts::SetWriteMultiplier(std::int32_t v) {
    Store(writeMultiplier_, v, port_, &TCustomComPort::ApplyTimeouts);
}
void TTimeouts::SetWriteConstant(std::int32_t v) {
    Store(writeConstant_, v, port_, &TCustomComPort::ApplyTimeouts);
}

// ---- one reader and one writer at a time ------------------------------------------------------

// The turn of one kind of transfer: the thread whose turn it is may come in again (a handler that
// reads from within a read); another waits until the turn is free, or raises the closed-port
// error once a close began, so that nobody waits for a reader that waits for the close.
struct TTurn {
    std::mutex mutex;
    std::condition_variable freed;
    std::thread::id owner;
    int depth = 0;
    bool closing = false; // from the start of a close until the next open
};

struct TCustomComPort::TTurns {
    TTurn read, write;
};

void TCustomComPort::TurnsDeleter::operator()(TTurns* t) const noexcept {
    delete t;
}

namespace {

class HeldTurn {
public:
    HeldTurn(TCustomComPort& port, TTurn& turn) : turn_(turn) {
        std::unique_lock lock(turn.mutex);
        const auto me = std::this_thread::get_id();
        if (turn.depth == 0 || turn.owner != me) {
            turn.freed.wait(lock, [&] { return turn.depth == 0 || turn.closing; });
            if (turn.depth != 0) {
                lock.unlock();
                port.RaiseError(ceComponent, kMsgClosedPort, ekClosedPort);
            }
            turn.owner = me;
        }
        ++turn.depth;
    }
    ~HeldTurn() {
        {
            std::lock_guard lock(turn_.mutex);
            if (--turn_.depth > 0) return;
            turn_.owner = {};
        }
        turn_.freed.notify_one();
    }
    HeldTurn(const HeldTurn&) = delete;
    HeldTurn& operator=(const HeldTurn&) = delete;

private:
    TTurn& turn_;
};

} // namespace

void TCustomComPort::ReleaseWaitingTransfers(bool closing) noexcept {
    for (TTurn* turn : {&turns_->read, &turns_->write}) {
        {
            std::lock_guard lock(turn->mutex);
            turn->closing = closing;
        }
        turn->freed.notify_all();
    }
}

// ---- the port object -------------------------------------------------------------------------

TCustomComPort::TCustomComPort(void* /*owner*/)
    : flowControl_(*this), characters_(*this), bufferSizes_(*this), timeouts_(*this), state_(NewPortState()),
      turns_(new TTurns) {}

TCustomComPort::~TCustomComPort() {
    Close();
    StopEventThread();
    JoinRetiredThreads(true);
    for (const void* owner : {static_cast<const void*>(this), static_cast<const void*>(&mainThreadKey_)})
        TMainThread::Cancel(owner);
    // A stopped event thread no longer waits for a handler the main thread runs; the port must.
    for (const void* owner : {static_cast<const void*>(this), static_cast<const void*>(&mainThreadKey_)})
        TMainThread::WaitUntilIdle(owner);
}

std::string TCustomComPort::About() const {
    return "TComPort 1.0";
}

void TCustomComPort::CheckClosedForChange(bool changed) {
    if (changed && IsOpen()) RaiseError(ceComponent, kMsgOpenPort, ekComponent);
}

void TCustomComPort::SetDeviceName(const std::string& name) {
    if (name == deviceName_) return;
    CheckClosedForChange(true);
    deviceName_ = name;
}
void TCustomComPort::SetSynchronizeEvents(bool v) {
    if (v == synchronizeEvents_) return;
    CheckClosedForChange(true);
    synchronizeEvents_ = v;
}
void TCustomComPort::SetPriorityClass(TPriorityClass v) {
    if (v == priorityClass_) return;
    CheckClosedForChange(true);
    priorityClass_ = v;
}
void TCustomComPort::SetThreadPriority(TThreadPriority v) {
    if (v == threadPriority_) return;
    threadPriority_ = v;
    // Giving the driver the mask again ends the pending wait; the running thread takes the new
    // priority as it goes round.
    bool running;
    {
        std::lock_guard lock(threadMutex_);
        running = thread_ != nullptr;
    }
    if (running && IsOpen()) SetCommEventMask(EventMask());
}
void TCustomComPort::SetBaudRate(TBaudRate v) {
    Store(baudRate_, v, *this, kSettings);
}
void TCustomComPort::SetDataBits(TDataBits v) {
    Store(dataBits_, v, *this, kSettings);
}
void TCustomComPort::SetParity(TParity v) {
    Store(parity_, v, *this, kSettings);
}
void TCustomComPort::SetStopBits(TStopBits v) {
    Store(stopBits_, v, *this, kSettings);
}
void TCustomComPort::SetOptions(TOptions v) {
    Store(options_, v, *this, kSettings);
}

void TCustomComPort::SetCustomBaudRate(std::int32_t v) {
    if (v == customBaudRate_) return;
    customBaudRate_ = v;
    baudRate_ = brCustom;
    ApplySettings();
}

void TCustomComPort::SetActive(bool v) {
    activeWhenLoaded_ = v;
    if (loading_) return;
    if (v != IsOpen()) v ? Open() : Close();
}

void TCustomComPort::EndLoading() {
    loading_ = false;
    if (activeWhenLoaded_ && !IsOpen()) Open();
}

void TCustomComPort::SetOnLineError(TLineErrorEvent h) {
    SetLineEvent(onLineError_, std::move(h));
}

template <class Handler>
void TCustomComPort::SetLineEvent(Handler& slot, Handler h) {
    Handler previous;
    {
        std::lock_guard lock(eventsMutex_);
        previous = std::exchange(slot, std::move(h));
    }
    if (!IsOpen()) return;
    try {
        ApplyEventMask();
    } catch (...) {
        // The assignment raised (no event thread could start): it did not take place.
        std::lock_guard lock(eventsMutex_);
        slot = std::move(previous);
        throw;
    }
}
template void TCustomComPort::SetLineEvent(TNotifyEvent&, TNotifyEvent);
template void TCustomComPort::SetLineEvent(TLineErrorEvent&, TLineErrorEvent);

void TCustomComPort::ApplyEventMask() {
    if (!IsOpen()) return;
    maskChanged_ = true;
    const bool onEventThread = OnEventThread();
    for (;;) {
        // Whoever holds the lock may be joining the event thread: that thread leaves the change to
        // it, since the holder looks at the mask again before letting go.
        std::unique_lock lock(maskMutex_, std::defer_lock);
        if (!onEventThread)
            lock.lock();
        else if (!lock.try_lock())
            return;
        bool failed = false;
        while (maskChanged_.exchange(false))
            failed = UpdateEventThread(onEventThread);
        lock.unlock();
        // Raised outside the lock: OnError may close the port.
        if (failed) RaiseError(ceComponent, kMsgCreateThread, ekComponent);
        if (!maskChanged_) return;
    }
}

bool TCustomComPort::UpdateEventThread(bool onEventThread) {
    if (!IsOpen()) return false;
    const std::uint32_t mask = EventMask();
    if (mask == 0) {
        StopEventThread(false);
        SetCommEventMask(0);
        return false;
    }
    SetCommEventMask(mask);
    JoinRetiredThreads(false);
    std::unique_lock lock(threadMutex_);
    if (thread_ || threadBarred_ || onEventThread) return false; // running, or the port is closing
    // A stopped thread may still be waiting on the line: the new one starts once it has ended.
    threadStopped_.wait(lock, [&] { return stopping_.empty() || threadBarred_; });
    if (threadBarred_) return false;
    try {
        thread_ = std::make_unique<TComThread>(*this);
    } catch (const std::system_error&) {
        return true;
    }
    return false;
}

void TCustomComPort::StopEventThread(bool bar) noexcept {
    std::unique_lock lock(threadMutex_);
    threadBarred_ = threadBarred_ || bar;
    if (thread_ && thread_->IsCurrent()) {
        thread_->Stop();
        retired_.push_back(std::move(thread_)); // still running this very call: joined later
    } else if (thread_) {
        thread_->Stop();
        std::unique_ptr<TComThread> stopping = std::move(thread_);
        const std::thread::id id = stopping->Id();
        stopping_.push_back(id);
        lock.unlock();
        stopping.reset(); // joins, outside the lock: the thread may be closing the port itself
        lock.lock();
        std::erase(stopping_, id);
        threadStopped_.notify_all();
    }
    // One that another caller stopped may still run: none but the caller is left when this returns.
    const std::thread::id me = std::this_thread::get_id();
    threadStopped_.wait(lock, [&] {
        return std::all_of(stopping_.begin(), stopping_.end(), [&](auto id) { return id == me; });
    });
}

void TCustomComPort::ThreadEnded(TComThread& thread) noexcept {
    std::lock_guard lock(threadMutex_);
    if (thread_.get() != &thread) return;
    retired_.push_back(std::move(thread_)); // a handler assigned now starts a new one
}

void TCustomComPort::JoinRetiredThreads(bool all) noexcept {
    std::vector<std::unique_ptr<TComThread>> joining;
    {
        std::lock_guard lock(threadMutex_);
        for (auto it = retired_.begin(); it != retired_.end();) {
            if (!(*it)->IsCurrent() && (all || (*it)->Finished())) {
                joining.push_back(std::move(*it));
                it = retired_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Joined here, outside the lock.
}

bool TCustomComPort::OnEventThread() const noexcept {
    std::lock_guard lock(threadMutex_);
    const std::thread::id me = std::this_thread::get_id();
    return (thread_ && thread_->IsCurrent()) ||
           std::find(stopping_.begin(), stopping_.end(), me) != stopping_.end();
}

void TCustomComPort::DispatchEvents(std::uint32_t events, const std::atomic<bool>& stop) {
    if (synchronizeEvents_)
        TMainThread::Synchronize(
            this, [this, events] { RunEventHandlers(events); }, &stop);
    else
        RunEventHandlers(events);
}

void TCustomComPort::RunEventHandlers(std::uint32_t events) {
    struct Slot {
        std::uint32_t bit;
        TNotifyEvent TCustomComPort::*handler;
    };
    static constexpr Slot kSlots[] = {
        {evRxChar, &TCustomComPort::onRxChar_},     {evRxFlag, &TCustomComPort::onRxFlag_},
        {evTxEmpty, &TCustomComPort::onTxEmpty_},   {evCTS, &TCustomComPort::onCTSChange_},
        {evDSR, &TCustomComPort::onDSRChange_},     {evRLSD, &TCustomComPort::onRLSDChange_},
        {evBreak, &TCustomComPort::onBreak_},       {evRing, &TCustomComPort::onRing_},
        {evPErr, &TCustomComPort::onPrinterError_}, {evRx80Full, &TCustomComPort::onRx80PercFull_},
        {evEvent1, &TCustomComPort::onEvent1_},     {evEvent2, &TCustomComPort::onEvent2_}};
    for (const Slot& slot : kSlots) {
        if (!(events & slot.bit) || !IsOpen()) continue;
        TNotifyEvent handler;
        {
            std::lock_guard lock(eventsMutex_);
            handler = this->*slot.handler;
        }
        if (handler) handler(*this);
    }
    if ((events & evErr) && IsOpen()) {
        TLineErrorEvent handler;
        {
            std::lock_guard lock(eventsMutex_);
            handler = onLineError_;
        }
        const std::uint32_t bits = ClearErrors(nullptr);
        if (handler && bits) handler(*this, LineErrorsFromBits(bits));
    }
}

std::uint32_t TCustomComPort::EventMask() const {
    std::lock_guard lock(eventsMutex_);
    std::uint32_t mask = 0;
    auto add = [&](bool assigned, std::uint32_t bit) { mask |= assigned ? bit : 0u; };
    add(bool(onRxChar_), evRxChar);
    add(bool(onRxFlag_), evRxFlag);
    add(bool(onTxEmpty_), evTxEmpty);
    add(bool(onCTSChange_), evCTS);
    add(bool(onDSRChange_), evDSR);
    add(bool(onRLSDChange_), evRLSD);
    add(bool(onBreak_), evBreak);
    add(bool(onLineError_), evErr);
    add(bool(onRing_), evRing);
    add(bool(onPrinterError_), evPErr);
    add(bool(onRx80PercFull_), evRx80Full);
    add(bool(onEvent1_), evEvent1);
    add(bool(onEvent2_), evEvent2);
    return mask;
}

void TCustomComPort::RaiseError(std::int32_t code, const std::string& message, TComErrorKind kind) {
    EComError error(code, message, kind);
    if (onError_) {
        TComAction action = caFail;
        onError_(*this, error, action);
        if (action == caAbort) throw EAbort();
    }
    throw error;
}

void TCustomComPort::CheckOpen() const {
    if (!IsOpen()) const_cast<TCustomComPort*>(this)->RaiseError(ceComponent, kMsgClosedPort, ekClosedPort);
}

void TCustomComPort::Open() {
    {
        // The event thread does not wait: whoever holds the lock may be joining it.
        const bool eventThread = OnEventThread();
        std::unique_lock life(lifeMutex_, std::defer_lock);
        if (!eventThread)
            life.lock();
        else if (!life.try_lock())
            return;
        // A handler's close still waiting for the main thread comes first.
        if (!eventThread && closeHandedOver_ != 0 && closeHandedOver_ == opens_) CloseLocked();
        if (IsOpen()) return;
        JoinRetiredThreads(false);
        if (beforeOpen_) beforeOpen_(*this);
        {
            std::lock_guard lock(threadMutex_);
            threadBarred_ = false;
        }
        ReleaseWaitingTransfers(false);
        ++opens_; // before the event thread starts: a close it hands over belongs to this open
        try {
            CreateHandle();
        } catch (...) {
            StopEventThread();
            ReleaseHandle();
            throw;
        }
        if (IsOpen() && afterOpen_) afterOpen_(*this);
    }
    CarryOutHandedOverClose();
}

void TCustomComPort::Close() noexcept {
    {
        std::unique_lock life(lifeMutex_, std::defer_lock);
        if (!OnEventThread()) {
            life.lock();
        } else if (TMainThread::Attached() || !life.try_lock()) {
            // A handler's close: the main thread carries it out, or whoever opens or closes the
            // port now (it may be joining this thread) once it is done.
            HandOverClose();
            return;
        }
        CloseLocked();
    }
    CarryOutHandedOverClose();
}

void TCustomComPort::CloseLocked() noexcept {
    // Closed already, or closing on this very thread (from BeforeClose or AfterClose).
    if (!IsOpen() || closing_) return;
    closing_ = true;
    // Handlers run inside a noexcept close: a throwing handler must not skip the release.
    try {
        if (beforeClose_) beforeClose_(*this);
    } catch (...) {
    }
    ReleaseWaitingTransfers(true);
    AbortWaits();      // a handler waiting for a transfer must not hold up the event thread's end
    StopEventThread(); // and no new one: a handler may assign an event while this waits for it
    ReleaseHandle();
    closeHandedOver_ = 0;
    closing_ = false;
    try {
        if (!IsOpen() && afterClose_) afterClose_(*this);
    } catch (...) {
    }
}

void TCustomComPort::HandOverClose() noexcept {
    if (!IsOpen()) return;
    AbortWaits(); // a host blocked in a read must not wait for the close
    ReleaseWaitingTransfers(true);
    const std::uint64_t open = opens_;
    closeHandedOver_ = open;
    if (TMainThread::Attached()) {
        try {
            // Not dropped when the event thread stops; undone by a close or open that comes first.
            TMainThread::Queue(&mainThreadKey_, [this, open] {
                if (opens_ == open) Close();
            });
            return;
        } catch (...) {
            // Out of memory for the queue: as without a main thread.
        }
    }
    CarryOutHandedOverClose();
}

void TCustomComPort::CarryOutHandedOverClose() noexcept {
    const std::uint64_t open = closeHandedOver_;
    if (open == 0 || open != opens_) return;
    // Whoever holds the lock now looks again when done.
    std::unique_lock life(lifeMutex_, std::try_to_lock);
    if (life && closeHandedOver_ == opens_) CloseLocked();
}

void TCustomComPort::CheckLength(std::int32_t length) {
    if (length < 0)
        RaiseError(ceInvalidParameter, "The parameter is incorrect. (negative length)", ekComponent);
}

void TCustomComPort::Write(const void* buffer, std::int32_t length, bool waitOnCompletion) {
    CheckOpen();
    CheckLength(length);
    const HeldTurn turn(*this, turns_->write);
    if (beforeWrite_) beforeWrite_(*this, const_cast<void*>(buffer), length, waitOnCompletion);
    WaitPending(true);
    if (length > 0) {
        StartWrite(buffer, length);
        if (waitOnCompletion) WaitPending(true);
    }
    if (afterWrite_) afterWrite_(*this, const_cast<void*>(buffer), length, waitOnCompletion);
}

void TCustomComPort::Read(void* buffer, std::int32_t length, bool waitOnCompletion) {
    CheckOpen();
    CheckLength(length);
    const HeldTurn turn(*this, turns_->read);
    if (beforeRead_) beforeRead_(*this, buffer, length, waitOnCompletion);
    WaitPending(false);
    if (length > 0) {
        StartRead(buffer, length);
        if (waitOnCompletion) WaitPending(false);
    }
    if (afterRead_) afterRead_(*this, buffer, length, waitOnCompletion);
}

std::int32_t TCustomComPort::ReadAvailable(void* buffer, std::int32_t length, std::int32_t waitMs) {
    CheckOpen();
    CheckLength(length);
    if (waitMs < 0)
        RaiseError(ceInvalidParameter, "The parameter is incorrect. (negative wait)", ekComponent);
    const HeldTurn turn(*this, turns_->read);
    if (beforeRead_) beforeRead_(*this, buffer, length, true);
    const std::int32_t taken = length > 0 ? TakeQueued(buffer, length, waitMs) : 0;
    if (afterRead_) afterRead_(*this, buffer, taken, true);
    return taken;
}

void TCustomComPort::WriteStr(const std::string& text) {
    Write(text.data(), static_cast<std::int32_t>(text.size()), false);
}

void TCustomComPort::ReadStr(std::string& text) {
    CheckOpen();
    const HeldTurn turn(*this, turns_->read);
    WaitPending(false);
    text.resize(static_cast<std::size_t>(InputCount()));
    if (!text.empty()) Read(text.data(), static_cast<std::int32_t>(text.size()), true);
}

std::uint8_t TCustomComPort::ReadChar() {
    std::uint8_t c = 0;
    Read(&c, 1, true);
    return c;
}

std::int32_t TCustomComPort::InputCount() {
    std::int32_t inQueue = 0;
    CheckLineErrors(ClearErrors(&inQueue));
    return inQueue;
}

void TCustomComPort::CheckLineErrors(std::uint32_t errorBits) {
    if (errorBits == 0) return;
    TLineErrorEvent handler;
    {
        std::lock_guard lock(eventsMutex_);
        handler = onLineError_;
    }
    if (handler) handler(*this, LineErrorsFromBits(errorBits));
}

} // namespace tarvik::comport
