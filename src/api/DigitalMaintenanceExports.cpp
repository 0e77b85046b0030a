// Write protection (device-specific command 128) and saving the working data to non-volatile
// memory (command 39). Both devices confirm by echoing the data byte they were sent.
#include "DigitalExports.h"

using namespace tarvik::digital;
using tarvik::api::Refused;
using tarvik::api::RunCommand;

extern "C" TARVIK_API int32_t TARVIK_CALL WriteProtectS(int32_t Port, int32_t Baud, const char* ProtectText,
                                                        int32_t ProtectTextLength, int32_t IdHigh,
                                                        int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                        int32_t ProtectMode, uint8_t* Status1,
                                                        uint8_t* Status2) {
    RequestData data;
    if (const int32_t rc = ProtectRequest(ProtectText, ProtectTextLength, ProtectMode, data))
        return Refused(__func__, rc);
    const uint8_t mode = Low8(ProtectMode);
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kWriteProtect,
                      data.Bytes(), Status1, Status2,
                      [mode](const Reply& r, int32_t result) { return DecodeProtectEcho(r, result, mode); });
}

extern "C" TARVIK_API int32_t TARVIK_CALL BackupDatabaseS(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                          int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                          uint8_t* Status1, uint8_t* Status2) {
    const uint8_t data[] = {kEepromBurn};
    return RunCommand(__func__, Port, Baud, Address::Device(DeviceType, IdHigh, IdMid, IdLow), kEepromControl,
                      data, Status1, Status2, DecodeBackupEcho);
}
