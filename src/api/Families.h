// The two device families as the request driver (Request.h) sees them: the line each needs and a
// call per request, which binds the family's request builder, completion rule and judge (all in
// the codecs). A further family is one more line description and call type.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "../digital/Hart.h"
#include "../readout/Protocol.h"
#include "Request.h"

namespace tarvik::api {

// ---- HART devices: 8O1 at one of the eight rates; the frame end ends a reply ----------------

// The line of a digital device at `baud` (bound into a describe function by DigitalLineOf).
inline auto DigitalLineOf(std::int32_t baud) {
    return [baud](std::int32_t port, Completion completion, LineSettings& line, std::int32_t& waitMs) {
        return DigitalLine(port, baud, completion, line, waitMs);
    };
}

// One addressed command. `decode(reply, result)` returns the final result of a full reply with a
// correct checksum; the status bytes go where the classification says. `hasStatus` and
// `hasValue`, when given, tell whether the status bytes and the value were written (the link).
template <class Decode>
class DigitalCall {
public:
    DigitalCall(const digital::Address& address, const digital::CommandSpec& desc,
                std::span<const std::uint8_t> data, std::uint8_t* status1, std::uint8_t* status2,
                Decode decode, bool* hasStatus = nullptr, bool* hasValue = nullptr)
        : desc_(desc), frame_(digital::BuildFrame(address, desc.command, data)), status1_(status1),
          status2_(status2), hasStatus_(hasStatus), hasValue_(hasValue), decode_(std::move(decode)) {}

    std::int32_t Prepare() const { return 0; }
    std::int32_t WaitMs(std::int32_t lineWait) const { return lineWait; }
    std::span<const std::uint8_t> Bytes() const { return frame_.Bytes(); }
    void Begin() {
        reply_ = {};
        if (hasStatus_) *hasStatus_ = false;
        if (hasValue_) *hasValue_ = false;
    }
    Remaining Expected() const { return RemainingOf(digital::FrameBytesRemaining(digital::Reply{}, desc_)); }
    Remaining Collect(std::uint8_t b) {
        reply_.Collect(b);
        return RemainingOf(digital::FrameBytesRemaining(reply_, desc_));
    }
    std::int32_t Judge() {
        return digital::JudgeReply(
            reply_, desc_, status1_, status2_,
            [this](const digital::Reply& r, std::int32_t result) {
                if (hasValue_) *hasValue_ = true;
                return decode_(r, result);
            },
            hasStatus_);
    }
    static bool Again(std::int32_t result) { return digital::Retryable(result); }

private:
    const digital::CommandSpec& desc_;
    digital::RequestFrame frame_;
    digital::Reply reply_;
    std::uint8_t* status1_;
    std::uint8_t* status2_;
    bool* hasStatus_;
    bool* hasValue_;
    Decode decode_;
};

// ---- the 0731 read-out unit: 9600 8N1; CR and LF end a reply --------------------------------

inline std::int32_t ReadoutLineOf(std::int32_t port, Completion completion, LineSettings& line,
                                  std::int32_t& waitMs) {
    waitMs = 0; // each request has its own
    return ReadoutLine(port, completion, line);
}

// No remembered reply length (the exports).
inline std::size_t* NoTypical() {
    return nullptr;
}

// One command of the unit. `prepare(request)` runs the command's checks and builds its request
// (0 or the check's code); `judge(reply)` sets the outputs and returns the result. `reply` is where
// the reply collects (the link keeps it between calls). `typicalOf()`, asked when the call is
// prepared, gives where the length of the last complete reply to the same command is kept (or
// nullptr): the wait is sized by it and a complete reply updates it.
template <class PrepareF, class JudgeF, class TypicalOf = decltype(&NoTypical)>
class ReadoutCall {
public:
    ReadoutCall(PrepareF prepare, JudgeF judge, std::string& reply, TypicalOf typicalOf = &NoTypical)
        : prepare_(std::move(prepare)), judge_(std::move(judge)), reply_(reply),
          typicalOf_(std::move(typicalOf)) {}

    std::int32_t Prepare() {
        typical_ = typicalOf_();
        return prepare_(request_);
    }
    std::int32_t WaitMs(std::int32_t) const { return request_.waitMs; }
    std::span<const std::uint8_t> Bytes() const {
        return std::span(reinterpret_cast<const std::uint8_t*>(request_.line.data()), request_.line.size());
    }
    void Begin() { reply_.clear(); }
    Remaining Expected() const { return RemainingOf(readout::RestOfReply(reply_, Typical())); }
    Remaining Collect(std::uint8_t b) {
        reply_ += static_cast<char>(b);
        // Bounded: a peer that never ends its line is not kept waiting for.
        if (reply_.size() >= readout::kMaxReply) return {0, 0};
        return RemainingOf(readout::RestOfReply(reply_, Typical()));
    }
    std::int32_t Judge() {
        if (typical_ && readout::LineComplete(reply_)) *typical_ = reply_.size();
        return judge_(std::string_view(reply_));
    }
    // Nothing, or no line end: the reply may come whole on another try.
    bool Again(std::int32_t result) const {
        return result == ResultNoReply || !readout::LineComplete(reply_);
    }

private:
    std::size_t Typical() const { return typical_ ? *typical_ : 0; }

    PrepareF prepare_;
    JudgeF judge_;
    readout::Request request_;
    std::string& reply_;
    TypicalOf typicalOf_;
    std::size_t* typical_ = nullptr;
};

} // namespace tarvik::api
