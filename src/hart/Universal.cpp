#include "Universal.h"

#include <algorithm>
#include <bit>

#include "../digital/PackedText.h"

namespace tarvik::hart {

namespace {

constexpr std::uint8_t kFirstPackable = 0x20; // space
constexpr std::uint8_t kLastPackable = 0x5F;  // '_'
constexpr std::uint8_t kSpace = 0x20;
constexpr std::uint8_t kHardwareShift = 3;     // byte 7: hardware revision in the high five bits
constexpr std::uint8_t kSignallingMask = 0x07; // and the physical signalling code in the low three
constexpr std::size_t kDateBytes = 3;
constexpr std::size_t kFloatBytes = 4;
constexpr std::size_t kUnitValueBytes = 1 + kFloatBytes;
constexpr std::size_t kMaxDynamicVariables = 4;

// Reads fields of a reply that may end early: a field the data does not reach is empty.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    bool Has(std::size_t pos, std::size_t n) const { return data_.size() >= pos + n; }
    std::optional<std::uint8_t> U8(std::size_t pos) const {
        if (!Has(pos, 1)) return std::nullopt;
        return data_[pos];
    }
    std::optional<std::uint32_t> Unsigned(std::size_t pos, std::size_t n) const {
        if (!Has(pos, n)) return std::nullopt;
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v = (v << 8) | data_[pos + i];
        return v;
    }
    std::optional<std::uint16_t> U16(std::size_t pos) const {
        const auto v = Unsigned(pos, 2);
        if (!v) return std::nullopt;
        return static_cast<std::uint16_t>(*v);
    }
    std::optional<float> F32(std::size_t pos) const {
        const auto v = Unsigned(pos, kFloatBytes);
        if (!v) return std::nullopt;
        return std::bit_cast<float>(*v);
    }
    // The bytes from `pos`, at most `n` (fewer when the data ends first).
    std::span<const std::uint8_t> Up(std::size_t pos, std::size_t n) const {
        if (pos >= data_.size()) return {};
        return data_.subspan(pos, std::min(n, data_.size() - pos));
    }

private:
    std::span<const std::uint8_t> data_;
};

} // namespace

bool Packable(std::string_view text, std::size_t chars) {
    return text.size() <= chars && std::all_of(text.begin(), text.end(), [](char c) {
               const auto b = static_cast<std::uint8_t>(c);
               return b >= kFirstPackable && b <= kLastPackable;
           });
}

bool PackText(std::string_view text, std::size_t chars, std::span<std::uint8_t> out) {
    constexpr std::size_t kMaxChars = kMessageChars;
    const std::size_t bytes = chars / digital::kPackedGroupChars * digital::kPackedGroupBytes;
    if (chars > kMaxChars || chars % digital::kPackedGroupChars != 0 || out.size() < bytes ||
        !Packable(text, chars))
        return false;
    std::array<std::uint8_t, kMaxChars> padded;
    padded.fill(kSpace);
    std::copy(text.begin(), text.end(), padded.begin());
    digital::PackAscii(std::span(padded).first(chars), out.first(bytes));
    return true;
}

std::string UnpackText(std::span<const std::uint8_t> packed) {
    std::array<std::uint8_t, kMessageChars> text{};
    const std::size_t groups =
        std::min(packed.size() / digital::kPackedGroupBytes, text.size() / digital::kPackedGroupChars);
    const std::size_t chars = groups * digital::kPackedGroupChars;
    digital::UnpackAscii(packed.first(groups * digital::kPackedGroupBytes), std::span(text).first(chars));
    std::string out(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(chars));
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

bool LongTagFits(std::string_view text) {
    return text.size() <= kLongTagChars && text.find('\0') == std::string_view::npos;
}

bool MessageRequest(std::string_view message, std::array<std::uint8_t, kPackedMessageBytes>& out) {
    return PackText(message, kMessageChars, out);
}

bool TagRequest(std::string_view tag, std::array<std::uint8_t, kPackedTagBytes>& out) {
    return PackText(tag, kTagChars, out);
}

bool TagDescriptorDateRequest(const TagDescriptorDate& record,
                              std::array<std::uint8_t, kTagDescriptorDateBytes>& out) {
    if (!Packable(record.tag, kTagChars) || !Packable(record.descriptor, kDescriptorChars)) return false;
    const auto span = std::span(out);
    PackText(record.tag, kTagChars, span.first(kPackedTagBytes));
    PackText(record.descriptor, kDescriptorChars, span.subspan(kPackedTagBytes, kPackedDescriptorBytes));
    out[kPackedTagBytes + kPackedDescriptorBytes] = record.day.value_or(1);
    out[kPackedTagBytes + kPackedDescriptorBytes + 1] = record.month.value_or(1);
    out[kPackedTagBytes + kPackedDescriptorBytes + 2] = record.yearSince1900.value_or(0);
    return true;
}

bool LongTagRequest(std::string_view longTag, std::array<std::uint8_t, kLongTagChars>& out) {
    if (!LongTagFits(longTag)) return false;
    out.fill(0);
    std::copy(longTag.begin(), longTag.end(), out.begin());
    return true;
}

Identity DecodeIdentity(std::span<const std::uint8_t> data) {
    const Reader r(data);
    Identity id;
    std::array<std::uint8_t, kIdentityBytes> head{};
    const auto there = r.Up(0, kIdentityBytes);
    std::copy(there.begin(), there.end(), head.begin());
    id.complete = there.size() == kIdentityBytes;
    id.expansion = head[0];
    id.typeBytes = {head[1], head[2]};
    id.preambles = head[3];
    id.universalRevision = head[4];
    id.deviceRevision = head[5];
    id.softwareRevision = head[6];
    id.hardwareRevision = static_cast<std::uint8_t>(head[7] >> kHardwareShift);
    id.signalling = head[7] & kSignallingMask;
    id.flags = head[8];
    id.deviceId = {head[9], head[10], head[11]};
    id.replyPreambles = r.U8(12);
    id.lastDeviceVariable = r.U8(13);
    id.configChangeCounter = r.U16(14);
    id.extendedStatus = r.U8(16);
    id.manufacturerCode = r.U16(17);
    id.privateLabel = r.U16(19);
    id.profile = r.U8(21);
    if (id.universalRevision >= kRevisionExpandedType) {
        id.deviceType = static_cast<std::uint16_t>(head[1] << 8 | head[2]);
        id.manufacturer = id.manufacturerCode.value_or(0);
    } else {
        id.manufacturer = head[1];
        id.deviceType = head[2];
    }
    return id;
}

std::size_t PollingAddressRequest(std::uint8_t polling, std::uint8_t universalRevision,
                                  std::array<std::uint8_t, kPollingAddressRequestBytes>& out) {
    out = {polling, polling == 0 ? kLoopCurrentEnabled : kLoopCurrentDisabled};
    return universalRevision >= kRevisionLoopCurrentMode ? out.size() : 1;
}

PrimaryVariable DecodePrimaryVariable(std::span<const std::uint8_t> data) {
    const Reader r(data);
    return {r.U8(0), r.F32(1)};
}

LoopCurrent DecodeLoopCurrent(std::span<const std::uint8_t> data) {
    const Reader r(data);
    return {r.F32(0), r.F32(kFloatBytes)};
}

DynamicVariables DecodeDynamicVariables(std::span<const std::uint8_t> data) {
    const Reader r(data);
    DynamicVariables v;
    v.milliamperes = r.F32(0);
    for (std::size_t i = 0; i < kMaxDynamicVariables; ++i) {
        const std::size_t pos = kFloatBytes + i * kUnitValueBytes;
        if (!r.Has(pos, kUnitValueBytes)) break;
        v.variables[v.count++] = {*r.U8(pos), *r.F32(pos + 1)};
    }
    return v;
}

PollingAddressReply DecodePollingAddress(std::span<const std::uint8_t> data) {
    const Reader r(data);
    return {r.U8(0), r.U8(1)};
}

std::string DecodeMessage(std::span<const std::uint8_t> data) {
    return UnpackText(Reader(data).Up(0, kPackedMessageBytes));
}

TagDescriptorDate DecodeTagDescriptorDate(std::span<const std::uint8_t> data) {
    const Reader r(data);
    TagDescriptorDate t;
    t.tag = UnpackText(r.Up(0, kPackedTagBytes));
    t.descriptor = UnpackText(r.Up(kPackedTagBytes, kPackedDescriptorBytes));
    const std::size_t date = kPackedTagBytes + kPackedDescriptorBytes;
    t.day = r.U8(date);
    t.month = r.U8(date + 1);
    t.yearSince1900 = r.U8(date + 2);
    static_assert(kTagDescriptorDateBytes == date + kDateBytes);
    return t;
}

TransducerInfo DecodeTransducerInfo(std::span<const std::uint8_t> data) {
    const Reader r(data);
    return {r.Unsigned(0, 3), r.U8(3), r.F32(4), r.F32(8), r.F32(12)};
}

DeviceInfo DecodeDeviceInfo(std::span<const std::uint8_t> data) {
    const Reader r(data);
    return {r.U8(0), r.U8(1), r.U8(2), r.F32(3), r.F32(7), r.F32(11), r.U8(15), r.U8(16), r.U8(17)};
}

DeviceInfo DecodeDeviceInfoOfRevision(std::span<const std::uint8_t> data, std::uint8_t universalRevision) {
    DeviceInfo d = DecodeDeviceInfo(data);
    if (universalRevision >= kRevisionExpandedType) d.privateLabel.reset(); // byte 16 is reserved
    return d;
}

std::optional<std::uint32_t> DecodeFinalAssembly(std::span<const std::uint8_t> data) {
    return Reader(data).Unsigned(0, 3);
}

std::string DecodeLongTag(std::span<const std::uint8_t> data) {
    const auto bytes = Reader(data).Up(0, kLongTagChars);
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return std::string(bytes.begin(), end);
}

std::optional<std::uint16_t> DecodeConfigCounter(std::span<const std::uint8_t> data) {
    return Reader(data).U16(0);
}

AdditionalStatus DecodeAdditionalStatus(std::span<const std::uint8_t> data) {
    AdditionalStatus s;
    const auto bytes = Reader(data).Up(0, s.bytes.size());
    std::copy(bytes.begin(), bytes.end(), s.bytes.begin());
    s.count = bytes.size();
    return s;
}

std::optional<std::uint8_t> DecodeFirstByte(std::span<const std::uint8_t> data) {
    return Reader(data).U8(0);
}

DeviceVariablesWithStatus DecodeVariablesWithStatus(std::span<const std::uint8_t> data) {
    constexpr std::size_t kSlotBytes = 3 + kFloatBytes + 1; // code, class, unit, value, status
    constexpr std::size_t kTimeBytes = 4;
    const Reader r(data);
    DeviceVariablesWithStatus v;
    v.extendedStatus = r.U8(0);
    std::size_t pos = 1;
    for (; v.count < v.slots.size() && r.Has(pos, kSlotBytes); pos += kSlotBytes)
        v.slots[v.count++] = {data[pos], data[pos + 1], data[pos + 2], *r.F32(pos + 3), data[pos + 7]};
    // Revision 7 ends with the time: 4 bytes, where a slot takes 8.
    if (data.size() == pos + kTimeBytes) v.timeOfDay = r.Unsigned(pos, kTimeBytes);
    return v;
}

DeviceVariables DecodeDeviceVariables(std::span<const std::uint8_t> data) {
    constexpr std::size_t kSlotBytes = 2 + kFloatBytes; // code, unit, value
    const Reader r(data);
    DeviceVariables v;
    for (std::size_t pos = 0; v.count < v.slots.size() && r.Has(pos, kSlotBytes); pos += kSlotBytes)
        v.slots[v.count++] = {data[pos], data[pos + 1], *r.F32(pos + 2)};
    return v;
}

VariableAssignments DecodeVariableAssignments(std::span<const std::uint8_t> data) {
    VariableAssignments a;
    const auto codes = Reader(data).Up(0, a.codes.size());
    std::copy(codes.begin(), codes.end(), a.codes.begin());
    a.count = codes.size();
    return a;
}

BurstConfiguration DecodeBurstConfiguration(std::span<const std::uint8_t> data) {
    // 0 mode, 1 command, 2-9 slots (2-5 before revision 7), 10 message, 11 most messages,
    // 12-13 extended command, 14-17 period, 18-21 longest period, 22 trigger mode, 23 its
    // classification, 24 its unit, 25-28 its level.
    constexpr std::size_t kSlots = 2;
    const Reader r(data);
    BurstConfiguration b;
    b.mode = r.U8(0);
    b.command = r.U8(1);
    const auto slots = r.Up(kSlots, b.variables.size());
    std::copy(slots.begin(), slots.end(), b.variables.begin());
    b.variableCount = slots.size();
    const std::size_t rest = kSlots + b.variables.size();
    b.message = r.U8(rest);
    b.maxMessages = r.U8(rest + 1);
    b.extendedCommand = r.U16(rest + 2);
    b.updatePeriod = r.Unsigned(rest + 4, kFloatBytes);
    b.maxUpdatePeriod = r.Unsigned(rest + 8, kFloatBytes);
    b.triggerMode = r.U8(rest + 12);
    b.triggerClassification = r.U8(rest + 13);
    b.triggerUnit = r.U8(rest + 14);
    b.triggerLevel = r.F32(rest + 15);
    return b;
}

const char* CommandName(std::uint8_t command) {
    switch (command) {
    case kCmdReadUniqueId:
        return "read unique identifier";
    case kCmdReadPrimaryVariable:
        return "read primary variable";
    case kCmdReadLoopCurrent:
        return "read loop current and percent of range";
    case kCmdReadDynamicVariables:
        return "read dynamic variables and loop current";
    case kCmdWritePollingAddress:
        return "write polling address";
    case kCmdReadUniqueIdByTag:
        return "read unique identifier by tag";
    case kCmdReadMessage:
        return "read message";
    case kCmdReadTagDescriptorDate:
        return "read tag, descriptor, date";
    case kCmdReadTransducerInfo:
        return "read PV transducer information";
    case kCmdReadDeviceInfo:
        return "read device information";
    case kCmdReadFinalAssembly:
        return "read final assembly number";
    case kCmdWriteMessage:
        return "write message";
    case kCmdWriteTagDescriptorDate:
        return "write tag, descriptor, date";
    case kCmdWriteFinalAssembly:
        return "write final assembly number";
    case kCmdReadLongTag:
        return "read long tag";
    case kCmdReadUniqueIdByLongTag:
        return "read unique identifier by long tag";
    case kCmdWriteLongTag:
        return "write long tag";
    case kCmdResetConfigChanged:
        return "reset configuration changed flag";
    case kCmdReadAdditionalStatus:
        return "read additional device status";
    case kCmdWriteBurstCommand:
        return "write burst mode command number";
    case kCmdBurstMode:
        return "burst mode control";
    default:
        return nullptr;
    }
}

bool IsDecodedCommand(std::uint8_t command) {
    return CommandName(command) != nullptr;
}

} // namespace tarvik::hart
