#include "Hart.h"

#include <algorithm>

namespace tarvik::digital {

std::uint8_t XorOf(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes)
        x ^= b;
    return x;
}

RequestFrame BuildFrame(const Address& address, std::uint8_t command, std::span<const std::uint8_t> data) {
    data = data.first(std::min(data.size(), kMaxRequestData));
    RequestFrame frame;
    auto put = [&frame](std::uint8_t b) { frame.bytes[frame.size++] = b; };
    for (std::size_t i = 0; i < kPreambleCount; ++i)
        put(kPreambleByte);
    put(kDelimiterMasterLong);
    for (std::uint8_t b : address.bytes)
        put(b);
    put(command);
    put(static_cast<std::uint8_t>(data.size()));
    for (std::uint8_t b : data)
        put(b);
    put(XorOf(std::span(frame.bytes).subspan(kPreambleCount, frame.size - kPreambleCount)));
    return frame;
}

std::vector<std::uint8_t> BuildRequest(const Address& address, std::uint8_t command,
                                       std::span<const std::uint8_t> data) {
    const RequestFrame frame = BuildFrame(address, command, data);
    return {frame.Bytes().begin(), frame.Bytes().end()};
}

std::int32_t WordAt(const Reply& reply, std::size_t pos) {
    const auto& b = reply.bytes;
    return static_cast<std::int32_t>((std::uint32_t{b[pos]} << 24) | (std::uint32_t{b[pos + 1]} << 16) |
                                     (std::uint32_t{b[pos + 2]} << 8) | std::uint32_t{b[pos + 3]});
}

namespace {

bool ChecksumOk(const Reply& reply, std::int32_t length) {
    const auto n = static_cast<std::size_t>(length);
    return XorOf(std::span(reply.bytes).first(n - 1)) == reply.bytes[n - 1];
}

} // namespace

Classification Classify(const Reply& reply, const CommandSpec& desc) {
    const std::int32_t k = reply.count;
    const std::int32_t L = desc.fullLength;
    const std::uint8_t byteCount = reply.bytes[kPosByteCount];

    if (k == L || k == L + 1) {
        if (!ChecksumOk(reply, L)) return {ResultBadChecksum};
        if (desc.byteCountTest && byteCount != kByteCountFull) return {ResultBadLength};
        const std::uint8_t s2 = reply.bytes[kPosStatus2];
        const bool clean = s2 == kStatusClean || s2 == kStatusCleanAlt || !desc.deviceStatus;
        return {clean ? ResultOk : ResultDeviceStatus, true, desc.statusOnSuccess};
    }
    if (k == kShortLength || (k == kShortLength + 1 && L != kShortLength + 1)) {
        if (desc.byteCountTest && byteCount != kByteCountShort) return {ResultBadLength};
        if (!ChecksumOk(reply, kShortLength)) return {ResultErrorReplyChecksum};
        return {ResultErrorReply, false, true};
    }
    return {ResultBadLength};
}

} // namespace tarvik::digital
