#include "Frame.h"

#include <algorithm>

#include "../digital/Hart.h"

namespace tarvik::hart {

namespace {

constexpr std::size_t kStatusBytes = 2;

bool IsDelimiter(std::uint8_t b) {
    const std::uint8_t type = b & kFrameTypeMask;
    return type == static_cast<std::uint8_t>(FrameType::Burst) ||
           type == static_cast<std::uint8_t>(FrameType::Request) ||
           type == static_cast<std::uint8_t>(FrameType::Reply);
}

} // namespace

std::uint8_t Delimiter(FrameType type, bool isLong) {
    return static_cast<std::uint8_t>(static_cast<std::uint8_t>(type) | (isLong ? kLongFrameBit : 0));
}

std::uint8_t FirstAddressByte(const Address& address, Master master, bool burst) {
    const std::uint8_t low = address.isLong ? address.unique[0] : address.polling;
    return static_cast<std::uint8_t>((master == Master::Primary ? kMasterBit : 0) | (burst ? kBurstBit : 0) |
                                     (low & kAddressMask));
}

bool BuildFrame(FrameType type, const Address& address, Master master, bool burst, std::uint8_t command,
                std::span<const std::uint8_t> body, std::size_t preambles, FrameBytes& out) {
    out.size = 0;
    if (body.size() > kMaxData || preambles > kMaxPreambles) return false;
    auto put = [&out](std::uint8_t b) { out.bytes[out.size++] = b; };
    for (std::size_t i = 0; i < preambles; ++i)
        put(kPreambleByte);
    put(Delimiter(type, address.isLong));
    put(FirstAddressByte(address, master, burst));
    if (address.isLong)
        for (std::size_t i = 1; i < kLongAddressSize; ++i)
            put(address.unique[i]);
    put(command);
    put(static_cast<std::uint8_t>(body.size()));
    for (std::uint8_t b : body)
        put(b);
    put(digital::XorOf(std::span(out.bytes).subspan(preambles, out.size - preambles)));
    return true;
}

bool BuildReply(FrameType type, const Address& address, Master master, std::uint8_t command,
                std::uint8_t responseCode, std::uint8_t deviceStatus, std::span<const std::uint8_t> data,
                std::size_t preambles, FrameBytes& out) {
    out.size = 0;
    if (data.size() > kMaxData - kStatusBytes) return false;
    std::array<std::uint8_t, kMaxData> body;
    body[0] = responseCode;
    body[1] = deviceStatus;
    std::copy(data.begin(), data.end(), body.begin() + kStatusBytes);
    return BuildFrame(type, address, master, type == FrameType::Burst, command,
                      std::span(body).first(kStatusBytes + data.size()), preambles, out);
}

bool FrameDecoder::Step(std::uint8_t b) {
    switch (state_) {
    case State::Hunting:
        if (b == kPreambleByte) {
            preambles_ = std::min(preambles_ + 1, kMaxPreambles);
            return false;
        }
        if (preambles_ < kMinPreambles || !IsDelimiter(b)) {
            ++skipped_;
            preambles_ = 0;
            return false;
        }
        preambles_ = 0;
        frame_.type = static_cast<FrameType>(b & kFrameTypeMask);
        frame_.isLong = (b & kLongFrameBit) != 0;
        frame_.address = {};
        frame_.expansion = {};
        frame_.expansionSize = 0;
        frame_.bodySize = 0;
        addressSize_ = frame_.isLong ? kLongAddressSize : 1;
        expansionWanted_ = (b & kExpansionBits) >> kExpansionShift;
        held_[0] = b;
        heldSize_ = 1;
        xor_ = b;
        state_ = State::Address;
        return false;
    case State::Address:
        frame_.address[heldSize_ - 1] = b;
        if (heldSize_ == addressSize_) state_ = AfterAddress();
        break;
    case State::Expansion:
        frame_.expansion[frame_.expansionSize++] = b;
        if (frame_.expansionSize == expansionWanted_) state_ = State::Command;
        break;
    case State::Command:
        frame_.command = b;
        state_ = State::Count;
        break;
    case State::Count:
        state_ = b == 0 ? State::Checksum : State::Body;
        break;
    case State::Body:
        frame_.body[frame_.bodySize++] = b;
        if (frame_.bodySize == held_[CountPos()]) state_ = State::Checksum;
        break;
    case State::Checksum:
        frame_.checksumOk = xor_ == b;
        state_ = State::Hunting;
        if (frame_.checksumOk)
            ++frames_;
        else
            Fail(b);
        return true;
    }
    held_[heldSize_++] = b;
    xor_ ^= b;
    return false;
}

void FrameDecoder::Fail(std::uint8_t checksum) {
    ++damaged_;
    // The held bytes after the delimiter and the checksum byte go before the bytes still waiting
    // for another search: a frame may start among them. Both together are never more than one
    // frame's worth.
    held_[heldSize_++] = checksum;
    std::array<std::uint8_t, kMaxFrameAfterPreamble> next;
    const std::size_t ownBytes = heldSize_ - 1;
    const std::size_t waiting = replayEnd_ - replayBegin_;
    const std::size_t keep = std::min(waiting, next.size() - ownBytes);
    std::copy_n(held_.begin() + 1, ownBytes, next.begin());
    std::copy_n(replay_.begin() + static_cast<std::ptrdiff_t>(replayBegin_), keep, next.begin() + ownBytes);
    replay_ = next;
    replayBegin_ = 0;
    replayEnd_ = ownBytes + keep;
    preambles_ = 0;
    heldSize_ = 0;
}

void FrameDecoder::Reset() {
    state_ = State::Hunting;
    preambles_ = 0;
    heldSize_ = 0;
    replayBegin_ = replayEnd_ = 0;
}

FrameDecoder::State FrameDecoder::AfterAddress() const {
    return expansionWanted_ > 0 ? State::Expansion : State::Command;
}

std::size_t FrameDecoder::Missing() const {
    switch (state_) {
    case State::Hunting:
        return FrameLength(false, 0);
    case State::Address:
        return addressSize_ + 1 - heldSize_ + expansionWanted_ + 3;
    case State::Expansion:
        return expansionWanted_ - frame_.expansionSize + 3;
    case State::Command:
        return 3;
    case State::Count:
        return 2;
    case State::Body:
        return held_[CountPos()] - frame_.bodySize + 1;
    case State::Checksum:
        return 1;
    }
    return 1;
}

} // namespace tarvik::hart
