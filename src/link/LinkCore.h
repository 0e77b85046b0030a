// What both links are: a line kept open with a family's settings, the options, and one request
// driver under the link's lock. A family adds its line description and its calls (api/Families.h);
// HartLink.cpp and ReadoutLink.cpp only name the commands.
#pragma once

#include <algorithm>
#include <mutex>

#include "api/Families.h"
#include "tarvik/Link.h"

namespace tarvik::link {

class LinkCore {
public:
    // Closes the line, then opens it as `describe(port, completion, line, waitMs)` says (the
    // family's line and its default wait). The result is kept: until an Open succeeds, every
    // request returns it.
    template <class Describe>
    std::int32_t Open(const char* name, std::int32_t port, Options options, Describe&& describe) {
        return api::RunCall(name, [&]() -> std::int32_t {
            std::lock_guard lock(mutex_);
            line_.Close();
            options_ = options;
            if (api::TraceRecord* trace = api::TraceRecord::Current()) trace->Port(port);
            unsettled_ = false;
            openResult_ = describe(port, api::Completion::FrameEnd, settings_, lineWaitMs_);
            if (openResult_ == 0) openResult_ = line_.Open(settings_, true);
            return openResult_;
        });
    }
    void Close() noexcept;
    bool IsOpen() const noexcept;
    void SetOptions(Options options);
    Options GetOptions() const;

    // One request under the lock: the call's checks, the line opened again if a failure closed it,
    // then request cycles with the options' timeout and retries. After a missing or damaged reply
    // the line is resynchronised before anything else is sent: before a retry, or at the start of
    // the next request (see Resync). When the port fails under the request, the line closes (the
    // next request opens it again) and `failed()` forgets what the call had written.
    template <class Call, class Failed>
    std::int32_t Run(const char* name, Call& call, Failed&& failed) {
        std::lock_guard lock(mutex_);
        return api::RunCall(name, [&]() -> std::int32_t {
            if (const std::int32_t rc = call.Prepare()) return rc;
            const std::int32_t waitMs =
                options_.timeoutMs > 0 ? options_.timeoutMs : call.WaitMs(lineWaitMs_);
            if (api::TraceRecord* trace = api::TraceRecord::Current()) trace->Line(settings_, waitMs);
            try {
                if (const std::int32_t rc = Reopen(); rc != ResultOk) return rc;
                if (unsettled_) Resync(waitMs);
                std::int32_t result = ResultNoReply;
                for (std::int32_t attempt = 0;; ++attempt) {
                    result = api::Drive(line_, waitMs, 0, call);
                    unsettled_ = call.Again(result);
                    if (!unsettled_) break;
                    unsettledSince_ = api::ActiveBackend().GetClock().Now();
                    if (attempt >= options_.retries) break;
                    Resync(waitMs);
                }
                return result;
            } catch (...) {
                line_.Close();
                failed();
                throw;
            }
        });
    }

private:
    std::int32_t Reopen();
    // After a missing or damaged reply, bytes may still be on their way: a reply that came late,
    // the rest of one cut short or spoilt by noise, the reply to this request behind a stale one.
    // Sent into, they would spoil the next exchange too, and that one's reply the one after (a
    // shift that lasts as long as requests follow each other closely). They are read and dropped
    // until the line has been quiet for a whole reply wait since the failure (at most a few waits
    // on a line that never falls quiet). A failed request returns at its time-out as before; the
    // wait falls on the next one, and the time between the two counts.
    void Resync(std::int32_t waitMs);

    mutable std::mutex mutex_;
    api::OpenLine line_;
    api::LineSettings settings_;
    std::int32_t lineWaitMs_ = 0;
    std::int32_t openResult_ = ResultBadPort; // of the last Open; ResultOk once configured
    Options options_;
    bool unsettled_ = false; // the last request failed: resynchronise before the next
    api::Clock::time_point unsettledSince_{};
};

} // namespace tarvik::link
