// The HART long frame as the digital family uses it: request building, the collection rule of a
// reply, when a reply is complete, and its classification. A command is data (CommandSpec) plus a
// decoder. Pure: no port, no clock, no allocation beyond the vector form of a request.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tarvik/ResultCodes.h"

namespace tarvik::digital {

inline constexpr std::uint8_t kPreambleByte = 0xFF;
inline constexpr std::size_t kPreambleCount = 5;
inline constexpr std::uint8_t kDelimiterMasterLong = 0x82; // long frame, master to device
inline constexpr std::uint8_t kPrimaryMaster = 0x8A;       // first address byte of addressed requests
inline constexpr std::uint8_t kBroadcastFirst = 0x80;      // first byte of the broadcast address
inline constexpr std::uint8_t kStatusClean = 0x00;         // Status2 values that count as clean
inline constexpr std::uint8_t kStatusCleanAlt = 0x40;
inline constexpr std::uint8_t kByteCountFull = 3;  // byte count of a 12-byte full reply
inline constexpr std::uint8_t kByteCountShort = 2; // byte count of a short reply

// Positions in a stored reply (preamble removed).
inline constexpr std::size_t kPosByteCount = 7;
inline constexpr std::size_t kPosStatus1 = 8;
inline constexpr std::size_t kPosStatus2 = 9;
inline constexpr std::size_t kPosData = 10;
inline constexpr std::int32_t kShortLength = 11; // a reply with the two status bytes only

// Low 8 bits of a 32-bit argument slot.
constexpr std::uint8_t Low8(std::int32_t v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}

// Reply of a digital device as collected: preamble 0xFF bytes dropped, at most 51 bytes stored,
// `count` counts every byte after the preamble (it may exceed the buffer).
struct Reply {
    static constexpr std::size_t kCapacity = 51;
    std::array<std::uint8_t, kCapacity> bytes{};
    std::int32_t count = 0;
    bool started = false;

    // The collection rule for one received byte.
    void Collect(std::uint8_t b) {
        if (!started) {
            if (b == kPreambleByte) return;
            started = true;
        }
        if (static_cast<std::size_t>(count) < kCapacity) bytes[static_cast<std::size_t>(count)] = b;
        ++count;
    }
};

// The five address bytes of a request.
struct Address {
    std::array<std::uint8_t, 5> bytes{};
    static Address Device(std::int32_t deviceType, std::int32_t idHigh, std::int32_t idMid,
                          std::int32_t idLow) {
        return {{kPrimaryMaster, Low8(deviceType), Low8(idHigh), Low8(idMid), Low8(idLow)}};
    }
    static Address Broadcast() { return {{kBroadcastFirst, 0, 0, 0, 0}}; }
};

std::uint8_t XorOf(std::span<const std::uint8_t> bytes);

// A request frame in a fixed buffer (no allocation): 14 + data bytes.
inline constexpr std::size_t kMaxRequestData = 16;
inline constexpr std::size_t kFrameOverhead = 14; // preamble .. byte count, and the checksum
struct RequestFrame {
    std::array<std::uint8_t, kFrameOverhead + kMaxRequestData> bytes{};
    std::size_t size = 0;
    std::span<const std::uint8_t> Bytes() const { return std::span(bytes).first(size); }
};

// Preamble, delimiter, address, command, byte count, data, checksum. `data` holds at most
// kMaxRequestData bytes (every command's data is far shorter); more are not sent.
RequestFrame BuildFrame(const Address& address, std::uint8_t command, std::span<const std::uint8_t> data);
// The same frame as a vector.
std::vector<std::uint8_t> BuildRequest(const Address& address, std::uint8_t command,
                                       std::span<const std::uint8_t> data);

// What a command expects of its reply.
struct CommandSpec {
    std::uint8_t command;
    std::int32_t fullLength;     // L: 11 + reply data bytes after the two status bytes
    bool byteCountTest = false;  // L = 12 commands that require byte count 3 (full) / 2 (short)
    bool deviceStatus = true;    // false: never ResultDeviceStatus (a clean result whatever Status2)
    bool statusOnSuccess = true; // false: Status1/Status2 not written on a full reply (ReadTAG)
};

// Outcome of classifying a stored reply.
struct Classification {
    std::int32_t result; // ResultOk/ResultDeviceStatus/ResultErrorReply/... ; 0 never
    bool full = false;   // a full reply with a correct checksum (and byte count): decode it
    bool status = false; // write Status1 and Status2
};

// Classifies `reply` against the command (length, checksum, byte count, Status2 rule).
Classification Classify(const Reply& reply, const CommandSpec& desc);

// Big-endian 32-bit word at reply position `pos` (the raw float pattern, unconverted).
std::int32_t WordAt(const Reply& reply, std::size_t pos);

// Stored bytes of a frame besides its data: delimiter, five address bytes, command, byte count,
// checksum.
inline constexpr std::int32_t kFrameFraming = 9;

// Whether a reply being collected is complete: the stored count reaches the length its byte count
// gives, or it is longer than any count the command could accept (a bad length whatever follows).
inline bool FrameComplete(const Reply& reply, const CommandSpec& desc) {
    const std::int32_t k = reply.count;
    if (k > std::max(desc.fullLength + 1, kShortLength + 1)) return true;
    if (k <= static_cast<std::int32_t>(kPosByteCount)) return false;
    return k >= kFrameFraming + reply.bytes[kPosByteCount];
}

// How many stored bytes a reply being collected still needs at the least before FrameComplete
// holds; 0 once it does. A lower bound (the byte count may be unread yet), so that a wait sized
// by it never outlasts the reply.
inline std::int32_t FrameBytesMissing(const Reply& reply, const CommandSpec& desc) {
    if (FrameComplete(reply, desc)) return 0;
    const std::int32_t k = reply.count;
    const std::int32_t byLength = std::max(desc.fullLength + 1, kShortLength + 1) + 1;
    const std::int32_t byCount = k > static_cast<std::int32_t>(kPosByteCount)
                                     ? kFrameFraming + reply.bytes[kPosByteCount]
                                     : kFrameFraming;
    return std::max(1, std::min(byLength, byCount) - k);
}

// What a reply being collected still needs: at the least (FrameBytesMissing), and likely: until
// its byte count is in, as much as a full reply of the command would need.
struct FrameRemaining {
    std::int32_t atLeast = 0;
    std::int32_t likely = 0;
};
inline FrameRemaining FrameBytesRemaining(const Reply& reply, const CommandSpec& desc) {
    const std::int32_t atLeast = FrameBytesMissing(reply, desc);
    if (atLeast == 0 || reply.count > static_cast<std::int32_t>(kPosByteCount)) return {atLeast, atLeast};
    return {atLeast, std::max(atLeast, desc.fullLength - reply.count)};
}

// Whether a damaged or missing reply is worth another try (the fast link's retries).
inline bool Retryable(std::int32_t result) {
    return result == ResultNoReply || result == ResultBadChecksum || result == ResultErrorReplyChecksum ||
           result == ResultBadLength;
}

// The judgement of a collected reply, shared by the exports and the fast link: classify, write
// Status1/Status2 as the classification says, and on a good full reply call
// `decode(reply, result)`, which writes the command's outputs and returns the final result.
// `statusWritten`, when given, tells whether Status1/Status2 were written.
template <class Decode>
std::int32_t JudgeReply(const Reply& reply, const CommandSpec& desc, std::uint8_t* status1,
                        std::uint8_t* status2, Decode&& decode, bool* statusWritten = nullptr) {
    const Classification c = Classify(reply, desc);
    if (statusWritten) *statusWritten = c.status;
    if (c.status) {
        *status1 = reply.bytes[kPosStatus1];
        *status2 = reply.bytes[kPosStatus2];
    }
    return c.full ? decode(reply, c.result) : c.result;
}

// A decoder of Replies.h bound to its record: `Into(DecodeSetPoint, record)`.
template <class Record, class Decoder>
auto Into(Decoder decoder, Record& record) {
    return [decoder, &record](const Reply& r, std::int32_t result) { return decoder(r, result, record); };
}

// Decoder for commands whose reply carries nothing beyond the status bytes.
inline std::int32_t NoOutputs(const Reply&, std::int32_t result) {
    return result;
}

} // namespace tarvik::digital
