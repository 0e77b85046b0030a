// Pressure devices: pressure (command 1), full-scale range of an application (159), pressure unit
// (198), application (194) and operational settings (192).
#include "DigitalExports.h"

using namespace tarvik::digital;
using tarvik::api::Refused;
using tarvik::api::RunCommand;

namespace {

// Decoder of the unit-and-value replies into the export's two outputs.
auto UnitValueInto(uint8_t* units, int32_t* value) {
    return [units, value](const Reply& r, int32_t result) {
        UnitValue v;
        result = DecodeUnitValue(r, result, v);
        *units = v.units;
        *value = v.value;
        return result;
    };
}

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL ReadPressure(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                       int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                       int32_t* Value, uint8_t* Units, uint8_t* Status1,
                                                       uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadPressure,
                      {}, Status1, Status2, UnitValueInto(Units, Value));
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadFullScaleRangePressure(
    int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid, int32_t IdLow, int32_t DeviceType,
    int32_t Application, uint8_t* Units, int32_t* Value, uint8_t* Status1, uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = ApplicationRequest(Application, data)) return Refused(__func__, rc);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kReadFullScaleRangePressure, data.Bytes(), Status1, Status2,
                      UnitValueInto(Units, Value));
}

extern "C" TARVIK_API int32_t TARVIK_CALL SelectPressureUnit(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                             int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                             int32_t Units, uint8_t* Status1,
                                                             uint8_t* Status2) {
    const uint8_t data[] = {Low8(Units)};
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kSelectPressureUnit, data, Status1, Status2, NoOutputs);
}

extern "C" TARVIK_API int32_t TARVIK_CALL SelectPressureApplication(int32_t Port, int32_t Baud,
                                                                    int32_t IdHigh, int32_t IdMid,
                                                                    int32_t IdLow, int32_t DeviceType,
                                                                    int32_t Application, uint8_t* Status1,
                                                                    uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = ApplicationRequest(Application, data)) return Refused(__func__, rc);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kSelectPressureApplication, data.Bytes(), Status1, Status2, NoOutputs);
}

extern "C" TARVIK_API int32_t TARVIK_CALL
ReadOperationalSettingsPressure(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid, int32_t IdLow,
                                int32_t DeviceType, uint8_t* Setting1, uint8_t* Setting2, uint8_t* Setting3,
                                uint8_t* Setting4, uint8_t* Status1, uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kReadOperationalSettingsPressure, {}, Status1, Status2,
                      [&](const Reply& r, int32_t result) {
                          FourBytes s;
                          result = DecodeSettings(r, result, s);
                          *Setting1 = s[0];
                          *Setting2 = s[1];
                          *Setting3 = s[2];
                          *Setting4 = s[3];
                          return result;
                      });
}
