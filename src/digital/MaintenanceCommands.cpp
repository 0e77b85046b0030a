// Write protection (device-specific command 128) and saving the working data to non-volatile
// memory (command 39). Both devices confirm by echoing the data byte they were sent.
#include <algorithm>
#include <array>

#include "Commands.h"
#include "PackedText.h"

using namespace tarvik::digital;
using tarvik::api::DigitalReply;

namespace {

constexpr std::size_t kPosEcho = 10;

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL WriteProtectS(int32_t Port, int32_t Baud, const char* ProtectText,
                                                        int32_t ProtectTextLength, int32_t IdHigh,
                                                        int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                        int32_t ProtectMode, uint8_t* Status1,
                                                        uint8_t* Status2) {
    if (ProtectTextLength != kTextLength) return ResultBadTextLength;
    std::array<uint8_t, kTextLength> text{};
    std::copy_n(ProtectText, kTextLength, text.begin());
    // The packed text, then the mode byte.
    std::array<uint8_t, kPackedTextLength + 1> data{};
    PackAscii(text, data);
    const uint8_t mode = Low8(ProtectMode);
    data[kPackedTextLength] = mode;
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kWriteProtect, data,
                      Status1, Status2, [mode](const DigitalReply& r, int32_t result) {
                          return r.bytes[kPosEcho] == mode ? result : ResultEchoMismatch;
                      });
}

extern "C" TARVIK_API int32_t TARVIK_CALL BackupDatabaseS(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                          int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                          uint8_t* Status1, uint8_t* Status2) {
    const uint8_t data[] = {kEepromBurn};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kEepromControl, data,
                      Status1, Status2, [](const DigitalReply& r, int32_t result) {
                          // A device status outranks the echo here.
                          if (result == ResultDeviceStatus) return result;
                          return r.bytes[kPosEcho] == kEepromBurn ? result : ResultEchoMismatch;
                      });
}
