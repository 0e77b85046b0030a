// The Windows binding of the shared end-to-end cases: the scripted device talks through a COM port
// of its own. The test setup wires each library-side port to a peer-side port (a pseudo-terminal
// pair under Wine) and names the pairs in the environment:
//   TARVIK_PEER_PORTS=3:COM23,12:COM22   (library port number : the peer's device name)
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "e2e/E2E.h"

namespace tarvik::e2e {

// The peer's device name for library port `com`, or "" when the setup wired none.
std::string PeerDeviceFor(int com);

class ComPeer : public Peer {
public:
    using Clock = std::chrono::steady_clock;

    // Opens the peer's side of port `com`; throws std::runtime_error when it cannot.
    explicit ComPeer(int com);
    ~ComPeer() override;
    ComPeer(const ComPeer&) = delete;
    ComPeer& operator=(const ComPeer&) = delete;

    void Reply(Bytes bytes, int delayMs = 0) override;
    void ReplySplit(Bytes bytes, std::size_t splitAt, int delayMs, int splitDelayMs) override;
    Bytes Received() const override;
    std::vector<Bytes> Requests() const override;
    bool WaitForRequests(std::size_t n, int timeoutMs = 3000) const override;
    void ClearReceived() override;
    void SetLineMode(bool on) override { lineMode_ = on; }
    int LastAnswerLateMs() const override { return lateMs_; }

    // Sends bytes at once, outside any request.
    void Send(const Bytes& bytes);

    // Holds the peer's thread outside every system call from Park() until Unpark(), so a count of
    // the process's handles does not see the temporary ones its reads take.
    void Park();
    void Unpark();

private:
    struct Scripted {
        Bytes bytes;
        int delayMs = 0;
        std::size_t splitAt = 0;
        int splitDelayMs = 0;
    };
    void Run();
    void Answer(const Scripted& reply, Clock::time_point due);
    void Write(const std::uint8_t* data, std::size_t n);
    bool SleepUnlessStopped(int ms);

    // A slim lock and condition of the system's own: they take no handle, not even when contended
    // (the thread library's mutex may create one then, which a handle count would take for a leak).
    struct SlimLock {
        void lock() { AcquireSRWLockExclusive(&srw); }
        void unlock() { ReleaseSRWLockExclusive(&srw); }
        SRWLOCK srw = SRWLOCK_INIT;
    };

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::atomic<bool> stop_{false};
    std::atomic<bool> lineMode_{false};
    std::atomic<bool> parkAsked_{false};
    std::atomic<bool> parked_{false};
    std::atomic<int> lateMs_{0};
    mutable SlimLock mutex_;
    mutable CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    Bytes received_;
    std::vector<Bytes> requests_;
    std::deque<Scripted> replies_;
    std::thread thread_;
};

} // namespace tarvik::e2e
