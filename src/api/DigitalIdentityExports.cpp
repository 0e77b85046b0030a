// Learning a device's long address (commands 0 and 11) and reading its tag, descriptor and date
// (command 13). All three go to the broadcast address, so the exports take no address.
#include <algorithm>
#include <array>

#include "DigitalExports.h"

using namespace tarvik::digital;
using tarvik::api::Refused;
using tarvik::api::RunCommand;

extern "C" TARVIK_API int32_t TARVIK_CALL ReadDeviceID(int32_t LookupMode, int32_t Port, int32_t Baud,
                                                       const char* Tag, int32_t TagLength, uint8_t* IdHigh,
                                                       uint8_t* IdMid, uint8_t* IdLow, uint8_t* DeviceType,
                                                       uint8_t* Status1, uint8_t* Status2) {
    return tarvik::api::RunCall(__func__, [&]() -> int32_t {
        // Unlike every other export, the mode and the tag are judged only once the port is known.
        tarvik::api::LineSettings line;
        int32_t delayMs = 0;
        if (int32_t rc = tarvik::api::CheckedLine(
                Port, tarvik::api::DigitalLineOf(Baud), [](int32_t wait) { return wait; }, line, delayMs))
            return rc;

        RequestData data;
        const CommandSpec* desc = nullptr;
        if (LookupMode == kLookupByTag) {
            if (const int32_t rc = TagRequest(Tag, TagLength, data)) return rc;
            desc = &kReadUniqueIdentifierByTag;
        } else if (LookupMode == kLookupBroadcast) {
            desc = &kReadUniqueIdentifier;
        } else {
            return ResultBadMode;
        }
        tarvik::api::DigitalCall call(Address::Broadcast(), *desc, data.Bytes(), Status1, Status2,
                                      [&](const Reply& r, int32_t result) {
                                          IdentityRecord id;
                                          result = DecodeIdentity(r, result, id);
                                          *IdHigh = id.idHigh;
                                          *IdMid = id.idMid;
                                          *IdLow = id.idLow;
                                          *DeviceType = id.deviceType;
                                          return result;
                                      });
        return tarvik::api::Cycle(line, delayMs, call);
    });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadTAG(int32_t Port, int32_t Baud, uint8_t* TagRecord,
                                                  uint8_t* Status1, uint8_t* Status2) {
    return RunCommand(__func__, Port, Baud, Address::Broadcast(), kReadTagDescriptorDate, {}, Status1,
                      Status2, [&](const Reply& r, int32_t result) {
                          tarvik::digital::TagRecord record{};
                          result = DecodeTag(r, result, record);
                          std::copy(record.begin(), record.end(), TagRecord);
                          return result;
                      });
}
