// Valve override (commands 230, 231) and totalizer (240, 241, 242).
#include "DigitalExports.h"

using namespace tarvik::digital;
using tarvik::api::Refused;
using tarvik::api::RunCommand;

namespace {

// Decoder of the two state reads.
auto StateInto(uint8_t* state) {
    return [state](const Reply& r, int32_t result) { return DecodeState(r, result, *state); };
}

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL ReadVORState(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                       int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                       uint8_t* State, uint8_t* Status1, uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadVORState,
                      {}, Status1, Status2, StateInto(State));
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteVORState(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                        int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                        int32_t State, uint8_t* Status1, uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = VORStateRequest(State, data)) return Refused(__func__, rc);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kWriteVORState,
                      data.Bytes(), Status1, Status2, NoOutputs);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadTotalizerState(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                             int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                             uint8_t* State, uint8_t* Status1,
                                                             uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kReadTotalizerState, {}, Status1, Status2, StateInto(State));
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteTotalizerState(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                              int32_t IdMid, int32_t IdLow,
                                                              int32_t DeviceType, int32_t State,
                                                              uint8_t* Status1, uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = TotalizerStateRequest(State, data)) return Refused(__func__, rc);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kWriteTotalizerState, data.Bytes(), Status1, Status2, NoOutputs);
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadTotalizer(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                        int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                        int32_t* Value, uint8_t* Units, uint8_t* Status1,
                                                        uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadTotalizer,
                      {}, Status1, Status2, [&](const Reply& r, int32_t result) {
                          UnitValue v;
                          result = DecodeUnitValue(r, result, v);
                          *Units = v.units;
                          *Value = v.value;
                          return result;
                      });
}
