// What every link is: a user of a line (tarvik/Line.h) with its family's settings and options,
// running one request driver on the line's turn. A family adds its line description and its calls
// (api/Families.h; the HART master's in HartMasterCall.h); HartLink.cpp, ReadoutLink.cpp and
// HartMaster*.cpp only name the commands.
//
// A call may add to what api/Request.h describes:
//   std::int32_t OwnWaitMs();     // a wait of its own (> 0) before the options' and the line's
//   bool Busy(std::int32_t);      // the device is busy: again after a back-off (busy retries)
//   void Reopened();              // the line was opened again: stream state is gone
//   static constexpr bool kSelfSyncing = true; // finds its reply among stray bytes: no resync
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "api/Families.h"
#include "tarvik/Line.h"

namespace tarvik::link {

// The options of every family: the fast link's, and the HART master's busy back-off.
struct CoreOptions {
    std::int32_t timeoutMs = 0;
    std::int32_t retries = 0;
    std::int32_t busyRetries = 0;
    std::int32_t busyBackoffMs = 0;
};

inline CoreOptions CoreOf(const Options& o) {
    return {o.timeoutMs, o.retries, 0, 0};
}

inline Options LinkOf(const CoreOptions& o) {
    return {o.timeoutMs, o.retries};
}

// The shared line: the port as last opened, and the turns. Everything but the turn counters is
// used only by the holder of the turn.
struct Line::Impl {
    std::mutex turnMutex;
    std::condition_variable turnCv;
    std::uint64_t nextTicket = 0; // under turnMutex
    std::uint64_t serving = 0;    // under turnMutex

    api::OpenLine port;
    bool unsettled = false; // the last request failed: resynchronise before the next
    api::Clock::time_point unsettledSince{};

    void Close() noexcept {
        port.Close();
        unsettled = false;
    }
};

// The line for the holder of this object, first come, first served.
class Turn {
public:
    explicit Turn(Line::Impl& line) : line_(line) {
        std::unique_lock lock(line.turnMutex);
        const std::uint64_t mine = line.nextTicket++;
        line.turnCv.wait(lock, [&] { return line.serving == mine; });
    }
    ~Turn() {
        {
            std::lock_guard lock(line_.turnMutex);
            ++line_.serving;
        }
        line_.turnCv.notify_all();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

private:
    Line::Impl& line_;
};

class LinkCore {
public:
    explicit LinkCore(std::shared_ptr<Line::Impl> line) : line_(std::move(line)) {}

    // Closes the line, then opens it as `describe(port, completion, line, waitMs)` says (the
    // family's line and its default wait; run on the turn). The result is kept: until an Open
    // succeeds, every request returns it.
    template <class Describe>
    std::int32_t Open(const char* name, std::int32_t port, CoreOptions options, Describe&& describe) {
        return api::RunCall(name, [&]() -> std::int32_t {
            Turn turn(*line_);
            line_->Close();
            options_ = options;
            if (api::TraceRecord* trace = api::TraceRecord::Current()) trace->Port(port);
            openResult_ = describe(port, api::Completion::FrameEnd, settings_, lineWaitMs_);
            if (openResult_ == 0) openResult_ = line_->port.Open(settings_, true);
            return openResult_;
        });
    }
    void Close() noexcept;
    // Opened, and the port is open (with this user's settings or another user's).
    bool IsOpen() const noexcept;
    void SetOptions(CoreOptions options);
    CoreOptions GetOptions() const;

    // Runs `f()` on the line's turn.
    template <class F>
    auto Under(F&& f) const {
        Turn turn(*line_);
        return f();
    }
    // For use on the turn only.
    CoreOptions& OptionsOnTurn() { return options_; }

    // Runs `body(port)` on the turn, on the port opened with this user's settings (`reopened()`
    // when that took opening it again). A port error closes the port and goes on to the caller.
    template <class Reopened, class Body>
    std::int32_t Hold(Reopened&& reopened, Body&& body) {
        Turn turn(*line_);
        try {
            if (const std::int32_t rc = Reopen(reopened); rc != ResultOk) return rc;
            return body(line_->port);
        } catch (...) {
            line_->Close();
            throw;
        }
    }

    // One request on the turn: the call's checks, the port opened again (with this user's
    // settings) if a failure closed it or another user switched it, then request cycles with the
    // options' timeout and retries, and the busy back-off. After a missing or damaged reply the
    // line is resynchronised before anything else is sent: before a retry, or at the start of the
    // next request (see Resync). When the port fails under the request, the port closes (the next
    // request opens it again) and `failed()` forgets what the call had written.
    template <class Call, class Failed>
    std::int32_t Run(const char* name, Call& call, Failed&& failed) {
        Turn turn(*line_);
        return api::RunCall(name, [&]() -> std::int32_t {
            if (const std::int32_t rc = call.Prepare()) return rc;
            const std::int32_t waitMs = WaitOf(call);
            if (api::TraceRecord* trace = api::TraceRecord::Current()) trace->Line(settings_, waitMs);
            try {
                const auto reopened = [&] {
                    if constexpr (requires { call.Reopened(); }) call.Reopened();
                };
                if (const std::int32_t rc = Reopen(reopened); rc != ResultOk) return rc;
                return Cycles(call, waitMs);
            } catch (...) {
                line_->Close();
                failed();
                throw;
            }
        });
    }

private:
    template <class Call>
    static constexpr bool SelfSyncing() {
        if constexpr (requires { Call::kSelfSyncing; })
            return Call::kSelfSyncing;
        else
            return false;
    }

    template <class Call>
    std::int32_t WaitOf(Call& call) const {
        if constexpr (requires { call.OwnWaitMs(); })
            if (const std::int32_t own = call.OwnWaitMs(); own > 0) return own;
        return options_.timeoutMs > 0 ? options_.timeoutMs : call.WaitMs(lineWaitMs_);
    }

    // The tries of one request: again on a missing or damaged reply (`retries`), again after a
    // back-off that doubles while the device is busy (`busyRetries`).
    template <class Call>
    std::int32_t Cycles(Call& call, std::int32_t waitMs) {
        Line::Impl& l = *line_;
        api::Clock& clock = api::ActiveBackend().GetClock();
        constexpr bool kResync = !SelfSyncing<Call>();
        if (l.unsettled && kResync) Resync(waitMs);
        l.unsettled = false;
        std::int32_t damagedLeft = std::max(0, options_.retries);
        std::int32_t busyLeft = std::max(0, options_.busyRetries);
        std::chrono::milliseconds backoff{std::max(0, options_.busyBackoffMs)};
        for (;;) {
            const std::int32_t result = api::Drive(l.port, waitMs, 0, call);
            if (call.Again(result)) {
                if (kResync) {
                    l.unsettled = true;
                    l.unsettledSince = clock.Now();
                }
                if (damagedLeft-- <= 0) return result;
                if (kResync) Resync(waitMs);
                continue;
            }
            bool busy = false;
            if constexpr (requires { call.Busy(result); }) busy = call.Busy(result);
            if (!busy || busyLeft-- <= 0) return result;
            clock.SleepFor(backoff);
            backoff *= 2;
        }
    }

    // The port with this user's settings: as it is, or opened again (after a failure closed it,
    // or for another user's settings).
    template <class Reopened>
    std::int32_t Reopen(Reopened&& reopened) {
        if (openResult_ != ResultOk) return openResult_;
        api::OpenLine& port = line_->port;
        if (port.IsOpen() && SameLine(port.Settings(), settings_)) return ResultOk;
        line_->Close();
        reopened();
        return port.Open(settings_, true);
    }
    static bool SameLine(const api::LineSettings& a, const api::LineSettings& b) {
        return a.device == b.device && a.baud == b.baud && a.parity == b.parity &&
               a.completion == b.completion;
    }
    // After a missing or damaged reply, bytes may still be on their way: a reply that came late,
    // the rest of one cut short or spoilt by noise, the reply to this request behind a stale one.
    // Sent into, they would spoil the next exchange too, and that one's reply the one after (a
    // shift that lasts as long as requests follow each other closely). They are read and dropped
    // until the line has been quiet for a whole reply wait since the failure (at most a few waits
    // on a line that never falls quiet). A failed request returns at its time-out as before; the
    // wait falls on the next one, and the time between the two counts.
    void Resync(std::int32_t waitMs);

    std::shared_ptr<Line::Impl> line_;
    // This user's, used on the turn only.
    api::LineSettings settings_;
    std::int32_t lineWaitMs_ = 0;
    std::int32_t openResult_ = ResultBadPort; // of the last Open; ResultOk once configured
    CoreOptions options_;
};

} // namespace tarvik::link
