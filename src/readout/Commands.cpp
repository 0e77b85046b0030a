// The thirteen exports of the model 0731 read-out unit. Each one checks its own arguments and
// builds its request (Protocol.h), then runs the same transaction (port, port check, one request
// line, one fixed wait, judgement).
#include "../api/CallFrame.h"
#include "Protocol.h"

using namespace tarvik::readout;
namespace api = tarvik::api;

namespace {

// Port check, request cycle and judgement; `judge(reply)` sets the outputs and returns the result.
// Nothing is written unless a reply was read.
template <class Judge>
std::int32_t Transact(std::int32_t port, const Request& request, Judge&& judge) {
    const auto device = api::DeviceName(port);
    if (!device) return ResultBadPort;
    if (const std::int32_t rc = api::CheckPort(*device)) return rc;
    std::string reply;
    if (const std::int32_t rc = api::ReadoutExchange(*device, request.line, request.waitMs, reply)) return rc;
    return judge(std::string_view(reply));
}

// A whole command: its checks and request (`prepare(request)` returns 0 or the check's code),
// then the transaction; nothing escapes.
template <class Prepare, class Judge>
std::int32_t Command(std::int32_t port, Prepare&& prepare, Judge&& judge) {
    return api::Guarded([&]() -> std::int32_t {
        Request request;
        if (const std::int32_t rc = prepare(request)) return rc;
        return Transact(port, request, judge);
    });
}

template <class T>
std::int32_t ReadValue(std::int32_t port, std::int32_t channel, const ValueRead& read, T* out) {
    return Command(
        port, [&](Request& r) { return ValueReadRequest(channel, read, r); },
        [&](std::string_view reply) { return JudgeValue(reply, read, *out); });
}

std::int32_t WriteSource(std::int32_t port, std::int32_t channel, bool serial) {
    return Command(
        port, [&](Request& r) { return SourceWriteRequest(channel, serial, r); },
        [&](std::string_view reply) { return JudgeSourceWrite(reply, serial); });
}

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL TestComs_0731(int32_t Port) {
    return Command(
        Port,
        [](Request& r) {
            LinkTestRequest(r);
            return 0;
        },
        JudgeIdentity);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadSetPointSource_0731(int32_t Port, int32_t Channel,
                                                                  uint8_t* Source) {
    return Command(
        Port, [&](Request& r) { return SourceReadRequest(Channel, r); },
        [&](std::string_view reply) { return JudgeSource(reply, *Source); });
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteSerialSetPointSource_0731(int32_t Port, int32_t Channel) {
    return WriteSource(Port, Channel, true);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteManualSetPointSource_0731(int32_t Port, int32_t Channel) {
    return WriteSource(Port, Channel, false);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteVORState_0731(int32_t Port, int32_t Channel, int32_t State) {
    return Command(
        Port, [&](Request& r) { return ValveWriteRequest(Channel, State, r); },
        [&](std::string_view reply) { return JudgeValveWrite(reply, State); });
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
    return Command(
        Port, [&](Request& r) { return DecimalPlaceWriteRequest(Channel, Places, r); },
        [&](std::string_view reply) { return JudgeDecimalPlaceWrite(reply, Places); });
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
    return Command(
        Port, [&](Request& r) { return SetPointWriteRequest(Channel, Digits, SetPoint, r); },
        JudgeSetPointWrite);
}
