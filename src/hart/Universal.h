// The universal commands of every HART device (and burst control): command numbers, request data,
// and reply decoders that take what a device sent, however short. Pure: no port, no clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "../../include/tarvik/HartTypes.h"

namespace tarvik::hart {

inline constexpr std::uint8_t kCmdReadUniqueId = 0;
inline constexpr std::uint8_t kCmdReadPrimaryVariable = 1;
inline constexpr std::uint8_t kCmdReadLoopCurrent = 2;
inline constexpr std::uint8_t kCmdReadDynamicVariables = 3;
inline constexpr std::uint8_t kCmdWritePollingAddress = 6;
inline constexpr std::uint8_t kCmdReadLoopConfiguration = 7;
inline constexpr std::uint8_t kCmdReadClassifications = 8;
inline constexpr std::uint8_t kCmdReadVariablesWithStatus = 9;
inline constexpr std::uint8_t kCmdReadUniqueIdByTag = 11;
inline constexpr std::uint8_t kCmdReadMessage = 12;
inline constexpr std::uint8_t kCmdReadTagDescriptorDate = 13;
inline constexpr std::uint8_t kCmdReadTransducerInfo = 14;
inline constexpr std::uint8_t kCmdReadDeviceInfo = 15;
inline constexpr std::uint8_t kCmdReadFinalAssembly = 16;
inline constexpr std::uint8_t kCmdWriteMessage = 17;
inline constexpr std::uint8_t kCmdWriteTagDescriptorDate = 18;
inline constexpr std::uint8_t kCmdWriteFinalAssembly = 19;
inline constexpr std::uint8_t kCmdReadLongTag = 20;
inline constexpr std::uint8_t kCmdReadUniqueIdByLongTag = 21;
inline constexpr std::uint8_t kCmdWriteLongTag = 22;
inline constexpr std::uint8_t kCmdReadDeviceVariables = 33;
inline constexpr std::uint8_t kCmdResetConfigChanged = 38;
inline constexpr std::uint8_t kCmdReadAdditionalStatus = 48;
inline constexpr std::uint8_t kCmdReadVariableAssignments = 50;
inline constexpr std::uint8_t kCmdReadBurstConfiguration = 105;
inline constexpr std::uint8_t kCmdWriteBurstCommand = 108;
inline constexpr std::uint8_t kCmdBurstMode = 109;

inline constexpr std::uint8_t kExpansionCode = 254; // first byte of a command-0 reply
inline constexpr std::uint8_t kBurstOff = 0;
inline constexpr std::uint8_t kBurstOn = 1;
inline constexpr std::uint8_t kTransferLinear = 0;
inline constexpr std::uint8_t kTransferSquareRoot = 1;
inline constexpr std::uint8_t kUnitNotUsed = 250;
inline constexpr std::uint8_t kLoopCurrentDisabled = 0; // command 6's loop current mode
inline constexpr std::uint8_t kLoopCurrentEnabled = 1;
// Universal revisions that change a layout: command 6's request gains the loop current mode;
// command 0 gains the expanded device type (bytes 1-2) and the manufacturer code (bytes 17-18),
// and command 15's private label byte becomes reserved.
inline constexpr std::uint8_t kRevisionLoopCurrentMode = 6;
inline constexpr std::uint8_t kRevisionExpandedType = 7;

inline constexpr std::size_t kTagChars = 8;
inline constexpr std::size_t kDescriptorChars = 16;
inline constexpr std::size_t kMessageChars = 32;
inline constexpr std::size_t kLongTagChars = 32;
inline constexpr std::size_t kPackedTagBytes = 6;
inline constexpr std::size_t kPackedDescriptorBytes = 12;
inline constexpr std::size_t kPackedMessageBytes = 24;
inline constexpr std::size_t kTagDescriptorDateBytes = kPackedTagBytes + kPackedDescriptorBytes + 3;
inline constexpr std::size_t kIdentityBytes = 12; // every revision
inline constexpr std::size_t kIdentityRev6Bytes = 14;
inline constexpr std::size_t kIdentityRev7Bytes = 22;
inline constexpr std::size_t kPollingAddressRequestBytes = 2;

// Whether `text` can travel as packed text: at most `chars` characters, each a space or one of
// '!'..'_' (upper case: packed text has no lower-case letters, so 'a' would arrive as '!').
bool Packable(std::string_view text, std::size_t chars);
// Packs `text` padded with spaces to `chars` (a multiple of 4) into chars * 3 / 4 bytes of `out`.
// Returns false, leaving `out` alone, when the text is not Packable or `out` too short.
bool PackText(std::string_view text, std::size_t chars, std::span<std::uint8_t> out);
// Unpacks whole groups of `packed` (trailing spaces removed).
std::string UnpackText(std::span<const std::uint8_t> packed);
// Whether `text` fits a long tag: at most 32 characters, none of them NUL.
bool LongTagFits(std::string_view text);

// Request data of the writes and look-ups; false when the text does not fit (nothing to send).
bool MessageRequest(std::string_view message, std::array<std::uint8_t, kPackedMessageBytes>& out);
bool TagRequest(std::string_view tag, std::array<std::uint8_t, kPackedTagBytes>& out);
bool TagDescriptorDateRequest(const TagDescriptorDate& record,
                              std::array<std::uint8_t, kTagDescriptorDateBytes>& out);
bool LongTagRequest(std::string_view longTag, std::array<std::uint8_t, kLongTagChars>& out);
// Command 6's request for a device of `universalRevision`: the polling address, and from revision
// 6 on the loop current mode (enabled at address 0, disabled at any other: the rule that revision
// 5 devices follow by themselves). Returns the number of bytes of `out` to send (1 or 2).
std::size_t PollingAddressRequest(std::uint8_t polling, std::uint8_t universalRevision,
                                  std::array<std::uint8_t, kPollingAddressRequestBytes>& out);

// Reply decoders: `data` is the reply data after the two status bytes.
Identity DecodeIdentity(std::span<const std::uint8_t> data); // 0, 11, 21
PrimaryVariable DecodePrimaryVariable(std::span<const std::uint8_t> data);
LoopCurrent DecodeLoopCurrent(std::span<const std::uint8_t> data);
DynamicVariables DecodeDynamicVariables(std::span<const std::uint8_t> data);
PollingAddressReply DecodePollingAddress(std::span<const std::uint8_t> data);
std::string DecodeMessage(std::span<const std::uint8_t> data);                 // 12, 17
TagDescriptorDate DecodeTagDescriptorDate(std::span<const std::uint8_t> data); // 13, 18
TransducerInfo DecodeTransducerInfo(std::span<const std::uint8_t> data);
// Command 15. From revision 7 byte 16 is reserved (the private label is in command 0's bytes
// 19-20): with the device's revision known, it is not read as a private label.
DeviceInfo DecodeDeviceInfo(std::span<const std::uint8_t> data);
DeviceInfo DecodeDeviceInfoOfRevision(std::span<const std::uint8_t> data, std::uint8_t universalRevision);
std::optional<std::uint32_t> DecodeFinalAssembly(std::span<const std::uint8_t> data); // 16, 19
std::string DecodeLongTag(std::span<const std::uint8_t> data);                        // 20, 22
std::optional<std::uint16_t> DecodeConfigCounter(std::span<const std::uint8_t> data); // 38 (revision 7)
AdditionalStatus DecodeAdditionalStatus(std::span<const std::uint8_t> data);
std::optional<std::uint8_t> DecodeFirstByte(std::span<const std::uint8_t> data); // 108, 109
// Common-practice configuration reads; a short reply (older revisions) is decoded as far as it goes.
DeviceVariablesWithStatus DecodeVariablesWithStatus(std::span<const std::uint8_t> data); // 9
DeviceVariables DecodeDeviceVariables(std::span<const std::uint8_t> data);               // 33
VariableAssignments DecodeVariableAssignments(std::span<const std::uint8_t> data);       // 50, 51
BurstConfiguration DecodeBurstConfiguration(std::span<const std::uint8_t> data);         // 105

// Whether the commands above decode `command`'s reply.
bool IsDecodedCommand(std::uint8_t command);
// The command's name ("read primary variable"), nullptr for one not decoded here.
const char* CommandName(std::uint8_t command);

} // namespace tarvik::hart
