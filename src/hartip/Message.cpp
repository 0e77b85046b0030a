#include "Message.h"

#include <algorithm>

#include "../digital/Hart.h"

namespace tarvik::hartip {

namespace {

std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

void Put16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

constexpr std::uint8_t kExpansionShift = 5; // the delimiter's expansion bits, as a count

} // namespace

bool Build(const Header& header, std::span<const std::uint8_t> body, MessageBytes& out) {
    out.size = 0;
    if (body.size() > kMaxBody) return false;
    const auto count = static_cast<std::uint16_t>(kHeaderSize + body.size());
    std::span<std::uint8_t> b(out.bytes);
    b[kAtVersion] = header.version;
    b[kAtType] = header.type;
    b[kAtId] = header.id;
    b[kAtStatus] = header.status;
    Put16(b, kAtSequence, header.sequence);
    Put16(b, kAtByteCount, count);
    std::copy(body.begin(), body.end(), b.begin() + kHeaderSize);
    out.size = count;
    return true;
}

bool BuildRequest(std::uint8_t id, std::uint16_t sequence, std::span<const std::uint8_t> body,
                  MessageBytes& out) {
    Header h;
    h.type = kTypeRequest;
    h.id = id;
    h.sequence = sequence;
    return Build(h, body, out);
}

bool BuildAnswer(const Header& request, std::uint8_t type, std::uint8_t status,
                 std::span<const std::uint8_t> body, MessageBytes& out) {
    Header h;
    h.type = type;
    h.id = request.id;
    h.status = status;
    h.sequence = request.sequence;
    return Build(h, body, out);
}

std::array<std::uint8_t, kSessionInitiateSize> EncodeSessionInitiate(const SessionInitiate& s) {
    return {s.masterType, static_cast<std::uint8_t>(s.inactivityMs >> 24),
            static_cast<std::uint8_t>(s.inactivityMs >> 16), static_cast<std::uint8_t>(s.inactivityMs >> 8),
            static_cast<std::uint8_t>(s.inactivityMs)};
}

std::optional<SessionInitiate> DecodeSessionInitiate(std::span<const std::uint8_t> body) {
    if (body.size() < kSessionInitiateSize) return std::nullopt;
    return SessionInitiate{body[0], static_cast<std::uint32_t>(body[1]) << 24 |
                                        static_cast<std::uint32_t>(body[2]) << 16 |
                                        static_cast<std::uint32_t>(body[3]) << 8 | body[4]};
}

const char* VerdictText(Verdict v) {
    switch (v) {
    case Verdict::Ok:
        return "ok";
    case Verdict::ShortHeader:
        return "shorter than a header";
    case Verdict::CountBelowHeader:
        return "byte count below the header size";
    case Verdict::CountAboveMaximum:
        return "byte count above the maximum message";
    case Verdict::Truncated:
        return "byte count beyond the bytes received";
    case Verdict::Trailing:
        return "bytes after the message";
    }
    return "?";
}

Verdict DecodeHeader(std::span<const std::uint8_t> bytes, Header& out) {
    if (bytes.size() < kHeaderSize) return Verdict::ShortHeader;
    out.version = bytes[kAtVersion];
    out.type = bytes[kAtType];
    out.id = bytes[kAtId];
    out.status = bytes[kAtStatus];
    out.sequence = Get16(bytes, kAtSequence);
    out.byteCount = Get16(bytes, kAtByteCount);
    if (out.byteCount < kHeaderSize) return Verdict::CountBelowHeader;
    if (out.byteCount > kMaxMessage) return Verdict::CountAboveMaximum;
    return Verdict::Ok;
}

Verdict DecodeDatagram(std::span<const std::uint8_t> bytes, Message& out) {
    out.bodySize = 0;
    const Verdict v = DecodeHeader(bytes, out.header);
    if (v != Verdict::Ok) return v;
    if (out.header.byteCount > bytes.size()) return Verdict::Truncated;
    if (out.header.byteCount < bytes.size()) return Verdict::Trailing;
    out.bodySize = bytes.size() - kHeaderSize;
    std::copy(bytes.begin() + kHeaderSize, bytes.end(), out.body.begin());
    return Verdict::Ok;
}

bool DecodePdu(std::span<const std::uint8_t> pdu, hart::Frame& out) {
    out.checksumOk = false;
    out.bodySize = 0;
    if (pdu.empty()) return false;
    const std::uint8_t delimiter = pdu[0];
    const std::uint8_t type = delimiter & hart::kFrameTypeMask;
    if ((delimiter & hart::kExpansionBits) >> kExpansionShift != 0) return false;
    if (type != static_cast<std::uint8_t>(hart::FrameType::Burst) &&
        type != static_cast<std::uint8_t>(hart::FrameType::Request) &&
        type != static_cast<std::uint8_t>(hart::FrameType::Reply))
        return false;
    out.type = static_cast<hart::FrameType>(type);
    out.isLong = (delimiter & hart::kLongFrameBit) != 0;
    const std::size_t addressSize = out.isLong ? hart::kLongAddressSize : 1;
    const std::size_t head = 1 + addressSize + 2; // delimiter, address, command, byte count
    if (pdu.size() < head + 1) return false;
    const std::size_t count = pdu[head - 1];
    if (pdu.size() != head + count + 1) return false;
    out.address = {};
    std::copy_n(pdu.begin() + 1, addressSize, out.address.begin());
    out.command = pdu[head - 2];
    std::copy_n(pdu.begin() + static_cast<std::ptrdiff_t>(head), count, out.body.begin());
    out.bodySize = count;
    out.checksumOk = digital::XorOf(pdu.first(pdu.size() - 1)) == pdu.back();
    return true;
}

} // namespace tarvik::hartip
