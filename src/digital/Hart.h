// The HART long frame as the digital family uses it: request building, reply classification, and
// the transaction that every digital export runs. A command is data (CommandSpec) plus a decoder.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "../api/CallFrame.h"

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
Classification Classify(const api::DigitalReply& reply, const CommandSpec& desc);

// Big-endian 32-bit word at reply position `pos` (the raw float pattern, unconverted).
std::int32_t WordAt(const api::DigitalReply& reply, std::size_t pos);

// Entry steps 2 to 5: port, baud, delay, port check. Returns 0 when the request cycle may follow.
struct Line {
    std::string device;
    comport::TBaudRate baud = comport::brDefault;
    std::int32_t delayMs = 0;
};
std::int32_t PrepareLine(std::int32_t port, std::int32_t baud, Line& line);

// The judgement of a collected reply, shared by the exports and the fast link: classify, write
// Status1/Status2 as the classification says, and on a good full reply call
// `decode(reply, result)`, which writes the command's outputs and returns the final result.
// `statusWritten`, when given, tells whether Status1/Status2 were written.
template <class Decode>
std::int32_t JudgeReply(const api::DigitalReply& reply, const CommandSpec& desc, std::uint8_t* status1,
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
    return [decoder, &record](const api::DigitalReply& r, std::int32_t result) {
        return decoder(r, result, record);
    };
}

// Steps 6 and 7 on a prepared line: send the request, collect, then judge the reply.
template <class Decode>
std::int32_t Transact(const Line& line, const Address& address, const CommandSpec& desc,
                      std::span<const std::uint8_t> data, std::uint8_t* status1, std::uint8_t* status2,
                      Decode&& decode) {
    const RequestFrame request = BuildFrame(address, desc.command, data);
    api::DigitalReply reply;
    if (std::int32_t rc = api::DigitalExchange(line.device, line.baud, line.delayMs, request.Bytes(), reply))
        return rc;
    return JudgeReply(reply, desc, status1, status2, decode);
}

// The whole call of a standard addressed command: entry steps 2 to 7 (the command's own argument
// checks come before, in the export).
template <class Decode>
std::int32_t RunCommand(std::int32_t port, std::int32_t baud, const Address& address, const CommandSpec& desc,
                        std::span<const std::uint8_t> data, std::uint8_t* status1, std::uint8_t* status2,
                        Decode&& decode) {
    return api::Guarded([&]() -> std::int32_t {
        Line line;
        if (std::int32_t rc = PrepareLine(port, baud, line)) return rc;
        return Transact(line, address, desc, data, status1, status2, decode);
    });
}

// Decoder for commands whose reply carries nothing beyond the status bytes.
inline std::int32_t NoOutputs(const api::DigitalReply&, std::int32_t result) {
    return result;
}

} // namespace tarvik::digital
