// Write protection (device-specific command 128) and saving the working data to non-volatile
// memory (command 39). Both devices confirm by echoing the data byte they were sent.
#include "Replies.h"

using namespace tarvik::digital;
using tarvik::api::DigitalReply;

extern "C" TARVIK_API int32_t TARVIK_CALL WriteProtectS(int32_t Port, int32_t Baud, const char* ProtectText,
                                                        int32_t ProtectTextLength, int32_t IdHigh,
                                                        int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                        int32_t ProtectMode, uint8_t* Status1,
                                                        uint8_t* Status2) {
    if (ProtectTextLength != kTextLength) return ResultBadTextLength;
    const auto data = ProtectData(ProtectText, ProtectMode);
    const uint8_t mode = Low8(ProtectMode);
    return RunCommand(
        Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kWriteProtect, data, Status1, Status2,
        [mode](const DigitalReply& r, int32_t result) { return DecodeProtectEcho(r, result, mode); });
}

extern "C" TARVIK_API int32_t TARVIK_CALL BackupDatabaseS(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                          int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                          uint8_t* Status1, uint8_t* Status2) {
    const uint8_t data[] = {kEepromBurn};
    return RunCommand(Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kEepromControl, data,
                      Status1, Status2, DecodeBackupEcho);
}
