// The thirteen exports of the model 0731 read-out unit. Each one checks its own arguments, then
// runs the same transaction (port, port check, one request line, one fixed wait, judgement).
#include "../api/CallFrame.h"
#include "Protocol.h"

using namespace tarvik::readout;
namespace api = tarvik::api;

namespace {

// Port check, request cycle and judgement; `judge(reply)` sets the outputs and returns the result.
// Nothing is written unless a reply was read.
template <class Judge>
std::int32_t Transact(std::int32_t port, const std::string& line, std::int32_t waitMs, Judge&& judge) {
    const auto device = api::DeviceName(port);
    if (!device) return ResultBadPort;
    if (const std::int32_t rc = api::CheckPort(*device)) return rc;
    std::string reply;
    if (const std::int32_t rc = api::ReadoutExchange(*device, line, waitMs, reply)) return rc;
    return judge(std::string_view(reply));
}

// A whole channel command whose arguments other than `Channel` are already checked.
template <class Judge>
std::int32_t ChannelCommand(std::int32_t port, std::int32_t channel, AddressKind kind,
                            std::string_view command, std::int32_t waitMs, Judge&& judge) {
    const auto address = ChannelAddress(channel, kind);
    if (!address) return ResultBadChannel;
    return Transact(port, RequestLine(*address, command), waitMs, judge);
}

template <class T>
std::int32_t ReadValue(std::int32_t port, std::int32_t channel, const ValueRead& read, T* out) {
    return api::Guarded([&]() -> std::int32_t {
        return ChannelCommand(port, channel, read.address, read.command, read.waitMs,
                              [&](std::string_view reply) { return JudgeValue(reply, read, *out); });
    });
}

std::int32_t WriteSource(std::int32_t port, std::int32_t channel, bool serial) {
    return api::Guarded([&]() -> std::int32_t {
        return ChannelCommand(port, channel, AddressKind::Control, SourceWriteCommand(serial), kWaitMs,
                              [&](std::string_view reply) { return JudgeSourceWrite(reply, serial); });
    });
}

bool InRange(std::int32_t v, std::int32_t max) {
    return v >= 0 && v <= max;
}

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL TestComs_0731(int32_t Port) {
    return api::Guarded([&]() -> std::int32_t {
        return Transact(Port, std::string(kLinkTestRequest), kWaitMs, JudgeIdentity);
    });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadSetPointSource_0731(int32_t Port, int32_t Channel,
                                                                  uint8_t* Source) {
    return api::Guarded([&]() -> std::int32_t {
        return ChannelCommand(Port, Channel, AddressKind::Control, kSourceReadCommand, kWaitMs,
                              [&](std::string_view reply) { return JudgeSource(reply, *Source); });
    });
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteSerialSetPointSource_0731(int32_t Port, int32_t Channel) {
    return WriteSource(Port, Channel, true);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteManualSetPointSource_0731(int32_t Port, int32_t Channel) {
    return WriteSource(Port, Channel, false);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteVORState_0731(int32_t Port, int32_t Channel, int32_t State) {
    return api::Guarded([&]() -> std::int32_t {
        // The only command that checks another argument before the channel.
        if (!InRange(State, kMaxValveState)) return ResultBadValveState;
        return ChannelCommand(Port, Channel, AddressKind::Control, ValveWriteCommand(State), kWaitMs,
                              [&](std::string_view reply) { return JudgeValveWrite(reply, State); });
    });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadMeasureUnit_0731(int32_t Port, int32_t Channel,
                                                               int32_t* Units) {
    return ReadValue(Port, Channel, kMeasureUnitRead, Units);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadTimeUnit_0731(int32_t Port, int32_t Channel, int32_t* Units) {
    return ReadValue(Port, Channel, kTimeUnitRead, Units);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadFullScale_0731(int32_t Port, int32_t Channel, float* Value) {
    return ReadValue(Port, Channel, kFullScaleRead, Value);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadDecimalPlace_0731(int32_t Port, int32_t Channel,
                                                                int32_t* Places) {
    return ReadValue(Port, Channel, kDecimalPlaceRead, Places);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteDecimalPlace_0731(int32_t Port, int32_t Channel,
                                                                 int32_t Places) {
    return api::Guarded([&]() -> std::int32_t {
        const auto address = ChannelAddress(Channel, AddressKind::Measurement);
        if (!address) return ResultBadChannel;
        if (!InRange(Places, kMaxPlaces)) return ResultBadDecimalPlace;
        return Transact(Port, RequestLine(*address, DecimalPlaceCommand(Places)), kWaitMs,
                        [&](std::string_view reply) { return JudgeDecimalPlaceWrite(reply, Places); });
    });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadProcessVariable_0731(int32_t Port, int32_t Channel,
                                                                   float* Value) {
    return ReadValue(Port, Channel, kProcessValueRead, Value);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadSetPoint_0731(int32_t Port, int32_t Channel, float* Value) {
    return ReadValue(Port, Channel, kSetPointRead, Value);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteSetPoint_0731(int32_t Port, int32_t Channel, int32_t Digits,
                                                             float SetPoint) {
    return api::Guarded([&]() -> std::int32_t {
        const auto address = ChannelAddress(Channel, AddressKind::Control);
        if (!address) return ResultBadChannel;
        if (!InRange(Digits, kMaxPlaces)) return ResultBadDecimalPlace;
        return Transact(Port, RequestLine(*address, SetPointCommand(SetPoint, Digits)), kSetPointWaitMs,
                        JudgeSetPointWrite);
    });
}
