// HART-IP messages in a TCP byte stream: messages split and joined across reads are put back
// together in a buffer that holds one message at most. A byte count below the header or above
// the maximum loses the stream's framing for good: the decoder stops there and stays failed (the
// connection is to be closed). Pure: no socket, no clock, no allocation.
#pragma once

#include <cstddef>
#include <span>

#include "Message.h"

namespace tarvik::hartip {

class StreamDecoder {
public:
    // Feeds bytes; calls `onMessage(const Message&)` for each message completed. Returns Ok, or the
    // verdict that stopped the stream (then, and on every later call, nothing more is taken).
    template <class OnMessage>
    Verdict Feed(std::span<const std::uint8_t> bytes, OnMessage&& onMessage) {
        while (!bytes.empty() && verdict_ == Verdict::Ok) {
            bool complete = false;
            bytes = bytes.subspan(Take(bytes, complete));
            if (complete) onMessage(message_);
        }
        return verdict_;
    }
    Verdict State() const { return verdict_; }
    // Bytes of a message under way.
    std::size_t Held() const { return held_; }
    // Whether nothing of a message is held.
    bool Idle() const { return held_ == 0; }

private:
    // Takes bytes of one message; returns how many, `complete` when it ended one.
    std::size_t Take(std::span<const std::uint8_t> bytes, bool& complete);

    std::array<std::uint8_t, kHeaderSize> header_{};
    std::size_t held_ = 0; // bytes of the message under way, header included
    Message message_;
    Verdict verdict_ = Verdict::Ok;
};

} // namespace tarvik::hartip
