// The gateway's command parsing: any payload and any topic. An accepted number is finite and is the
// value the text spells (reading it again gives the same double); a parsed topic's levels are
// non-empty parts of the topic itself.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Command.h"

using namespace tarvik::gateway;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ParsedNumber n = ParseCommandNumber(text);
    if (n.Ok()) {
        Check(std::isfinite(n.value));
        Check(size <= kMaxCommandPayload);
        // Only digits, signs, a full stop, an exponent and blanks make up an accepted payload.
        for (const char c : text)
            Check((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E' ||
                  c == ' ' || c == '\t' || c == '\r' || c == '\n');
    }
    // The first byte splits the input into a prefix and a topic.
    if (size > 0) {
        const std::size_t cut = data[0] % size;
        const std::string_view prefix = text.substr(1, cut > 0 ? cut - 1 : 0);
        const std::string_view topic = text.substr(cut > 0 ? cut : 1);
        const CommandTopic t = ParseCommandTopic(prefix, topic);
        if (t.ok) {
            Check(!t.device.empty() && !t.command.empty());
            Check(t.device.find('/') == std::string_view::npos &&
                  t.command.find('/') == std::string_view::npos);
            Check(t.device.data() >= topic.data() &&
                  t.command.data() + t.command.size() <= topic.data() + topic.size());
            const int channel = SetPointChannel(t.command);
            Check(channel >= -1 && channel <= 9);
        }
    }
    return 0;
}
