// tarvik/HartTypes.h - what any HART field device says, as plain records: its address, the frames
// on its line, and the replies of the universal commands decoded.
//
// Replies of older revisions are shorter than the current layouts: a record holds what the device
// sent. Fields a reply did not reach are empty (std::optional) or shorter text; the raw data bytes
// always travel beside the record (HartReply::data). Nothing here interprets unit codes or status
// bits beyond naming the bits: the tools name units for people.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tarvik::hart {

inline constexpr std::size_t kMaxData = 255;         // a byte count is one byte
inline constexpr std::size_t kLongAddressSize = 5;   // first identity byte, device type, device ID
inline constexpr std::size_t kMaxExpansionBytes = 3; // after the address, as the delimiter says
inline constexpr std::uint8_t kMaxPollingAddress = 63;
// The first address byte: master bit, burst bit, then the polling address or the six low bits of
// the first identity byte.
inline constexpr std::uint8_t kMasterBit = 0x80;
inline constexpr std::uint8_t kBurstBit = 0x40;
inline constexpr std::uint8_t kAddressMask = 0x3F;
// The first status byte of a reply: bit 7 set means a communication error summary.
inline constexpr std::uint8_t kCommErrorBit = 0x80;

// Which master a request comes from (the top bit of the first address byte).
enum class Master : std::uint8_t { Secondary = 0, Primary = 1 };

// The address of one device: its polling address (short frame) or its unique long address.
struct Address {
    bool isLong = false;
    std::uint8_t polling = 0;                            // 0..63, when !isLong
    std::array<std::uint8_t, kLongAddressSize> unique{}; // master and burst bits clear, when isLong

    static Address Polling(std::uint8_t address) { return {false, address, {}}; }
    static Address Long(const std::array<std::uint8_t, kLongAddressSize>& bytes) {
        Address a{true, 0, bytes};
        a.unique[0] &= kAddressMask; // the master and burst bits belong to the frame, not the device
        return a;
    }
    friend bool operator==(const Address&, const Address&) = default;
};

// A frame's kind by its delimiter: burst (device, unasked), request (master), reply (device).
enum class FrameType : std::uint8_t { Burst = 1, Request = 2, Reply = 6 };

// One frame as found on the line. For replies and bursts `body` starts with the response code and
// the field-device status; for requests it is the request data. Fixed storage: no allocation.
struct Frame {
    FrameType type = FrameType::Reply;
    bool isLong = false;
    std::array<std::uint8_t, kLongAddressSize> address{};     // the first byte only for short frames
    std::array<std::uint8_t, kMaxExpansionBytes> expansion{}; // the bytes the delimiter announces
    std::size_t expansionSize = 0;
    std::uint8_t command = 0;
    std::array<std::uint8_t, kMaxData> body{};
    std::size_t bodySize = 0;
    bool checksumOk = false;

    bool FromPrimary() const { return (address[0] & kMasterBit) != 0; }
    bool BurstBit() const { return (address[0] & kBurstBit) != 0; }
    // The device's address as a master would write it (master and burst bits cleared).
    Address DeviceAddress() const {
        return isLong ? Address::Long(address)
                      : Address::Polling(static_cast<std::uint8_t>(address[0] & kAddressMask));
    }
    std::span<const std::uint8_t> Body() const { return std::span(body).first(bodySize); }
    bool HasStatus() const { return type != FrameType::Request && bodySize >= 2; }
    std::uint8_t ResponseCode() const { return HasStatus() ? body[0] : 0; }
    std::uint8_t DeviceStatus() const { return HasStatus() ? body[1] : 0; }
    // The command's data: after the two status bytes of a reply or burst.
    std::span<const std::uint8_t> Data() const {
        if (type == FrameType::Request) return Body();
        return HasStatus() ? Body().subspan(2) : std::span<const std::uint8_t>{};
    }
};

// ---- universal command replies ------------------------------------------------------------------

// Commands 0, 11 and 21. The first twelve data bytes make the identity (`complete`); later
// revisions add the rest.
//
// Bytes 1-2 change their meaning at revision 7: before it they are the manufacturer id and the
// device type; from it they are the 16-bit expanded device type and the manufacturer code moves
// to bytes 17-18. `manufacturer` and `deviceType` hold the meaning of the device's revision;
// `typeBytes` holds bytes 1-2 as sent, which make the long address at every revision.
struct Identity {
    bool complete = false; // the twelve bytes of every revision came
    std::uint8_t expansion = 0;
    std::array<std::uint8_t, 2> typeBytes{}; // bytes 1-2 as sent
    std::uint16_t manufacturer = 0; // byte 1; from revision 7 bytes 17-18 (0 when the reply ends first)
    std::uint16_t deviceType = 0;   // byte 2; from revision 7 bytes 1-2 (the expanded device type)
    std::uint8_t preambles = 0;     // preambles the device wants in requests
    std::uint8_t universalRevision = 0;
    std::uint8_t deviceRevision = 0;
    std::uint8_t softwareRevision = 0;
    std::uint8_t hardwareRevision = 0; // high five bits of byte 7
    std::uint8_t signalling = 0;       // low three bits of byte 7
    std::uint8_t flags = 0;
    std::array<std::uint8_t, 3> deviceId{};
    // From revision 6.
    std::optional<std::uint8_t> replyPreambles;
    std::optional<std::uint8_t> lastDeviceVariable;
    // From revision 7.
    std::optional<std::uint16_t> configChangeCounter;
    std::optional<std::uint8_t> extendedStatus;
    std::optional<std::uint16_t> manufacturerCode;
    std::optional<std::uint16_t> privateLabel;
    std::optional<std::uint8_t> profile;

    // The long address this identity gives (meaningful when complete): the six low bits of byte 1,
    // byte 2 and the device ID, whatever the revision.
    Address LongAddress() const {
        return Address::Long({typeBytes[0], typeBytes[1], deviceId[0], deviceId[1], deviceId[2]});
    }
    // Byte 2, the long address's second byte: the device type of the short "TT:IIIIII" form.
    std::uint8_t AddressType() const { return typeBytes[1]; }
};

struct UnitValue {
    std::uint8_t unit = 0;
    float value = 0;
};

struct PrimaryVariable { // command 1
    std::optional<std::uint8_t> unit;
    std::optional<float> value;
};

struct LoopCurrent { // command 2
    std::optional<float> milliamperes;
    std::optional<float> percentOfRange;
};

struct DynamicVariables { // command 3: PV, SV, TV, QV as far as the device sends them
    std::optional<float> milliamperes;
    std::array<UnitValue, 4> variables{};
    std::size_t count = 0;
};

struct PollingAddressReply { // command 6
    std::optional<std::uint8_t> address;
    std::optional<std::uint8_t> loopCurrentMode; // from revision 6
};

struct TagDescriptorDate {  // commands 13 and 18
    std::string tag;        // up to 8 characters
    std::string descriptor; // up to 16 characters
    std::optional<std::uint8_t> day, month, yearSince1900;
};

struct TransducerInfo { // command 14
    std::optional<std::uint32_t> serialNumber;
    std::optional<std::uint8_t> limitsUnit;
    std::optional<float> upperLimit, lowerLimit, minimumSpan;
};

struct DeviceInfo { // command 15
    std::optional<std::uint8_t> alarmSelection;
    std::optional<std::uint8_t> transferFunction; // 0 linear, 1 square root
    std::optional<std::uint8_t> rangeUnit;
    std::optional<float> upperRange, lowerRange;
    std::optional<float> dampingSeconds;
    std::optional<std::uint8_t> writeProtect;       // 0 not protected, 1 protected, 250 none
    std::optional<std::uint8_t> privateLabel;       // before revision 7 (then reserved: command 0 has it)
    std::optional<std::uint8_t> analogChannelFlags; // from revision 6
};

struct AdditionalStatus { // command 48: device-specific bytes
    std::array<std::uint8_t, 25> bytes{};
    std::size_t count = 0;
};

// ---- common-practice configuration reads ----------------------------------------------------------

struct DeviceVariable { // a slot of command 33
    std::uint8_t code = 0;
    std::uint8_t unit = 0;
    float value = 0;
};

struct DeviceVariables { // command 33: up to four slots, as many as came whole
    std::array<DeviceVariable, 4> slots{};
    std::size_t count = 0;
};

struct DeviceVariableWithStatus { // a slot of command 9
    std::uint8_t code = 0;
    std::uint8_t classification = 0;
    std::uint8_t unit = 0;
    float value = 0;
    std::uint8_t status = 0; // bits 7-6 process data status, 5-4 limit status
};

struct DeviceVariablesWithStatus { // command 9
    std::optional<std::uint8_t> extendedStatus;
    std::array<DeviceVariableWithStatus, 8> slots{}; // up to 8 (revision 7), 4 before
    std::size_t count = 0;
    std::optional<std::uint32_t> timeOfDay; // 1/32 ms since midnight (revision 7)
};

struct VariableAssignments { // commands 50 and 51: the device variables behind PV, SV, TV, QV
    std::array<std::uint8_t, 4> codes{};
    std::size_t count = 0;
};

struct BurstConfiguration {              // command 105; a revision 5 or 6 reply ends after the first slots
    std::optional<std::uint8_t> mode;    // 0 off, 1 on
    std::optional<std::uint8_t> command; // the burst command (31: see extendedCommand)
    std::array<std::uint8_t, 8> variables{}; // the device variable codes of the slots
    std::size_t variableCount = 0;
    // From revision 7.
    std::optional<std::uint8_t> message, maxMessages;
    std::optional<std::uint16_t> extendedCommand;
    std::optional<std::uint32_t> updatePeriod, maxUpdatePeriod; // 1/32 ms
    std::optional<std::uint8_t> triggerMode, triggerClassification, triggerUnit;
    std::optional<float> triggerLevel;
};

} // namespace tarvik::hart
