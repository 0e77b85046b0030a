// The thirteen exports of the model 0731 read-out unit. Each one checks its own arguments and
// builds its request (readout/Protocol.h), then runs the pipeline (port, port check, one request
// line, one fixed wait, judgement).
#include <functional>

#include "../readout/Protocol.h"
#include "Families.h"

using namespace tarvik::readout;
namespace api = tarvik::api;

namespace {

// A whole command: its checks and request (`prepare(request)` returns 0 or the check's code), the
// port check, one request cycle with the fixed wait, `judge(reply)` (sets the outputs, returns the
// result; nothing is written unless a reply was read). Nothing escapes.
template <class Prepare, class Judge>
std::int32_t Command(const char* name, std::int32_t port, Prepare&& prepare, Judge&& judge) {
    return api::RunCall(name, [&]() -> std::int32_t {
        std::string reply;
        api::ReadoutCall call(std::ref(prepare), std::ref(judge), reply);
        return api::Transact(port, api::ReadoutLineOf, call);
    });
}

template <class T>
std::int32_t ReadValue(const char* name, std::int32_t port, std::int32_t channel, const ValueRead& read,
                       T* out) {
    return Command(
        name, port, [&](Request& r) { return ValueReadRequest(channel, read, r); },
        [&](std::string_view reply) { return JudgeValue(reply, read, *out); });
}

std::int32_t WriteSource(const char* name, std::int32_t port, std::int32_t channel, bool serial) {
    return Command(
        name, port, [&](Request& r) { return SourceWriteRequest(channel, serial, r); },
        [&](std::string_view reply) { return JudgeSourceWrite(reply, serial); });
}

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL TestComs_0731(int32_t Port) {
    return Command(
        __func__, Port,
        [](Request& r) {
            LinkTestRequest(r);
            return 0;
        },
        JudgeIdentity);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadSetPointSource_0731(int32_t Port, int32_t Channel,
                                                                  uint8_t* Source) {
    return Command(
        __func__, Port, [&](Request& r) { return SourceReadRequest(Channel, r); },
        [&](std::string_view reply) { return JudgeSource(reply, *Source); });
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteSerialSetPointSource_0731(int32_t Port, int32_t Channel) {
    return WriteSource(__func__, Port, Channel, true);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteManualSetPointSource_0731(int32_t Port, int32_t Channel) {
    return WriteSource(__func__, Port, Channel, false);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteVORState_0731(int32_t Port, int32_t Channel, int32_t State) {
    return Command(
        __func__, Port, [&](Request& r) { return ValveWriteRequest(Channel, State, r); },
        [&](std::string_view reply) { return JudgeValveWrite(reply, State); });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadMeasureUnit_0731(int32_t Port, int32_t Channel,
                                                               int32_t* Units) {
    return ReadValue(__func__, Port, Channel, kMeasureUnitRead, Units);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadTimeUnit_0731(int32_t Port, int32_t Channel, int32_t* Units) {
    return ReadValue(__func__, Port, Channel, kTimeUnitRead, Units);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadFullScale_0731(int32_t Port, int32_t Channel, float* Value) {
    return ReadValue(__func__, Port, Channel, kFullScaleRead, Value);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadDecimalPlace_0731(int32_t Port, int32_t Channel,
                                                                int32_t* Places) {
    return ReadValue(__func__, Port, Channel, kDecimalPlaceRead, Places);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteDecimalPlace_0731(int32_t Port, int32_t Channel,
                                                                 int32_t Places) {
    return Command(
        __func__, Port, [&](Request& r) { return DecimalPlaceWriteRequest(Channel, Places, r); },
        [&](std::string_view reply) { return JudgeDecimalPlaceWrite(reply, Places); });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadProcessVariable_0731(int32_t Port, int32_t Channel,
                                                                   float* Value) {
    return ReadValue(__func__, Port, Channel, kProcessValueRead, Value);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadSetPoint_0731(int32_t Port, int32_t Channel, float* Value) {
    return ReadValue(__func__, Port, Channel, kSetPointRead, Value);
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteSetPoint_0731(int32_t Port, int32_t Channel, int32_t Digits,
                                                             float SetPoint) {
    return Command(
        __func__, Port, [&](Request& r) { return SetPointWriteRequest(Channel, Digits, SetPoint, r); },
        JudgeSetPointWrite);
}
