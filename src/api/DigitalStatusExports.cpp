// Reading the additional device status (command 48) as flag bytes, one per bit.
#include "DigitalExports.h"

using namespace tarvik::digital;
using tarvik::api::Refused;
using tarvik::api::RunCommand;

namespace {

constexpr std::size_t kFlagsPerByte = 8;

// Element i of `flags` becomes 1 when bit i of `status` is set, else 0.
void SpreadBits(uint8_t status, uint8_t* flags) {
    for (std::size_t i = 0; i < kFlagsPerByte; ++i)
        flags[i] = static_cast<uint8_t>((status >> i) & 1U);
}

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL ReadAddStatus(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                        int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                        uint8_t* AddStatus0, uint8_t* AddStatus1,
                                                        uint8_t* AddStatus2, uint8_t* AddStatus3,
                                                        uint8_t* Status1, uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow),
                      kReadAdditionalStatus, {}, Status1, Status2, [&](const Reply& r, int32_t result) {
                          FourBytes status;
                          result = DecodeAdditionalStatus(r, result, status);
                          uint8_t* const outputs[] = {AddStatus0, AddStatus1, AddStatus2, AddStatus3};
                          for (std::size_t i = 0; i < std::size(outputs); ++i)
                              SpreadBits(status[i], outputs[i]);
                          return result;
                      });
}
