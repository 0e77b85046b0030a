// The HART master's family, as LinkCore runs it: any command to any device in short or long frames,
// the reply found with the codec's stream decoder, so burst frames and stray bytes on a shared line
// neither end nor spoil a reply; burst frames seen around and between replies go to the burst
// handler; a busy device is asked again after a back-off (LinkCore's busy retries).
#pragma once

#include <algorithm>
#include <array>
#include <functional>

#include "LinkCore.h"
#include "hart/Frame.h"
#include "hart/Status.h"
#include "hart/Universal.h"
#include "tarvik/HartMaster.h"

namespace tarvik::link {

// What a master keeps between its calls (used on its line's turn only): the frame decoder, the
// request, the preambles each device asked for, the burst handler.
class MasterState {
public:
    hart::Master master = hart::Master::Primary;
    std::uint8_t preambles = 5; // for devices not learnt
    std::int32_t baud = 0;
    hart::FrameDecoder decoder;
    hart::FrameBytes request;
    std::function<void(const hart::Frame&)> burstHandler;

    std::size_t PreamblesFor(const hart::Address& a) const;
    void Learn(const hart::Address& asked, const hart::Identity& id);
    // The wait of a scan: the request's time on the wire, then the time a device may take to start.
    std::int32_t ScanWaitMs(const hart::Address& to) const;

private:
    static constexpr std::size_t kLongSlots = 64; // long addresses whose preambles are remembered
    struct Learnt {
        std::array<std::uint8_t, hart::kLongAddressSize> address{};
        std::uint8_t preambles = 0;
    };
    std::array<std::uint8_t, hart::kMaxPollingAddress + 1> pollingPreambles_{}; // 0: not learnt
    std::array<Learnt, kLongSlots> longPreambles_{};
    std::size_t longNext_ = 0;
};

// One command. A reply is taken when it is a reply frame with a good checksum from the addressed
// device to this command; a damaged frame, stray bytes, or a frame cut short tell of a damaged
// reply (ResultBadChecksum). `scan`: silence is an empty address (not tried again), no busy retry.
class MasterCall {
public:
    static constexpr bool kSelfSyncing = true;

    MasterCall(MasterState& state, const hart::Address& to, std::uint8_t command,
               std::span<const std::uint8_t> data, std::int32_t waitMs, bool scan, HartReply& out)
        : s_(state), to_(to), command_(command), data_(data), waitMs_(waitMs), scan_(scan), out_(out) {}

    std::int32_t Prepare();
    std::int32_t OwnWaitMs() const { return waitMs_; }
    static std::int32_t WaitMs(std::int32_t lineWait) { return lineWait; }
    std::span<const std::uint8_t> Bytes() const { return s_.request.Bytes(); }
    void Begin() {
        ++out_.attempts;
        out_.size = 0;
        found_ = damaged_ = skipped_ = false;
    }
    api::Remaining Expected() const { return {kShortestReply, kShortestReply}; }
    void Stale(std::span<const std::uint8_t> bytes);
    api::Remaining Collect(std::uint8_t b);
    std::size_t OverrunBytes() const { return hart::kMaxFrameSize; }
    std::int32_t Judge();
    bool Again(std::int32_t result);
    bool Busy(std::int32_t result) const {
        return !scan_ && result == ResultOk && hart::DecodeFirstStatus(out_.responseCode).Busy();
    }
    void Reopened() { s_.decoder.Reset(); }

private:
    static constexpr std::size_t kShortestReply = hart::kMinPreambles + 7; // short frame with status

    void OnFrame(const hart::Frame& f);

    MasterState& s_;
    hart::Address to_;
    std::uint8_t command_;
    std::span<const std::uint8_t> data_;
    std::int32_t waitMs_;
    bool scan_;
    HartReply& out_;
    bool stale_ = false, found_ = false, damaged_ = false, skipped_ = false;
};

} // namespace tarvik::link
