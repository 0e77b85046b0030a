// Learning a device's long address (commands 0 and 11) and reading its tag, descriptor and date
// (command 13). All three go to the broadcast address, so the exports take no address.
#include <algorithm>
#include <array>

#include "Commands.h"
#include "PackedText.h"

using namespace tarvik::digital;
using tarvik::api::DigitalReply;

namespace {

// Identity reply.
constexpr std::size_t kPosDeviceType = 12;
constexpr std::size_t kPosIdHigh = 19;
constexpr std::size_t kPosIdMid = 20;
constexpr std::size_t kPosIdLow = 21;

// Tag reply: packed tag (8 characters) and descriptor (16) back to back, then the date bytes.
constexpr std::size_t kPosPackedText = 10;
constexpr std::size_t kPackedTagDescriptorLength = 18;
constexpr std::size_t kTagDescriptorChars = 24;
constexpr std::size_t kPosDate = 28; // day, month, year - 1900
constexpr std::size_t kDateLength = 3;
constexpr std::size_t kTagRecordLength = kTagDescriptorChars + kDateLength;

} // namespace

extern "C" TARVIK_API int32_t TARVIK_CALL ReadDeviceID(int32_t LookupMode, int32_t Port, int32_t Baud,
                                                       const char* Tag, int32_t TagLength, uint8_t* IdHigh,
                                                       uint8_t* IdMid, uint8_t* IdLow, uint8_t* DeviceType,
                                                       uint8_t* Status1, uint8_t* Status2) {
    return tarvik::api::Guarded([&]() -> int32_t {
        // Unlike every other export, the mode and the tag are judged only once the port is known.
        Line line;
        if (int32_t rc = PrepareLine(Port, Baud, line)) return rc;

        std::array<uint8_t, kPackedTextLength> packed{};
        std::span<const uint8_t> data;
        const CommandSpec* spec = nullptr;
        if (LookupMode == kLookupByTag) {
            if (TagLength != kTextLength) return ResultBadTextLength;
            std::array<uint8_t, kTextLength> text{};
            std::copy_n(Tag, kTextLength, text.begin());
            PackAscii(text, packed);
            data = packed;
            spec = &kReadUniqueIdentifierByTag;
        } else if (LookupMode == kLookupBroadcast) {
            spec = &kReadUniqueIdentifier;
        } else {
            return ResultBadMode;
        }
        return Transact(line, Address::Broadcast(), *spec, data, Status1, Status2,
                        [&](const DigitalReply& r, int32_t result) {
                            *IdHigh = r.bytes[kPosIdHigh];
                            *IdMid = r.bytes[kPosIdMid];
                            *IdLow = r.bytes[kPosIdLow];
                            *DeviceType = r.bytes[kPosDeviceType];
                            return result;
                        });
    });
}

extern "C" TARVIK_API int32_t TARVIK_CALL ReadTAG(int32_t Port, int32_t Baud, uint8_t* TagRecord,
                                                  uint8_t* Status1, uint8_t* Status2) {
    return RunCommand(Port, Baud, Address::Broadcast(), kReadTagDescriptorDate, {}, Status1, Status2,
                      [&](const DigitalReply& r, int32_t result) {
                          std::array<uint8_t, kTagRecordLength> record{};
                          UnpackAscii(std::span(r.bytes).subspan(kPosPackedText, kPackedTagDescriptorLength),
                                      std::span(record).first(kTagDescriptorChars));
                          std::copy_n(r.bytes.begin() + kPosDate, kDateLength,
                                      record.begin() + kTagDescriptorChars);
                          std::copy(record.begin(), record.end(), TagRecord);
                          return result;
                      });
}
