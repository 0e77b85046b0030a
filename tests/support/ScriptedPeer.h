// A scripted device on a pseudo-terminal: the library opens the terminal side as COM<n> through
// the port directory, the peer owns the master side. It records every byte it receives and answers
// each request with the next scripted reply (late, in two pieces, or not at all when asked).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvik::test {

using Bytes = std::vector<std::uint8_t>;

// The port directory of this test process (created on first use and exported as TARVIK_PORT_DIR).
const std::string& PortDir();

// Builds bytes from a string literal ("AZI\r") without the terminating zero.
Bytes BytesOf(const std::string& text);

struct ScriptedReply {
    Bytes bytes;
    int delayMs = 0;         // after the request arrived
    std::size_t splitAt = 0; // when non-zero, bytes from splitAt on are sent later ...
    int splitDelayMs = 0;    // ... this much after the first piece
    bool silent = false;     // answer nothing
    int byteUs = 0;          // in memory only: each byte this much after the one before (a line)
};

class ScriptedPeer {
public:
    // Creates a pseudo-terminal and links it as COM<com> into PortDir().
    explicit ScriptedPeer(int com);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Queue the answer to the next request; requests without a queued answer get none.
    void Reply(Bytes bytes, int delayMs = 0);
    void ReplySplit(Bytes bytes, std::size_t splitAt, int delayMs, int splitDelayMs);
    void Queue(ScriptedReply reply);
    // Answer every request without a queued reply through `responder` (a device model).
    void SetResponder(std::function<ScriptedReply(const Bytes& request)> responder);

    // Send `pattern` over and over, without pause, until StopFlood or the peer ends.
    void StartFlood(Bytes pattern);
    void StopFlood();
    // The device side goes away: both ends of the pseudo-terminal close, the link stays. It then
    // names a terminal that is gone for good: the kernel hands a freed terminal's number to the next
    // program that asks, and a link to it would reach another test's device.
    void HangUp();

    // Every byte received so far, and the same cut into requests (a request ends after a quiet
    // gap of a few milliseconds, or at a carriage return when line mode is on).
    Bytes Received() const;
    std::vector<Bytes> Requests() const;
    // Waits until `n` requests have arrived (or the timeout passes); returns whether they did.
    bool WaitForRequests(std::size_t n, int timeoutMs = 3000) const;
    // Forget what was received.
    void ClearReceived();

    // Treat a carriage return as the end of a request (read-out unit lines).
    void SetLineMode(bool on) { lineMode_ = on; }

    const std::string& TerminalPath() const { return slavePath_; }
    std::string LinkPath() const;
    int Com() const { return com_; }

private:
    void Run();
    bool Answer(const ScriptedReply& reply);
    bool Send(const std::uint8_t* data, std::size_t size);
    void Stop();
    bool Woken(); // drains the wake pipe; true when the peer is stopping

    int com_;
    int master_ = -1;
    int slave_ = -1; // kept open so that the master never sees a hang-up
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::string slavePath_;
    std::atomic<bool> lineMode_{false}; // set by the test while the peer thread runs
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Bytes received_;
    std::vector<Bytes> requests_;
    std::deque<ScriptedReply> replies_;
    std::function<ScriptedReply(const Bytes&)> responder_;
    Bytes flood_;
    std::thread thread_;
};

} // namespace tarvik::test
