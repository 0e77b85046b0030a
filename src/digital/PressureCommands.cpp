// Pressure devices: pressure (command 1), full-scale range of an application (159), pressure unit
// (198), application (194) and operational settings (192).
#include "Commands.h"

using namespace tarvik::digital;
using tarvik::api::DigitalReply;

namespace {

constexpr std::size_t kPosUnits = 10; // unit code, then the value
constexpr std::size_t kPosValue = 11;
constexpr std::size_t kPosSettings = 10; // four setting bytes; position 14 is not passed on

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL ReadPressure(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                       int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                       int32_t* Value, uint8_t* Units, uint8_t* Status1,
                                                       uint8_t* Status2) {
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadPressure, {},
                      Status1, Status2, [&](const DigitalReply& r, int32_t result) {
                          *Units = r.bytes[kPosUnits];
                          *Value = WordAt(r, kPosValue);
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadFullScaleRangePressure(
    int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid, int32_t IdLow, int32_t DeviceType,
    int32_t Application, uint8_t* Units, int32_t* Value, uint8_t* Status1, uint8_t* Status2) {
    if (!IsApplication(Application)) return ResultBadApplication;
    const uint8_t data[] = {Low8(Application)};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kReadFullScaleRangePressure, data, Status1, Status2,
                      [&](const DigitalReply& r, int32_t result) {
                          *Units = r.bytes[kPosUnits];
                          *Value = WordAt(r, kPosValue);
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL SelectPressureUnit(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                             int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                             int32_t Units, uint8_t* Status1,
                                                             uint8_t* Status2) {
    const uint8_t data[] = {Low8(Units)};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kSelectPressureUnit,
                      data, Status1, Status2, NoOutputs);
}

extern "C" TARVIK_API int32_t TARVIK_CALL SelectPressureApplication(int32_t Port, int32_t Baud,
                                                                    int32_t IdHigh, int32_t IdMid,
                                                                    int32_t IdLow, int32_t DeviceType,
                                                                    int32_t Application, uint8_t* Status1,
                                                                    uint8_t* Status2) {
    if (!IsApplication(Application)) return ResultBadApplication;
    const uint8_t data[] = {Low8(Application)};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kSelectPressureApplication, data, Status1, Status2, NoOutputs);
}

extern "C" TARVIK_API int32_t TARVIK_CALL
ReadOperationalSettingsPressure(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid, int32_t IdLow,
                                int32_t DeviceType, uint8_t* Setting1, uint8_t* Setting2, uint8_t* Setting3,
                                uint8_t* Setting4, uint8_t* Status1, uint8_t* Status2) {
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kReadOperationalSettingsPressure, {}, Status1, Status2,
                      [&](const DigitalReply& r, int32_t result) {
                          *Setting1 = r.bytes[kPosSettings];
                          *Setting2 = r.bytes[kPosSettings + 1];
                          *Setting3 = r.bytes[kPosSettings + 2];
                          *Setting4 = r.bytes[kPosSettings + 3];
                          return result;
                      });
}
