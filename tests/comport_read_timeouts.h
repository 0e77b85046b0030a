// The read tables of the port component (the time-out rules of Read, and ReadAvailable), shared
// by the Linux tests (pseudo-terminal) and the Win32 tests under Wine, so that both backends
// answer the same cases the same way.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comport/ComPort.h"

namespace tarvik::comport_test {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// A generous bound for anything that must happen "promptly": a slow or loaded machine stays far
// below it, a hang never ends before it.
inline constexpr std::chrono::seconds kPrompt{20};

// Runs `f` on its own thread and reports whether it finished within kPrompt x `factor`. A call
// that hangs is left behind (detached), so that the failure is reported instead of hanging. An
// exception escaping `f` is a failure too (its text goes to standard error), not the end of the
// test program.
inline bool FinishesPromptly(std::function<void()> f, int factor = 1) {
    auto done = std::make_shared<std::promise<bool>>();
    auto future = done->get_future();
    std::thread([f = std::move(f), done] {
        try {
            f();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "escaped: %s\n", e.what());
            done->set_value(false);
            return;
        } catch (...) {
            std::fprintf(stderr, "an exception escaped\n");
            done->set_value(false);
            return;
        }
        done->set_value(true);
    }).detach();
    return future.wait_for(kPrompt * factor) == std::future_status::ready && future.get();
}

// Plays the device of a case: `early` is sent and waited for in `port`'s input queue; the thread
// returned sends each piece of `later` `gapMs` after the one before.
inline std::thread PlayDevice(comport::TComPort& port, const Bytes& early, const std::vector<Bytes>& later,
                              int gapMs, const std::function<void(const Bytes&)>& send) {
    if (!early.empty()) {
        send(early);
        const auto until = Clock::now() + kPrompt;
        while (port.InputCount() < static_cast<std::int32_t>(early.size()) && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::thread([&later, gapMs, &send] {
        for (const Bytes& piece : later) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            send(piece);
        }
    });
}

// MAXDWORD is stored as -1. A case sends `early` before the read starts, then each piece of
// `later` `gapMs` apart; the read asks for `length` bytes.
struct ReadTimeoutCase {
    const char* name;
    std::int32_t interval, multiplier, constant;
    std::int32_t length;
    Bytes early;
    std::vector<Bytes> later;
    int gapMs;
    bool timeout;   // the read ends short ("Timeout")
    Bytes expected; // the start of the buffer afterwards
};

inline const std::vector<ReadTimeoutCase>& ReadTimeoutCases() {
    static const std::vector<ReadTimeoutCase> cases = {
        {"0/0/0: waits for every byte", 0, 0, 0, 3, {}, {{1}, {2}, {3}}, 100, false, {1, 2, 3}},
        {"MAXDWORD/0/0: what is queued, at once", -1, 0, 0, 4, {1, 2}, {}, 0, true, {1, 2}},
        {"MAXDWORD/0/0: nothing queued", -1, 0, 0, 4, {}, {}, 0, true, {}},
        {"interval: restarts on every byte",
         400,
         0,
         0,
         5,
         {},
         {{1}, {2}, {3}, {4}, {5}},
         150,
         false,
         {1, 2, 3, 4, 5}},
        {"interval: ends a read after a silence", 100, 0, 0, 4, {}, {{1, 2}}, 0, true, {1, 2}},
        {"MAXDWORD/MAXDWORD/c: nothing within c", -1, -1, 100, 200, {}, {}, 0, true, {}},
        {"MAXDWORD/MAXDWORD/c: the first byte ends it", -1, -1, 60000, 200, {}, {{9, 8}}, 100, true, {9, 8}},
        {"MAXDWORD/MAXDWORD/c: queued bytes end it", -1, -1, 60000, 200, {7}, {}, 0, true, {7}},
        {"total: multiplier x n + constant", 0, 10, 100, 5, {1, 2, 3}, {}, 0, true, {1, 2, 3}},
        {"total: all in time", 0, 10, 5000, 3, {}, {{1}, {2, 3}}, 50, false, {1, 2, 3}},
        {"interval and total: the interval first", 100, 0, 60000, 4, {1}, {}, 0, true, {1}},
    };
    return cases;
}

struct ReadTimeoutOutcome {
    bool finished = false; // within kPrompt
    bool timedOut = false; // EComError of kind ekTimeout
    std::string error;     // the text of any other EComError
    Bytes start;           // the first expected.size() bytes of the buffer
};

// Runs one case on the open `port`; `send` plays the device.
inline ReadTimeoutOutcome RunReadTimeoutCase(const ReadTimeoutCase& c, comport::TComPort& port,
                                             const std::function<void(const Bytes&)>& send) {
    port.Timeouts().SetReadInterval(c.interval);
    port.Timeouts().SetReadMultiplier(c.multiplier);
    port.Timeouts().SetReadConstant(c.constant);
    std::thread sender = PlayDevice(port, c.early, c.later, c.gapMs, send);
    auto buffer = std::make_shared<Bytes>(static_cast<std::size_t>(c.length), 0);
    auto outcome = std::make_shared<ReadTimeoutOutcome>();
    outcome->finished = FinishesPromptly([&port, buffer, outcome, length = c.length] {
        try {
            port.Read(buffer->data(), length, true);
        } catch (const comport::EComError& e) {
            outcome->timedOut = e.Kind == comport::ekTimeout;
            if (!outcome->timedOut) outcome->error = e.what();
        }
    });
    sender.join();
    if (!outcome->finished) {
        port.Close(); // ends the hung read, which must not outlive the port
        return *outcome;
    }
    outcome->start.assign(buffer->begin(), buffer->begin() + static_cast<std::ptrdiff_t>(c.expected.size()));
    return *outcome;
}

// ReadAvailable: `early` is queued before the call, each piece of `later` follows `gapMs` apart.
// The call takes `expected` (a piece may arrive in parts: only its start is required when
// `prefix`), with no error. `port` time-outs are 0/0/0 (wait for every byte) around the call: a
// later two-byte Read with its second byte 300 ms late must still get both.
struct ReadAvailableCase {
    const char* name;
    std::int32_t length, waitMs;
    Bytes early;
    std::vector<Bytes> later;
    int gapMs;
    Bytes expected;
    bool prefix = false;
};

inline const std::vector<ReadAvailableCase>& ReadAvailableCases() {
    static const std::vector<ReadAvailableCase> cases = {
        {"queued bytes come at once", 8, 60000, {1, 2, 3}, {}, 0, {1, 2, 3}},
        {"no more than the length", 2, 60000, {1, 2, 3}, {}, 0, {1, 2}},
        {"nothing within the wait: none, no error", 8, 100, {}, {}, 0, {}},
        {"no wait, nothing queued: none at once", 8, 0, {}, {}, 0, {}},
        {"the first byte ends the wait", 8, 60000, {}, {{9, 8}}, 100, {9}, true},
    };
    return cases;
}

// Whether `got` is what case `c` expects.
inline bool GotExpected(const ReadAvailableCase& c, const Bytes& got) {
    if (!c.prefix) return got == c.expected;
    return got.size() >= c.expected.size() && std::equal(c.expected.begin(), c.expected.end(), got.begin());
}

struct ReadAvailableOutcome {
    bool finished = false;    // within kPrompt
    std::string error;        // the text of an EComError
    Bytes got;                // what the call took
    bool timeoutsKept = true; // the Timeouts values are as before
    std::string laterRead;    // what went wrong with the two-byte Read afterwards ("" when fine)
};

// Runs one case on the open `port`; `send` plays the device.
inline ReadAvailableOutcome RunReadAvailableCase(const ReadAvailableCase& c, comport::TComPort& port,
                                                 const std::function<void(const Bytes&)>& send) {
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadMultiplier(0);
    port.Timeouts().SetReadConstant(0);
    std::thread sender = PlayDevice(port, c.early, c.later, c.gapMs, send);
    auto buffer = std::make_shared<Bytes>(static_cast<std::size_t>(c.length), 0);
    auto outcome = std::make_shared<ReadAvailableOutcome>();
    outcome->finished = FinishesPromptly([&port, buffer, outcome, &c] {
        try {
            const std::int32_t n = port.ReadAvailable(buffer->data(), c.length, c.waitMs);
            buffer->resize(static_cast<std::size_t>(std::max(0, n)));
        } catch (const comport::EComError& e) {
            outcome->error = e.what();
        }
    });
    sender.join();
    if (!outcome->finished) {
        port.Close(); // ends the hung call, which must not outlive the port
        return *outcome;
    }
    outcome->got = *buffer;
    // Whatever the case left queued is not the later read's.
    for (Bytes rest(64); port.InputCount() > 0;)
        port.ReadAvailable(rest.data(), static_cast<std::int32_t>(rest.size()), 0);
    outcome->timeoutsKept = port.Timeouts().ReadInterval() == 0 && port.Timeouts().ReadMultiplier() == 0 &&
                            port.Timeouts().ReadConstant() == 0;
    std::thread late([&] {
        send({5});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        send({6});
    });
    const bool laterFinished = FinishesPromptly([&port, outcome] {
        std::uint8_t two[2] = {};
        try {
            port.Read(two, 2, true);
            if (two[0] != 5 || two[1] != 6) outcome->laterRead = "wrong bytes";
        } catch (const comport::EComError& e) {
            outcome->laterRead = e.what();
        }
    });
    late.join();
    if (!laterFinished) {
        outcome->laterRead = "hung";
        port.Close();
    }
    return *outcome;
}

} // namespace tarvik::comport_test
