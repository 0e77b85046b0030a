// HART frames of any device: short (polling address) and long (unique address) frames of
// requests, replies and bursts, built into fixed buffers, and a stream decoder that finds frames in
// the bytes of a shared line. Pure: no port, no clock, no allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "../../include/tarvik/HartTypes.h"

namespace tarvik::hart {

inline constexpr std::uint8_t kPreambleByte = 0xFF;
inline constexpr std::uint8_t kLongFrameBit = 0x80;  // in the delimiter
inline constexpr std::uint8_t kFrameTypeMask = 0x07; // in the delimiter
inline constexpr std::uint8_t kExpansionBits = 0x60; // in the delimiter: how many expansion bytes
inline constexpr std::uint8_t kExpansionShift = 5;   // follow the address (0-3)
inline constexpr std::uint8_t kDelimiterShortBurst = 0x01;
inline constexpr std::uint8_t kDelimiterShortRequest = 0x02;
inline constexpr std::uint8_t kDelimiterShortReply = 0x06;
inline constexpr std::uint8_t kDelimiterLongBurst = 0x81;
inline constexpr std::uint8_t kDelimiterLongRequest = 0x82;
inline constexpr std::uint8_t kDelimiterLongReply = 0x86;
inline constexpr std::size_t kMinPreambles = 2;  // fewest preamble bytes before a frame the decoder accepts
inline constexpr std::size_t kMaxPreambles = 20; // most a frame is built with
inline constexpr std::size_t kDefaultPreambles = 5;

// Delimiter, address (5), expansion bytes, command, byte count, body, checksum: the longest frame
// after its preamble.
inline constexpr std::size_t kMaxFrameAfterPreamble =
    1 + kLongAddressSize + kMaxExpansionBytes + 2 + kMaxData + 1;
inline constexpr std::size_t kMaxFrameSize = kMaxPreambles + kMaxFrameAfterPreamble;

// A built frame, preamble included.
struct FrameBytes {
    std::array<std::uint8_t, kMaxFrameSize> bytes{};
    std::size_t size = 0; // 0: not built (a body over 255 bytes or too many preambles)
    std::span<const std::uint8_t> Bytes() const { return std::span(bytes).first(size); }
};

std::uint8_t Delimiter(FrameType type, bool isLong);
// The first address byte of a frame to or from `address`.
std::uint8_t FirstAddressByte(const Address& address, Master master, bool burst);

// Builds a frame: `preambles` 0xFF bytes, delimiter, address (with the master and burst bits),
// command, byte count, body, checksum. Replies and bursts carry their two status bytes at the
// start of `body`. Returns false (and size 0) when the body or the preamble count does not fit.
bool BuildFrame(FrameType type, const Address& address, Master master, bool burst, std::uint8_t command,
                std::span<const std::uint8_t> body, std::size_t preambles, FrameBytes& out);
// A master's request.
inline bool BuildRequest(const Address& address, Master master, std::uint8_t command,
                         std::span<const std::uint8_t> data, std::size_t preambles, FrameBytes& out) {
    return BuildFrame(FrameType::Request, address, master, false, command, data, preambles, out);
}
// A device's reply or burst frame: the status bytes, then `data` (at most 253 bytes).
bool BuildReply(FrameType type, const Address& address, Master master, std::uint8_t command,
                std::uint8_t responseCode, std::uint8_t deviceStatus, std::span<const std::uint8_t> data,
                std::size_t preambles, FrameBytes& out);

// Number of bytes a frame takes after its preamble.
inline std::size_t FrameLength(bool isLong, std::size_t bodySize) {
    return 1 + (isLong ? kLongAddressSize : 1) + 2 + bodySize + 1;
}

// Finds frames in a byte stream: a frame starts after at least two preamble bytes with a known
// delimiter and ends after its byte count and checksum; the expansion bytes the delimiter announces
// (bits 6-5) are kept apart in Frame::expansion. Bytes before a frame are skipped. A frame
// whose checksum fails is reported (checksumOk false) and its bytes after the delimiter are searched
// again, so a frame cut short by the next one is not lost. Memory is fixed: at most one frame is
// held, whatever the stream.
class FrameDecoder {
public:
    // Feeds bytes; calls `onFrame(const Frame&)` for each frame completed.
    template <class OnFrame>
    void Feed(std::span<const std::uint8_t> bytes, OnFrame&& onFrame) {
        for (std::uint8_t b : bytes) {
            if (Step(b)) onFrame(frame_);
            while (replayBegin_ < replayEnd_)
                if (Step(replay_[replayBegin_++])) onFrame(frame_);
        }
    }
    // Takes one byte; true when it completed a frame (then Last() holds it). Bytes held for another
    // search are taken by the next calls of Feed, or by Drain.
    bool Step(std::uint8_t b);
    // Searches the held bytes again (after Step returned a damaged frame); calls onFrame for frames.
    template <class OnFrame>
    void Drain(OnFrame&& onFrame) {
        while (replayBegin_ < replayEnd_)
            if (Step(replay_[replayBegin_++])) onFrame(frame_);
    }
    const Frame& Last() const { return frame_; }
    // Forgets a partly received frame (a gap on the line ended it).
    void Reset();
    // Whether a frame is under way (its delimiter seen).
    bool InFrame() const { return state_ != State::Hunting; }
    // Whether nothing of a frame is held: no frame under way and no preamble bytes counted.
    bool Idle() const { return state_ == State::Hunting && preambles_ == 0; }
    // Bytes still needed to complete the frame under way at the least; with no frame under way, the
    // shortest frame after a delimiter.
    std::size_t Missing() const;

    std::uint64_t Frames() const { return frames_; }        // completed, checksum good
    std::uint64_t Damaged() const { return damaged_; }      // completed, checksum wrong
    std::uint64_t SkippedBytes() const { return skipped_; } // outside any frame (not preamble)

private:
    enum class State { Hunting, Address, Expansion, Command, Count, Body, Checksum };
    void Fail(std::uint8_t checksum);
    std::size_t CountPos() const { return 1 + addressSize_ + frame_.expansionSize + 1; } // in held_
    State AfterAddress() const; // the state after the address's last byte

    State state_ = State::Hunting;
    std::size_t preambles_ = 0;
    std::array<std::uint8_t, kMaxFrameAfterPreamble> held_{}; // the frame under way, from its delimiter
    std::size_t heldSize_ = 0;
    std::size_t addressSize_ = 0;
    std::size_t expansionWanted_ = 0;
    std::uint8_t xor_ = 0;
    Frame frame_;
    std::array<std::uint8_t, kMaxFrameAfterPreamble> replay_{};
    std::size_t replayBegin_ = 0, replayEnd_ = 0;
    std::uint64_t frames_ = 0, damaged_ = 0, skipped_ = 0;
};

} // namespace tarvik::hart
