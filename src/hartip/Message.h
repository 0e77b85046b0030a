// HART-IP messages: the 8-byte header, the session messages, pass-through and publish of HART PDUs,
// error and NAK answers; encoded into fixed buffers and decoded with every length checked (a byte
// count below the header, above the maximum or beyond the bytes that arrived is refused, never
// trusted). Pure: no socket, no clock, no allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "../hart/Frame.h"

namespace tarvik::hartip {

inline constexpr std::uint16_t kPort = 5094;  // UDP and TCP
inline constexpr std::uint8_t kVersion = 1;   // the version spoken here
inline constexpr std::size_t kHeaderSize = 8; // version, type, id, status, sequence (2), byte count (2)
inline constexpr std::size_t kMaxPdu = 264;   // the longest HART PDU a message carries
inline constexpr std::size_t kMaxMessage = kHeaderSize + kMaxPdu;
inline constexpr std::size_t kMaxBody = kMaxPdu;

// Where the header's fields stand.
inline constexpr std::size_t kAtVersion = 0;
inline constexpr std::size_t kAtType = 1;
inline constexpr std::size_t kAtId = 2;
inline constexpr std::size_t kAtStatus = 3;
inline constexpr std::size_t kAtSequence = 4;
inline constexpr std::size_t kAtByteCount = 6;

// Message types.
inline constexpr std::uint8_t kTypeRequest = 0;
inline constexpr std::uint8_t kTypeResponse = 1;
inline constexpr std::uint8_t kTypePublish = 2;
inline constexpr std::uint8_t kTypeError = 3;
inline constexpr std::uint8_t kTypeNak = 15;

// Message ids of the first version; higher ids belong to later versions.
inline constexpr std::uint8_t kIdSessionInitiate = 0;
inline constexpr std::uint8_t kIdSessionClose = 1;
inline constexpr std::uint8_t kIdKeepAlive = 2;
inline constexpr std::uint8_t kIdPassThrough = 3;

// Header statuses of responses (HART-style response codes).
inline constexpr std::uint8_t kStatusSuccess = 0;
inline constexpr std::uint8_t kStatusInvalidMasterType = 2;
inline constexpr std::uint8_t kStatusTooFewBytes = 5;
inline constexpr std::uint8_t kStatusValueAdjusted = 8; // a value set to the nearest possible
inline constexpr std::uint8_t kStatusVersionNotSupported = 14;
inline constexpr std::uint8_t kStatusAllSessionsInUse = 15;
inline constexpr std::uint8_t kStatusSessionExists = 16;
inline constexpr std::uint8_t kStatusNotImplemented = 64; // an unknown message id (in a NAK)
inline constexpr std::uint8_t kStatusUnknownDevice = 65;  // a pass-through to no device served here

// Body of an error message (one byte).
inline constexpr std::uint8_t kErrorSessionClosed = 0;
inline constexpr std::uint8_t kErrorPrimaryUnavailable = 1;
inline constexpr std::uint8_t kErrorServiceUnavailable = 2;

// Session initiate: master type, then the inactivity close time in ms (big-endian).
inline constexpr std::uint8_t kMasterSecondary = 0;
inline constexpr std::uint8_t kMasterPrimary = 1;
inline constexpr std::size_t kSessionInitiateSize = 5;

struct Header {
    std::uint8_t version = kVersion;
    std::uint8_t type = kTypeRequest;
    std::uint8_t id = kIdKeepAlive;
    std::uint8_t status = kStatusSuccess;
    std::uint16_t sequence = 0;
    std::uint16_t byteCount = kHeaderSize; // the whole message, header included
    friend bool operator==(const Header&, const Header&) = default;
};

// A message received: its header and its body (byteCount - kHeaderSize bytes).
struct Message {
    Header header;
    std::array<std::uint8_t, kMaxBody> body{};
    std::size_t bodySize = 0;
    std::span<const std::uint8_t> Body() const { return std::span(body).first(bodySize); }
};

// A message built, header included.
struct MessageBytes {
    std::array<std::uint8_t, kMaxMessage> bytes{};
    std::size_t size = 0; // 0: not built (a body over kMaxBody)
    std::span<const std::uint8_t> Bytes() const { return std::span(bytes).first(size); }
};

// Builds `header` (its byteCount set from the body) and `body`; false (size 0) when the body is
// longer than kMaxBody.
bool Build(const Header& header, std::span<const std::uint8_t> body, MessageBytes& out);
// A request of `id`.
bool BuildRequest(std::uint8_t id, std::uint16_t sequence, std::span<const std::uint8_t> body,
                  MessageBytes& out);
// An answer to `request` (its id and sequence number) of `type` with `status`.
bool BuildAnswer(const Header& request, std::uint8_t type, std::uint8_t status,
                 std::span<const std::uint8_t> body, MessageBytes& out);

struct SessionInitiate {
    std::uint8_t masterType = kMasterPrimary;
    std::uint32_t inactivityMs = 0;
    friend bool operator==(const SessionInitiate&, const SessionInitiate&) = default;
};
std::array<std::uint8_t, kSessionInitiateSize> EncodeSessionInitiate(const SessionInitiate& s);
// The first five bytes of a session initiate body; nothing when fewer came (later versions may
// send more, which is ignored).
std::optional<SessionInitiate> DecodeSessionInitiate(std::span<const std::uint8_t> body);

// Why bytes are not a message.
enum class Verdict {
    Ok,
    ShortHeader,      // fewer bytes than a header
    CountBelowHeader, // the byte count is smaller than the header
    CountAboveMaximum,
    Truncated, // the byte count is larger than what arrived (a datagram)
    Trailing,  // bytes after the message in a datagram
};
const char* VerdictText(Verdict v);

// The header of the first kHeaderSize bytes, its byte count judged.
Verdict DecodeHeader(std::span<const std::uint8_t> bytes, Header& out);
// A whole datagram: exactly one message.
Verdict DecodeDatagram(std::span<const std::uint8_t> bytes, Message& out);

// A HART PDU (no preambles): delimiter, address, command, byte count, data, checksum.
// `out.checksumOk` says whether the checksum held; false when the bytes are not one whole PDU (an
// unknown delimiter, expansion bytes, or a byte count that does not match the bytes).
bool DecodePdu(std::span<const std::uint8_t> pdu, hart::Frame& out);

} // namespace tarvik::hartip
