// Reading the primary variable: the reference member of the digital family.
#include "DigitalExports.h"

using namespace tarvik::digital;
using tarvik::api::Refused;
using tarvik::api::RunCommand;

extern "C" TARVIK_API int32_t TARVIK_CALL ReadFlow(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                                   int32_t IdLow, int32_t DeviceType, int32_t* Value,
                                                   uint8_t* Units, uint8_t* Status1, uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadFlow, {},
                      Status1, Status2, [&](const Reply& r, int32_t result) {
                          UnitValue v;
                          result = DecodeUnitValue(r, result, v);
                          *Units = v.units;
                          *Value = v.value;
                          return result;
                      });
}
