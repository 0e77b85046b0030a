#include "Hart.h"

namespace tarvik::digital {

std::uint8_t XorOf(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes)
        x ^= b;
    return x;
}

std::vector<std::uint8_t> BuildRequest(const Address& address, std::uint8_t command,
                                       std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> frame(kPreambleCount, kPreambleByte);
    frame.reserve(kPreambleCount + 9 + data.size());
    frame.push_back(kDelimiterMasterLong);
    frame.insert(frame.end(), address.bytes.begin(), address.bytes.end());
    frame.push_back(command);
    frame.push_back(static_cast<std::uint8_t>(data.size()));
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(XorOf(std::span(frame).subspan(kPreambleCount)));
    return frame;
}

std::int32_t WordAt(const api::DigitalReply& reply, std::size_t pos) {
    const auto& b = reply.bytes;
    return static_cast<std::int32_t>((std::uint32_t{b[pos]} << 24) | (std::uint32_t{b[pos + 1]} << 16) |
                                     (std::uint32_t{b[pos + 2]} << 8) | std::uint32_t{b[pos + 3]});
}

namespace {

bool ChecksumOk(const api::DigitalReply& reply, std::int32_t length) {
    const auto n = static_cast<std::size_t>(length);
    return XorOf(std::span(reply.bytes).first(n - 1)) == reply.bytes[n - 1];
}

} // namespace

Classification Classify(const api::DigitalReply& reply, const CommandSpec& spec) {
    const std::int32_t k = reply.count;
    const std::int32_t L = spec.fullLength;
    const std::uint8_t byteCount = reply.bytes[kPosByteCount];

    if (k == L || k == L + 1) {
        if (!ChecksumOk(reply, L)) return {ResultBadChecksum};
        if (spec.byteCountTest && byteCount != kByteCountFull) return {ResultBadLength};
        const std::uint8_t s2 = reply.bytes[kPosStatus2];
        const bool clean = s2 == kStatusClean || s2 == kStatusCleanAlt || !spec.deviceStatus;
        return {clean ? ResultOk : ResultDeviceStatus, true, spec.statusOnSuccess};
    }
    if (k == kShortLength || (k == kShortLength + 1 && L != kShortLength + 1)) {
        if (spec.byteCountTest && byteCount != kByteCountShort) return {ResultBadLength};
        if (!ChecksumOk(reply, kShortLength)) return {ResultErrorReplyChecksum};
        return {ResultErrorReply, false, true};
    }
    return {ResultBadLength};
}

std::int32_t PrepareLine(std::int32_t port, std::int32_t baud, Line& line) {
    auto device = api::DeviceName(port);
    if (!device) return ResultBadPort;
    auto code = api::BaudCode(baud);
    if (!code) return ResultBadBaud;
    line.device = *device;
    line.baud = *code;
    line.delayMs = api::ResponseDelayMs(baud);
    return api::CheckPort(line.device);
}

} // namespace tarvik::digital
