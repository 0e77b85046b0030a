#include "HartMasterCall.h"

namespace tarvik::link {
namespace {

constexpr std::int32_t kScanBitTimes = 60; // a device starts its reply within this (with margin)
constexpr std::size_t kBitsPerByte = 11;   // start, 8 data, parity, stop

bool Answers(const hart::Frame& f, const hart::Address& to, std::uint8_t command) {
    if (f.type != hart::FrameType::Reply || f.command != command || f.isLong != to.isLong) return false;
    // A look-up sent to the broadcast address is answered from the device's own address.
    if (to.isLong && to.unique == hart::Address::Long({}).unique) return true;
    return f.DeviceAddress() == to;
}

} // namespace

std::size_t MasterState::PreamblesFor(const hart::Address& a) const {
    std::uint8_t n = 0;
    if (!a.isLong) {
        n = pollingPreambles_[a.polling];
    } else {
        for (const Learnt& l : longPreambles_)
            if (l.preambles && l.address == a.unique) n = l.preambles;
    }
    return std::clamp<std::size_t>(n ? n : preambles, hart::kMinPreambles, hart::kMaxPreambles);
}

void MasterState::Learn(const hart::Address& asked, const hart::Identity& id) {
    if (!id.complete || id.preambles == 0) return;
    if (!asked.isLong && asked.polling <= hart::kMaxPollingAddress)
        pollingPreambles_[asked.polling] = id.preambles;
    const auto unique = id.LongAddress().unique;
    for (Learnt& l : longPreambles_)
        if (l.preambles && l.address == unique) {
            l.preambles = id.preambles;
            return;
        }
    longPreambles_[longNext_] = {unique, id.preambles};
    longNext_ = (longNext_ + 1) % kLongSlots;
}

std::int32_t MasterState::ScanWaitMs(const hart::Address& to) const {
    const std::size_t bytes = PreamblesFor(to) + hart::FrameLength(false, 0);
    const auto bits = static_cast<std::int64_t>(bytes * kBitsPerByte) + kScanBitTimes;
    return static_cast<std::int32_t>(bits * 1000 / std::max(1, baud)) +
           static_cast<std::int32_t>(api::kUnderWaySlack.count());
}

std::int32_t MasterCall::Prepare() {
    if (!to_.isLong && to_.polling > hart::kMaxPollingAddress) return ResultBadLength;
    if (!hart::BuildRequest(to_, s_.master, command_, data_, s_.PreamblesFor(to_), s_.request))
        return ResultBadLength;
    if (scan_ && waitMs_ <= 0) waitMs_ = s_.ScanWaitMs(to_);
    return 0;
}

void MasterCall::OnFrame(const hart::Frame& f) {
    if (!f.checksumOk) {
        damaged_ = damaged_ || f.type == hart::FrameType::Reply;
        return;
    }
    if (f.type == hart::FrameType::Burst) {
        if (s_.burstHandler) s_.burstHandler(f);
        return;
    }
    if (stale_ || found_ || !Answers(f, to_, command_)) return;
    found_ = true;
    out_.responseCode = f.ResponseCode();
    out_.deviceStatus = f.DeviceStatus();
    const auto d = f.Data();
    std::copy(d.begin(), d.end(), out_.data.begin());
    out_.size = d.size();
}

// Bytes queued before the request (late replies, burst frames: handed on), and those after the
// reply in the same read.
void MasterCall::Stale(std::span<const std::uint8_t> bytes) {
    const bool before = !found_;
    stale_ = before;
    s_.decoder.Feed(bytes, [this](const hart::Frame& f) { OnFrame(f); });
    stale_ = false;
    if (before) damaged_ = false;
}

api::Remaining MasterCall::Collect(std::uint8_t b) {
    const std::uint64_t skipped = s_.decoder.SkippedBytes();
    s_.decoder.Feed(std::span(&b, 1), [this](const hart::Frame& f) { OnFrame(f); });
    skipped_ = skipped_ || s_.decoder.SkippedBytes() != skipped;
    if (found_) return {0, 0};
    const std::size_t missing = std::max<std::size_t>(1, s_.decoder.Missing());
    return {missing, missing};
}

std::int32_t MasterCall::Judge() {
    if (found_) return ResultOk;
    // Bytes that made no good frame (damaged, stray, or a frame cut short, even in its preamble)
    // tell of a damaged reply.
    const bool partial = !s_.decoder.Idle();
    s_.decoder.Reset();
    return damaged_ || partial || skipped_ ? ResultBadChecksum : ResultNoReply;
}

bool MasterCall::Again(std::int32_t result) {
    if (result == ResultNoReply) s_.decoder.Reset();
    const bool damaged = result != ResultOk || hart::DecodeFirstStatus(out_.responseCode).commError;
    return damaged && !(scan_ && result == ResultNoReply);
}

} // namespace tarvik::link
