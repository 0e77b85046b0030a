// End-to-end cases written once and run on both platforms.
//
// A case file (tests/e2e/*_cases.cpp) includes this header, writes its cases inside namespace
// tarvik::e2e with E2E_CASE and the E2E_EXPECT_ / E2E_ASSERT_ macros, calls the exports by their
// plain names and plays the device through a Peer from MakePeer(com).
//   - Linux: the cases are gtest tests of tarvik_tests, the exports are linked in, and the peer is
//     an in-memory device (the waits cost nothing); a case written with E2E_PTY_CASE runs a second
//     time, as suite "<suite>OnPty", against a pseudo-terminal ScriptedPeer through the real port
//     backend: a thin slice per family (tests/support/E2EPeers.cpp).
//   - Windows (TARVIK_E2E_RUNNER, tests/wine): a small runner collects the cases, each export name
//     resolves to a function looked up with GetProcAddress in the loaded TarvikDLL.dll, and the
//     peer talks through a COM port of its own that is wired to the library's port.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "TarvikDLL.h"
#include "support/HartFrames.h"

namespace tarvik::e2e {

using test::Bytes;
using test::HartFrame;
using test::OnLine;

// A scripted device on the other end of the library's port COM<com>. Each request (bytes followed
// by a quiet gap, or a line ending in CR in line mode) is answered with the next queued reply;
// requests without a queued reply get none.
class Peer {
public:
    virtual ~Peer() = default;
    // Answer the next request with `bytes`, `delayMs` after its last byte.
    virtual void Reply(Bytes bytes, int delayMs = 0) = 0;
    // The same in two pieces: bytes from `splitAt` on follow `splitDelayMs` after the first piece.
    virtual void ReplySplit(Bytes bytes, std::size_t splitAt, int delayMs, int splitDelayMs) = 0;
    virtual Bytes Received() const = 0;
    virtual std::vector<Bytes> Requests() const = 0;
    // Waits until n requests have ended: a peer running as a thread may see the end of a request
    // after the call that sent it has returned, so cases wait for it before they count requests.
    virtual bool WaitForRequests(std::size_t n, int timeoutMs = 3000) const = 0;
    virtual void ClearReceived() = 0;
    virtual void SetLineMode(bool on) = 0;
    // How much later than scripted, in ms by the peer's own clock, its last answer started: a peer
    // running as a thread of a busy machine may wake late (0 where time is exact, in memory).
    virtual int LastAnswerLateMs() const { return 0; }
};

// The peer of port number `com` (1..40).
std::unique_ptr<Peer> MakePeer(int com);

// A port number in 1..40 that the system does not list.
int AbsentPort();

// Milliseconds of sleep on the test's thread (in memory: its virtual clock moves on).
void PauseMs(int ms);

// While one lives, the case runs in memory; while an OnPty lives, on pseudo-terminals.
class InMemory {
public:
    InMemory();
    ~InMemory();

private:
    struct Lines;
    std::unique_ptr<Lines> lines_;
};
struct OnPty {
    OnPty();
    ~OnPty();
};

} // namespace tarvik::e2e

#if defined(TARVIK_E2E_RUNNER)
#include "wine/CaseRunner.h"
#include "wine/DllExports.h"
#else
#include <gtest/gtest.h>
#define E2E_CASE(suite, name)                                                                                \
    static void suite##_##name##_Case();                                                                     \
    TEST(suite, name) {                                                                                      \
        const ::tarvik::e2e::InMemory lines;                                                                 \
        suite##_##name##_Case();                                                                             \
    }                                                                                                        \
    static void suite##_##name##_Case()
#define E2E_PTY_CASE(suite, name)                                                                            \
    static void suite##_##name##_Case();                                                                     \
    TEST(suite##OnPty, name) {                                                                               \
        const ::tarvik::e2e::OnPty pty;                                                                      \
        suite##_##name##_Case();                                                                             \
    }                                                                                                        \
    E2E_CASE(suite, name)
#define E2E_EXPECT_EQ(a, b) EXPECT_EQ(a, b)
#define E2E_EXPECT_TRUE(c) EXPECT_TRUE(c)
#define E2E_ASSERT_EQ(a, b) ASSERT_EQ(a, b)
#define E2E_ASSERT_TRUE(c) ASSERT_TRUE(c)
#endif
