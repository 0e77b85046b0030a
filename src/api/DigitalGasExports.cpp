// Gas entries and flow unit: gas data (151), gas name (150), operational settings (193), flow unit
// (196) and the active gas entry (195).
#include <algorithm>

#include "DigitalExports.h"

using namespace tarvik::digital;
using tarvik::api::Refused;
using tarvik::api::RunCommand;

extern "C" TARVIK_API int32_t TARVIK_CALL ReadGasData(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                      int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                      int32_t GasNumber, uint8_t* Units1, int32_t* Value1,
                                                      uint8_t* Units2, int32_t* Value2, uint8_t* Units3,
                                                      int32_t* Value3, uint8_t* Units4, int32_t* Value4,
                                                      uint8_t* Status1, uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = GasNumberRequest(GasNumber, data)) return Refused(__func__, rc);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadGasData,
                      data.Bytes(), Status1, Status2, [&](const Reply& r, int32_t result) {
                          GasDataRecord d;
                          result = DecodeGasData(r, result, d);
                          uint8_t* const units[] = {Units1, Units2, Units3, Units4};
                          int32_t* const values[] = {Value1, Value2, Value3, Value4};
                          for (std::size_t i = 0; i < std::size(units); ++i) {
                              *units[i] = d.units[i];
                              *values[i] = d.values[i];
                          }
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadProcessGasType(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                             int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                             int32_t GasNumber, char* GasTypeText,
                                                             uint8_t* Status1, uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = GasNumberRequest(GasNumber, data)) return Refused(__func__, rc);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kReadProcessGasType, data.Bytes(), Status1, Status2,
                      [&](const Reply& r, int32_t result) {
                          // Exactly twelve bytes, no terminating zero.
                          tarvik::digital::GasTypeText text;
                          result = DecodeGasTypeText(r, result, text);
                          std::copy(text.begin(), text.end(), GasTypeText);
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadOperationalSettings(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                                  int32_t IdMid, int32_t IdLow,
                                                                  int32_t DeviceType, uint8_t* Setting1,
                                                                  uint8_t* Setting2, uint8_t* Setting3,
                                                                  uint8_t* Setting4, uint8_t* Status1,
                                                                  uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kReadOperationalSettings, {}, Status1, Status2, [&](const Reply& r, int32_t result) {
                          FourBytes s;
                          result = DecodeSettings(r, result, s);
                          *Setting1 = s[0];
                          *Setting2 = s[1];
                          *Setting3 = s[2];
                          *Setting4 = s[3];
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL SelectFlowUnit(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                         int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                         int32_t UnitData1, int32_t UnitData2,
                                                         uint8_t* Status1, uint8_t* Status2) {
    const uint8_t data[] = {Low8(UnitData1), Low8(UnitData2)};
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kSelectFlowUnit, data, Status1, Status2, NoOutputs);
}

extern "C" TARVIK_API int32_t TARVIK_CALL SelectGasNumber(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                          int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                          int32_t GasNumber, uint8_t* Status1,
                                                          uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = GasNumberRequest(GasNumber, data)) return Refused(__func__, rc);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kSelectGasNumber, data.Bytes(), Status1, Status2, NoOutputs);
}
