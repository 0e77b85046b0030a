// Reading the primary variable: the reference member of the digital family.
#include "Hart.h"

using namespace tarvik::digital;

namespace {

constexpr CommandSpec kReadPrimaryVariable{.command = 1, .fullLength = 16};
constexpr std::size_t kPosUnits = 10;
constexpr std::size_t kPosValue = 11;

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL ReadFlow(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                                   int32_t IdLow, int32_t DeviceType, int32_t* Value,
                                                   uint8_t* Units, uint8_t* Status1, uint8_t* Status2) {
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kReadPrimaryVariable, {},
                      Status1, Status2, [&](const tarvik::api::DigitalReply& r, int32_t result) {
                          *Units = r.bytes[kPosUnits];
                          *Value = WordAt(r, kPosValue);
                          return result;
                      });
}
