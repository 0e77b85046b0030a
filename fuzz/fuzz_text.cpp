// The pure text pieces: packed ASCII, the read-out unit's reply rules and number conversions, and
// the set-point formatter, whose text must parse back to the value rounded as the digits say.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "digital/PackedText.h"
#include "readout/NumberText.h"
#include "readout/Protocol.h"

using namespace tarvik;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void PackedText(const std::uint8_t* data, std::size_t size) {
    std::uint8_t text[64] = {}, packed[48] = {}, again[64] = {};
    digital::UnpackAscii({data, size}, text);
    for (std::uint8_t c : text)
        Check(c == 0 || (c >= 0x20 && c <= 0x5F));
    // Unpacked text packs back to the same bytes.
    const std::size_t groups = std::min<std::size_t>(size / 3, 16);
    digital::PackAscii({text, groups * 4}, packed);
    Check(std::memcmp(packed, data, groups * 3) == 0);
    digital::UnpackAscii({packed, groups * 3}, again);
    Check(std::memcmp(again, text, groups * 4) == 0);
}

void ReplyRules(std::string_view reply) {
    std::int32_t i = 0;
    float f = 0;
    std::uint8_t source = 9;
    using namespace readout;
    for (const ValueRead* read : {&kMeasureUnitRead, &kFullScaleRead, &kProcessValueRead, &kSetPointRead}) {
        const std::int32_t r1 = JudgeValue(reply, *read, i);
        Check(r1 == ResultOk || (r1 == read->replyCode && i == kIntFailure));
        const std::int32_t r2 = JudgeValue(reply, *read, f);
        Check(r2 == ResultOk || (r2 == read->replyCode && f == kFloatFailure));
        Check(r2 != ResultOk || std::isfinite(f));
    }
    const std::int32_t rs = JudgeSource(reply, source);
    Check((rs == ResultOk && (source == 1 || source == 2)) || (rs == ResultBadSourceReply && source == 0));
    (void)TextToInt(reply);
    if (auto v = TextToFloat(reply)) Check(std::isfinite(*v));
}

// Parses the formatter's output and checks it against the value and the digits.
void FormatRoundTrip(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return;
    float value;
    std::memcpy(&value, data, sizeof value);
    const std::int32_t digits = data[4] % 4;
    const std::string text = readout::FormatSetPoint(value, digits);
    if (std::isnan(value)) return Check(text == "NAN");
    if (std::isinf(value)) return Check(text == (value > 0 ? "INF" : "-INF"));
    Check(text.find(',') == std::string::npos);
    const auto back = readout::TextToFloat(text);
    Check(back.has_value());
    const double v = value, b = *back;
    const double magnitude = std::fabs(v);
    if (magnitude >= 1e10) {
        Check(std::fabs(b - v) <= magnitude * 1e-9); // ten significant digits
        return;
    }
    Check(text.find('E') == std::string::npos);
    const std::size_t point = text.find('.');
    Check(digits == 0 ? point == std::string::npos
                      : text.size() - point - 1 == static_cast<std::size_t>(digits));
    // Rounded once at `digits` decimals or the tenth significant digit, whichever comes first.
    const double step = std::pow(10.0, -digits);
    const double sig = magnitude > 0 ? std::pow(10.0, std::floor(std::log10(magnitude)) - 9) : 0;
    const double tolerance = std::max(step, sig) / 2 + std::fabs(v) * 1e-15 + 1e-300;
    Check(std::fabs(static_cast<double>(std::strtod(text.c_str(), nullptr)) - v) <= tolerance);
    Check(text[0] != '-' || std::strtod(text.c_str(), nullptr) != 0.0); // no "-0.00"
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 3) {
    case 0:
        PackedText(data + 1, size - 1);
        break;
    case 1:
        ReplyRules({reinterpret_cast<const char*>(data + 1), size - 1});
        break;
    default:
        FormatRoundTrip(data + 1, size - 1);
        break;
    }
    return 0;
}
