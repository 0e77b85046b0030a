// Scripted devices in memory, for the decision tables of the exports and the fast link. While a
// MemoryLines object lives, the library's lines are in-memory ports: port COM<n> exists while a
// MemoryPeer(n) does, is held by one open line at a time, and answers each request (one write of
// the library, or a line up to CR in line mode) with the next scripted reply. The clock is
// virtual and per thread: a wait of 600 ms costs nothing, and a reply "200 ms late" is queued
// once the calling thread's virtual time has passed that point.
#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "ScriptedPeer.h"

namespace tarvik::test {

class MemoryLines {
public:
    MemoryLines();
    ~MemoryLines();
    MemoryLines(const MemoryLines&) = delete;
    MemoryLines& operator=(const MemoryLines&) = delete;
};

// Moves the calling thread's virtual clock on (what sleeping would do on a real line).
void PassTime(int ms);

class MemoryPeer {
public:
    explicit MemoryPeer(int com);
    ~MemoryPeer();
    MemoryPeer(const MemoryPeer&) = delete;
    MemoryPeer& operator=(const MemoryPeer&) = delete;

    void Reply(Bytes bytes, int delayMs = 0);
    void ReplySplit(Bytes bytes, std::size_t splitAt, int delayMs, int splitDelayMs);
    void Queue(ScriptedReply reply);
    void SetResponder(std::function<ScriptedReply(const Bytes& request)> responder);
    // The port fails: an open line raises a port error at its next use, new opens fail.
    void HangUp();

    Bytes Received() const;
    // How often the library looked at the line for reply bytes (each look may wait for the first).
    std::size_t Looks() const;
    std::vector<Bytes> Requests() const;
    // Requests arrive synchronously in memory: true when `n` have.
    bool WaitForRequests(std::size_t n, int timeoutMs = 0) const;
    // Each open of the port: its rate, and whether with a parity bit.
    std::vector<std::pair<int, bool>> Opens() const;
    void ClearReceived();
    void SetLineMode(bool on);
    int Com() const { return com_; }

    struct State;

private:
    int com_;
    std::shared_ptr<State> state_;
};

} // namespace tarvik::test
