// Reading and writing the set point of a flow device (commands 235 and 236).
#include <array>

#include "Commands.h"

using namespace tarvik::digital;
using tarvik::api::DigitalReply;

namespace {

// Command 235 reply: unit code of the first value at 10 (not returned), first value, unit code of
// the second value, second value.
constexpr std::size_t kPosSetPoint = 11;
constexpr std::size_t kPosUnits = 15;
constexpr std::size_t kPosSetPointInUnits = 16;

constexpr std::size_t kWriteDataLength = 5; // command 236: unit code, then the value

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL ReadSetPoint(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                       int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                       int32_t* SetPoint, uint8_t* Units,
                                                       int32_t* SetPointInUnits, uint8_t* Status1,
                                                       uint8_t* Status2) {
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadSetPoint, {},
                      Status1, Status2, [&](const DigitalReply& r, int32_t result) {
                          *SetPoint = WordAt(r, kPosSetPoint);
                          *Units = r.bytes[kPosUnits];
                          *SetPointInUnits = WordAt(r, kPosSetPointInUnits);
                          return result;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL WriteSetPoint(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                        int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                        int32_t SetPointUnits, int32_t SetPoint,
                                                        uint8_t* Status1, uint8_t* Status2) {
    if (!IsSetPointUnit(SetPointUnits)) return ResultBadSetPointUnit;
    const auto value = static_cast<uint32_t>(SetPoint);
    const std::array<uint8_t, kWriteDataLength> data = {
        Low8(SetPointUnits), static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
        static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kWriteSetPoint, data,
                      Status1, Status2, NoOutputs);
}
