// Gas entries and flow unit: gas data (151), gas name (150), operational settings (193), flow unit
// (196) and the active gas entry (195).
#include <algorithm>

#include "Commands.h"

using namespace tarvik::digital;
using tarvik::api::DigitalReply;

namespace {

// Command 151 reply: four pairs of unit code and value from position 11 on.
constexpr std::size_t kPosFirstPair = 11;
constexpr std::size_t kPairLength = 5; // unit code, then the four value bytes

// Command 150 reply: the gas name, plain 8-bit characters.
constexpr std::size_t kPosGasTypeText = 11;
constexpr std::size_t kGasTypeTextLength = 12;

// Command 193 reply: four setting bytes.
constexpr std::size_t kPosSettings = 10;

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL ReadGasData(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                      int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                      int32_t GasNumber, uint8_t* Units1, int32_t* Value1,
                                                      uint8_t* Units2, int32_t* Value2, uint8_t* Units3,
                                                      int32_t* Value3, uint8_t* Units4, int32_t* Value4,
                                                      uint8_t* Status1, uint8_t* Status2) {
    if (!IsGasNumber(GasNumber)) return ResultBadGasNumber;
    const uint8_t data[] = {Low8(GasNumber)};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadGasData, data,
                      Status1, Status2, [&](const DigitalReply& r, int32_t result) {
                          uint8_t* const units[] = {Units1, Units2, Units3, Units4};
                          int32_t* const values[] = {Value1, Value2, Value3, Value4};
                          for (std::size_t i = 0; i < std::size(units); ++i) {
                              const std::size_t pos = kPosFirstPair + i * kPairLength;
                              *units[i] = r.bytes[pos];
                              *values[i] = WordAt(r, pos + 1);
                          }
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadProcessGasType(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                             int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                             int32_t GasNumber, char* GasTypeText,
                                                             uint8_t* Status1, uint8_t* Status2) {
    if (!IsGasNumber(GasNumber)) return ResultBadGasNumber;
    const uint8_t data[] = {Low8(GasNumber)};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadProcessGasType,
                      data, Status1, Status2, [&](const DigitalReply& r, int32_t result) {
                          // Exactly twelve bytes, no terminating zero.
                          std::copy_n(r.bytes.begin() + kPosGasTypeText, kGasTypeTextLength, GasTypeText);
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadOperationalSettings(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                                  int32_t IdMid, int32_t IdLow,
                                                                  int32_t DeviceType, uint8_t* Setting1,
                                                                  uint8_t* Setting2, uint8_t* Setting3,
                                                                  uint8_t* Setting4, uint8_t* Status1,
                                                                  uint8_t* Status2) {
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadOperationalSettings,
                      {}, Status1, Status2, [&](const DigitalReply& r, int32_t result) {
                          *Setting1 = r.bytes[kPosSettings];
                          *Setting2 = r.bytes[kPosSettings + 1];
                          *Setting3 = r.bytes[kPosSettings + 2];
                          *Setting4 = r.bytes[kPosSettings + 3];
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL SelectFlowUnit(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                         int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                         int32_t UnitData1, int32_t UnitData2,
                                                         uint8_t* Status1, uint8_t* Status2) {
    const uint8_t data[] = {Low8(UnitData1), Low8(UnitData2)};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kSelectFlowUnit, data,
                      Status1, Status2, NoOutputs);
}

extern "C" TARVIK_API int32_t TARVIK_CALL SelectGasNumber(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                          int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                          int32_t GasNumber, uint8_t* Status1,
                                                          uint8_t* Status2) {
    if (!IsGasNumber(GasNumber)) return ResultBadGasNumber;
    const uint8_t data[] = {Low8(GasNumber)};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kSelectGasNumber, data,
                      Status1, Status2, NoOutputs);
}
