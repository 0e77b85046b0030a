#include "ComThread.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>

#include "ComPort.h"
#include "Diagnostics.h"

namespace tarvik::comport {

namespace {

std::atomic<std::uint64_t> eventThreadWakeups{0};

// One call for the main thread; a synchronous caller waits on `done`.
struct Pending {
    const void* owner;
    std::function<void()> call;
    bool synchronous = false;
    bool finished = false;
};

struct MainThreadState {
    std::mutex mutex;
    std::condition_variable queued; // a call was queued
    std::condition_variable done;   // a synchronous call finished or was cancelled
    std::deque<std::shared_ptr<Pending>> calls;
    std::thread::id id;
    bool attached = false;
    const void* running = nullptr; // the owner of the call the main thread runs now
};

MainThreadState& Main() {
    static MainThreadState state;
    return state;
}

} // namespace

void TMainThread::Attach() {
    std::lock_guard lock(Main().mutex);
    Main().id = std::this_thread::get_id();
    Main().attached = true;
}

void TMainThread::Detach() {
    std::deque<std::shared_ptr<Pending>> left;
    {
        std::lock_guard lock(Main().mutex);
        Main().attached = false;
        left.swap(Main().calls);
        // Waiting synchronisers run their call themselves once released.
        for (auto& p : left)
            p->finished = !p->synchronous;
    }
    Main().done.notify_all();
    for (auto& p : left)
        if (!p->synchronous) p->call();
}

bool TMainThread::Attached() {
    std::lock_guard lock(Main().mutex);
    return Main().attached;
}

bool TMainThread::IsMainThread() {
    std::lock_guard lock(Main().mutex);
    return Main().attached && Main().id == std::this_thread::get_id();
}

std::size_t TMainThread::ProcessEvents(int timeoutMs) {
    MainThreadState& m = Main();
    std::size_t ran = 0;
    std::unique_lock lock(m.mutex);
    if (m.calls.empty() && timeoutMs > 0)
        m.queued.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !m.calls.empty(); });
    while (!m.calls.empty()) {
        std::shared_ptr<Pending> p = m.calls.front();
        m.calls.pop_front();
        m.running = p->owner;
        lock.unlock();
        std::exception_ptr error;
        try {
            p->call();
        } catch (...) {
            error = std::current_exception();
        }
        ++ran;
        lock.lock();
        p->finished = true;
        m.running = nullptr;
        m.done.notify_all();
        if (error) {
            lock.unlock();
            std::rethrow_exception(error);
        }
    }
    return ran;
}

bool TMainThread::Synchronize(const void* owner, std::function<void()> call, const std::atomic<bool>* stop) {
    MainThreadState& m = Main();
    std::unique_lock lock(m.mutex);
    if (!m.attached || m.id == std::this_thread::get_id()) {
        lock.unlock();
        call();
        return true;
    }
    auto p = std::make_shared<Pending>(Pending{owner, std::move(call), true});
    m.calls.push_back(p);
    m.queued.notify_all();
    // `stop` is set before Cancel takes the lock and notifies, so its change is never missed.
    m.done.wait(lock, [&] { return p->finished || !m.attached || (stop && *stop); });
    if (p->finished) return p->call != nullptr;
    if (m.attached) {
        // Stopped: a call still queued is dropped; one the main thread runs right now runs on.
        std::erase(m.calls, p);
        return false;
    }
    // Detached while waiting: nobody will run it, so run it here.
    lock.unlock();
    p->call();
    return true;
}

void TMainThread::Queue(const void* owner, std::function<void()> call) {
    MainThreadState& m = Main();
    {
        std::lock_guard lock(m.mutex);
        if (m.attached) {
            m.calls.push_back(std::make_shared<Pending>(Pending{owner, std::move(call)}));
            m.queued.notify_all();
            return;
        }
    }
    call();
}

void TMainThread::WaitUntilIdle(const void* owner) {
    MainThreadState& m = Main();
    std::unique_lock lock(m.mutex);
    if (m.attached && m.id == std::this_thread::get_id()) return;
    m.done.wait(lock, [&] { return m.running != owner; });
}

void TMainThread::Cancel(const void* owner) {
    MainThreadState& m = Main();
    {
        std::lock_guard lock(m.mutex);
        for (auto it = m.calls.begin(); it != m.calls.end();) {
            if ((*it)->owner == owner) {
                (*it)->finished = true;
                (*it)->call = nullptr; // tells a synchroniser that it was cancelled
                it = m.calls.erase(it);
            } else {
                ++it;
            }
        }
    }
    m.done.notify_all();
}

namespace diagnostics {

std::uint64_t EventThreadWakeups() noexcept {
    return eventThreadWakeups;
}

void CountEventThreadWakeup() noexcept {
    eventThreadWakeups.fetch_add(1, std::memory_order_relaxed);
}

} // namespace diagnostics

TComThread::TComThread(TCustomComPort& port) : port_(port), thread_([this] { Execute(); }) {}

TComThread::~TComThread() {
    Stop();
    if (thread_.joinable()) {
        if (IsCurrent())
            thread_.detach(); // ended from its own handler: it returns right after
        else
            thread_.join();
    }
}

void TComThread::Stop() noexcept {
    if (stopping_.exchange(true)) return;
    stopping_.notify_all();
    port_.InterruptCommEvent();
    TMainThread::Cancel(&port_);
}

void TComThread::Execute() noexcept {
    while (!stopping_) {
        diagnostics::CountEventThreadWakeup();
        const int priority = static_cast<int>(port_.ThreadPriority());
        if (priority != appliedPriority_) {
            TCustomComPort::SetCurrentThreadPriority(port_.ThreadPriority());
            appliedPriority_ = priority;
        }
        std::optional<std::uint32_t> events;
        try {
            events = port_.WaitCommEvent();
        } catch (const EComError& e) {
            if (!stopping_) Failed(e);
            break;
        }
        if (stopping_) break;
        if (!events) {
            // The line is closing (a handler's close waits for the main thread): nothing to
            // look at until that close stops this thread.
            stopping_.wait(false);
            break;
        }
        if (*events == 0) continue;
        try {
            port_.DispatchEvents(*events, stopping_);
        } catch (...) {
            // A handler that throws on the event thread must not end the process.
        }
    }
    finished_ = true;
}

void TComThread::Failed(const EComError& e) noexcept {
    // The thread ends: it is the port's thread no more, so that a handler assigned later (also
    // by OnError) starts a new one.
    port_.ThreadEnded(*this);
    // Raised through the main thread; "access denied" (the device went away) closes too.
    TCustomComPort* port = &port_;
    const std::int32_t code = e.ErrorCode;
    const TComErrorKind kind = e.Kind;
    try {
        // Under the key that a stopping thread does not drop (a handler assigned meanwhile may
        // start and stop another thread before the main thread pumps).
        TMainThread::Queue(&port->mainThreadKey_, [port, code, message = std::string(e.what()), kind] {
            if (code == ceAccessDenied) port->Close();
            port->RaiseError(code, message, kind);
        });
    } catch (...) {
        // No main thread to raise it on: OnError has seen it.
    }
}

} // namespace tarvik::comport
