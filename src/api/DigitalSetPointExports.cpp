// Reading and writing the set point of a flow device (commands 235 and 236).
#include "DigitalExports.h"

using namespace tarvik::digital;
using tarvik::api::Refused;
using tarvik::api::RunCommand;

extern "C" TARVIK_API int32_t TARVIK_CALL ReadSetPoint(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                       int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                       int32_t* SetPoint, uint8_t* Units,
                                                       int32_t* SetPointInUnits, uint8_t* Status1,
                                                       uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadSetPoint,
                      {}, Status1, Status2, [&](const Reply& r, int32_t result) {
                          SetPointRecord s;
                          result = DecodeSetPoint(r, result, s);
                          *SetPoint = s.setPoint;
                          *Units = s.units;
                          *SetPointInUnits = s.setPointInUnits;
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteSetPoint(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                        int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                        int32_t SetPointUnits, int32_t SetPoint,
                                                        uint8_t* Status1, uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = SetPointWriteRequest(SetPointUnits, SetPoint, data)) return Refused(__func__, rc);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kWriteSetPoint,
                      data.Bytes(), Status1, Status2, NoOutputs);
}
