#include <algorithm>

#include "Replies.h"

namespace tarvik::digital {

namespace {

template <std::size_t N>
void Fill(const std::array<std::uint8_t, N>& data, RequestData& out) {
    static_assert(N <= kMaxRequestData);
    std::copy(data.begin(), data.end(), out.bytes.begin());
    out.size = N;
}

std::int32_t OneByte(bool ok, std::int32_t slot, std::int32_t refusal, RequestData& out) {
    out.size = 0;
    if (!ok) return refusal;
    Fill(std::array<std::uint8_t, 1>{Low8(slot)}, out);
    return 0;
}

bool TextOk(const char* text, std::int64_t length) {
    return text != nullptr && length == kTextLength;
}

} // namespace

std::int32_t GasNumberRequest(std::int32_t gasNumber, RequestData& out) {
    return OneByte(IsGasNumber(gasNumber), gasNumber, ResultBadGasNumber, out);
}

std::int32_t ApplicationRequest(std::int32_t application, RequestData& out) {
    return OneByte(IsApplication(application), application, ResultBadApplication, out);
}

std::int32_t VORStateRequest(std::int32_t state, RequestData& out) {
    return OneByte(IsState(state), state, ResultBadVORState, out);
}

std::int32_t TotalizerStateRequest(std::int32_t state, RequestData& out) {
    return OneByte(IsState(state), state, ResultBadTotalizerState, out);
}

std::int32_t SetPointWriteRequest(std::int32_t units, std::int32_t setPoint, RequestData& out) {
    out.size = 0;
    if (!IsSetPointUnit(units)) return ResultBadSetPointUnit;
    Fill(SetPointData(units, setPoint), out);
    return 0;
}

std::int32_t TagRequest(const char* tag, std::int64_t length, RequestData& out) {
    out.size = 0;
    if (!TextOk(tag, length)) return ResultBadTextLength;
    Fill(TagData(tag), out);
    return 0;
}

std::int32_t ProtectRequest(const char* text, std::int64_t length, std::int32_t mode, RequestData& out) {
    out.size = 0;
    if (!TextOk(text, length)) return ResultBadTextLength;
    Fill(ProtectData(text, mode), out);
    return 0;
}

} // namespace tarvik::digital
