#include "Exchange.h"

#include <algorithm>

#include "readout/Protocol.h"

namespace tarvik::link {

namespace {

// Stored bytes of a frame besides its data: delimiter, five address bytes, command, byte count,
// checksum.
constexpr std::int32_t kFrameFraming = 9;
// The most a 0731 reply is read: the size of a port's input queue, as the export could see.
constexpr std::size_t kMaxLine = 4096;

bool HartComplete(const api::DigitalReply& reply, const digital::CommandSpec& desc) {
    const std::int32_t k = reply.count;
    // Beyond the full (L, L + 1) and short (11, 12) counts every count is a bad length.
    if (k > std::max(desc.fullLength + 1, digital::kShortLength + 1)) return true;
    if (k <= static_cast<std::int32_t>(digital::kPosByteCount)) return false;
    return k >= kFrameFraming + reply.bytes[digital::kPosByteCount];
}

} // namespace

std::int32_t HartExchange(LinkPort& port, std::span<const std::uint8_t> request,
                          const digital::CommandSpec& desc, LinkPort::Clock::time_point deadline,
                          api::DigitalReply& reply) {
    port.Send(request);
    bool any = false;
    while (const auto b = port.Next(deadline)) {
        any = true;
        reply.Collect(*b);
        if (HartComplete(reply, desc)) break;
    }
    return any ? 0 : ResultNoReply;
}

bool HartRetryable(std::int32_t result) {
    return result == ResultNoReply || result == ResultBadChecksum || result == ResultErrorReplyChecksum ||
           result == ResultBadLength;
}

std::int32_t ReadoutExchange(LinkPort& port, const std::string& line, LinkPort::Clock::time_point deadline,
                             std::string& reply, bool& complete) {
    port.Send(std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    reply.clear();
    bool cr = false, lf = false;
    complete = false;
    while (reply.size() < kMaxLine) {
        const auto b = port.Next(deadline);
        if (!b) break;
        const char c = static_cast<char>(*b);
        reply += c;
        cr = cr || c == readout::kCarriageReturn;
        lf = lf || c == readout::kLineFeed;
        if (cr && lf) {
            complete = true;
            break;
        }
    }
    return reply.empty() ? ResultNoReply : 0;
}

} // namespace tarvik::link
