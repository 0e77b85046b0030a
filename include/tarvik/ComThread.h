// The port component's event thread and "the main thread" that synchronised event handlers run on.
//
// There is no framework message loop here, so the host says which thread is its main thread by
// calling TMainThread::Attach() on it, and pumps the calls queued for it with ProcessEvents():
//
//     TMainThread::Attach();                      // once, on the host's main thread
//     port.SetOnRxChar([](TCustomComPort& p) { ... });
//     for (;;) TMainThread::ProcessEvents(100);   // in the host's loop: runs the queued handlers
//
// With SynchronizeEvents true (the default) the event thread hands each batch of events to the
// main thread and waits until the handlers have run there. With no main thread attached, handlers
// run on the event thread itself, as with SynchronizeEvents false, and errors of the event wait go
// to OnError on the event thread (an unhandled one is dropped; the event thread ends either way).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace tarvik::comport {

class TCustomComPort;
class EComError;

class TMainThread {
public:
    // The calling thread becomes the main thread (replacing any earlier one).
    static void Attach();
    // No main thread any more; calls still queued run at once on the threads that queued them.
    static void Detach();
    static bool Attached();
    static bool IsMainThread();

    // Runs the calls queued for the main thread, waiting up to `timeoutMs` for the first one when
    // none is queued. Must be called on the main thread. Returns how many calls ran. An exception
    // from a queued call (an event handler, or the EComError of a failed event wait) leaves
    // through this function; the calls behind it stay queued.
    static std::size_t ProcessEvents(int timeoutMs = 0);

    // Runs `call` on the main thread and waits for it (directly when there is no main thread or
    // the caller is the main thread). Returns false when the call was cancelled instead, or when
    // `stop` became true: then the caller goes on at once, whether or not the main thread is
    // running the call at that moment (a handler that closes its port must not wait for the
    // event thread that waits for it).
    static bool Synchronize(const void* owner, std::function<void()> call,
                            const std::atomic<bool>* stop = nullptr);
    // Queues `call` for the main thread without waiting (runs it at once when there is none).
    static void Queue(const void* owner, std::function<void()> call);
    // Waits until the main thread is not running a call of `owner` (at once on the main thread
    // itself). For the end of an owner's life: a call still running must not outlive its owner.
    static void WaitUntilIdle(const void* owner);
    // Drops the queued calls of `owner` and releases whoever waits for them (also those whose
    // `stop` flag is now set).
    static void Cancel(const void* owner);
};

// The event thread of one open port: waits for the line events of the event mask and runs the
// assigned handlers. Exists only while a handler is assigned and the port is open.
class TComThread {
public:
    explicit TComThread(TCustomComPort& port); // std::system_error when it cannot start
    ~TComThread();                             // stops and joins (not when called on itself)
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    // Asks the thread to end: its wait for events returns.
    void Stop() noexcept;
    bool IsCurrent() const noexcept { return std::this_thread::get_id() == thread_.get_id(); }
    std::thread::id Id() const noexcept { return thread_.get_id(); }
    bool Stopping() const noexcept { return stopping_; }
    // The thread has left its loop and touches its port no more: joining it does not wait.
    bool Finished() const noexcept { return finished_; }

private:
    void Execute() noexcept;
    void Failed(const EComError& error) noexcept; // the wait failed: raise it, end
    TCustomComPort& port_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    int appliedPriority_ = -1;
    std::thread thread_;
};

} // namespace tarvik::comport
