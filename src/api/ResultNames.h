// The name of every result code, as the header spells it: for the trace and the tools.
#pragma once

#include <cstdint>
#include <utility>

#include "TarvikDLL.h"

namespace tarvik::api {

inline constexpr std::pair<std::int32_t, const char*> kResultNames[] = {
    {ResultOk, "ResultOk"},
    {ResultDeviceStatus, "ResultDeviceStatus"},
    {ResultBadPort, "ResultBadPort"},
    {ResultBadBaud, "ResultBadBaud"},
    {ResultPortAbsent, "ResultPortAbsent"},
    {ResultBadTextLength, "ResultBadTextLength"},
    {ResultBadLength, "ResultBadLength"},
    {ResultBadChecksum, "ResultBadChecksum"},
    {ResultBadSetPointUnit, "ResultBadSetPointUnit"},
    {ResultNoReply, "ResultNoReply"},
    {ResultBadVORState, "ResultBadVORState"},
    {ResultBadTotalizerState, "ResultBadTotalizerState"},
    {ResultErrorReply, "ResultErrorReply"},
    {ResultErrorReplyChecksum, "ResultErrorReplyChecksum"},
    {ResultBadMode, "ResultBadMode"},
    {ResultBadGasNumber, "ResultBadGasNumber"},
    {ResultPortBusy, "ResultPortBusy"},
    {ResultBadApplication, "ResultBadApplication"},
    {ResultEchoMismatch, "ResultEchoMismatch"},
    {ResultWrongIdentity, "ResultWrongIdentity"},
    {ResultBadChannel, "ResultBadChannel"},
    {ResultBadSourceReply, "ResultBadSourceReply"},
    {ResultSourceNotConfirmed, "ResultSourceNotConfirmed"},
    {ResultBadValveState, "ResultBadValveState"},
    {ResultValveNotConfirmed, "ResultValveNotConfirmed"},
    {ResultBadMeasureUnitReply, "ResultBadMeasureUnitReply"},
    {ResultBadTimeUnitReply, "ResultBadTimeUnitReply"},
    {ResultBadFullScaleReply, "ResultBadFullScaleReply"},
    {ResultBadProcessValueReply, "ResultBadProcessValueReply"},
    {ResultSetPointNotConfirmed, "ResultSetPointNotConfirmed"},
    {ResultBadSetPointReply, "ResultBadSetPointReply"},
    {ResultBadDecimalPlace, "ResultBadDecimalPlace"},
    {ResultDecimalPlaceNotConfirmed, "ResultDecimalPlaceNotConfirmed"},
};

} // namespace tarvik::api
