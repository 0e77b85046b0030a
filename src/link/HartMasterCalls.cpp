// The universal commands on a HartMaster: request data from the codec, replies decoded by it.
#include "api/Pipeline.h"
#include "hart/Universal.h"
#include "tarvik/HartMaster.h"

namespace tarvik::link {

namespace h = tarvik::hart;

// The Impl is defined beside Command; these calls reach it through the public interface only.
namespace {

template <class T, class Decode>
HartCall<T> Decoded(HartReply reply, Decode&& decode) {
    HartCall<T> call;
    call.reply = reply;
    if (reply.Replied() && !reply.CommError()) call.value = decode(call.reply.Data());
    return call;
}

template <class T>
HartCall<T> Refused(const char* name) {
    HartCall<T> call;
    call.reply.result = api::RunCall(name, [] { return ResultBadTextLength; });
    return call;
}

constexpr auto kIdentity = [](std::span<const std::uint8_t> d) { return h::DecodeIdentity(d); };
constexpr auto kText = [](std::span<const std::uint8_t> d) { return h::DecodeMessage(d); };
constexpr auto kLongText = [](std::span<const std::uint8_t> d) { return h::DecodeLongTag(d); };
constexpr auto kFirstByte = [](std::span<const std::uint8_t> d) { return h::DecodeFirstByte(d).value_or(0); };

const h::Address kBroadcast = h::Address::Long({});

} // namespace

HartCall<h::Identity> HartMaster::ReadIdentity(const h::Address& address) {
    auto call = Decoded<h::Identity>(Command(address, h::kCmdReadUniqueId), kIdentity);
    if (call.Ok()) Learn(address, call.value);
    return call;
}

HartCall<h::Identity> HartMaster::ReadIdentityByTag(std::string_view tag) {
    std::array<std::uint8_t, h::kPackedTagBytes> data{};
    if (!h::TagRequest(tag, data)) return Refused<h::Identity>("HartMaster::ReadIdentityByTag");
    auto call = Decoded<h::Identity>(Command(kBroadcast, h::kCmdReadUniqueIdByTag, data), kIdentity);
    if (call.Ok()) Learn(call.value.LongAddress(), call.value);
    return call;
}

HartCall<h::Identity> HartMaster::ReadIdentityByLongTag(std::string_view longTag) {
    std::array<std::uint8_t, h::kLongTagChars> data{};
    if (!h::LongTagRequest(longTag, data)) return Refused<h::Identity>("HartMaster::ReadIdentityByLongTag");
    auto call = Decoded<h::Identity>(Command(kBroadcast, h::kCmdReadUniqueIdByLongTag, data), kIdentity);
    if (call.Ok()) Learn(call.value.LongAddress(), call.value);
    return call;
}

HartCall<h::PrimaryVariable> HartMaster::ReadPrimaryVariable(const h::Address& address) {
    return Decoded<h::PrimaryVariable>(Command(address, h::kCmdReadPrimaryVariable),
                                       h::DecodePrimaryVariable);
}

HartCall<h::LoopCurrent> HartMaster::ReadLoopCurrent(const h::Address& address) {
    return Decoded<h::LoopCurrent>(Command(address, h::kCmdReadLoopCurrent), h::DecodeLoopCurrent);
}

HartCall<h::DynamicVariables> HartMaster::ReadDynamicVariables(const h::Address& address) {
    return Decoded<h::DynamicVariables>(Command(address, h::kCmdReadDynamicVariables),
                                        h::DecodeDynamicVariables);
}

HartCall<std::string> HartMaster::ReadMessage(const h::Address& address) {
    return Decoded<std::string>(Command(address, h::kCmdReadMessage), kText);
}

HartCall<h::TagDescriptorDate> HartMaster::ReadTagDescriptorDate(const h::Address& address) {
    return Decoded<h::TagDescriptorDate>(Command(address, h::kCmdReadTagDescriptorDate),
                                         h::DecodeTagDescriptorDate);
}

HartCall<h::TransducerInfo> HartMaster::ReadTransducerInfo(const h::Address& address) {
    return Decoded<h::TransducerInfo>(Command(address, h::kCmdReadTransducerInfo), h::DecodeTransducerInfo);
}

HartCall<h::DeviceInfo> HartMaster::ReadDeviceInfo(const h::Address& address) {
    return Decoded<h::DeviceInfo>(Command(address, h::kCmdReadDeviceInfo), h::DecodeDeviceInfo);
}

HartCall<std::uint32_t> HartMaster::ReadFinalAssembly(const h::Address& address) {
    return Decoded<std::uint32_t>(
        Command(address, h::kCmdReadFinalAssembly),
        [](std::span<const std::uint8_t> d) { return h::DecodeFinalAssembly(d).value_or(0); });
}

HartCall<std::string> HartMaster::ReadLongTag(const h::Address& address) {
    return Decoded<std::string>(Command(address, h::kCmdReadLongTag), kLongText);
}

HartCall<h::AdditionalStatus> HartMaster::ReadAdditionalStatus(const h::Address& address) {
    return Decoded<h::AdditionalStatus>(Command(address, h::kCmdReadAdditionalStatus),
                                        h::DecodeAdditionalStatus);
}

HartCall<h::PollingAddressReply> HartMaster::WritePollingAddress(const h::Address& address,
                                                                 std::uint8_t polling) {
    if (polling > h::kMaxPollingAddress) {
        HartCall<h::PollingAddressReply> call;
        call.reply.result = api::RunCall("HartMaster::WritePollingAddress", [] { return ResultBadLength; });
        return call;
    }
    // The request's length depends on the device's revision: command 0 tells it.
    const auto id = ReadIdentity(address);
    if (!id.Ok()) return {id.reply, {}};
    std::array<std::uint8_t, h::kPollingAddressRequestBytes> data{};
    const std::size_t n = h::PollingAddressRequest(polling, id.value.universalRevision, data);
    return Decoded<h::PollingAddressReply>(
        Command(address, h::kCmdWritePollingAddress, std::span(data).first(n)), h::DecodePollingAddress);
}

HartCall<std::string> HartMaster::WriteMessage(const h::Address& address, std::string_view message) {
    std::array<std::uint8_t, h::kPackedMessageBytes> data{};
    if (!h::MessageRequest(message, data)) return Refused<std::string>("HartMaster::WriteMessage");
    return Decoded<std::string>(Command(address, h::kCmdWriteMessage, data), kText);
}

HartCall<h::TagDescriptorDate> HartMaster::WriteTagDescriptorDate(const h::Address& address,
                                                                  const h::TagDescriptorDate& record) {
    std::array<std::uint8_t, h::kTagDescriptorDateBytes> data{};
    if (!h::TagDescriptorDateRequest(record, data))
        return Refused<h::TagDescriptorDate>("HartMaster::WriteTagDescriptorDate");
    return Decoded<h::TagDescriptorDate>(Command(address, h::kCmdWriteTagDescriptorDate, data),
                                         h::DecodeTagDescriptorDate);
}

HartCall<std::string> HartMaster::WriteLongTag(const h::Address& address, std::string_view longTag) {
    std::array<std::uint8_t, h::kLongTagChars> data{};
    if (!h::LongTagRequest(longTag, data)) return Refused<std::string>("HartMaster::WriteLongTag");
    return Decoded<std::string>(Command(address, h::kCmdWriteLongTag, data), kLongText);
}

HartReply HartMaster::ResetConfigChanged(const h::Address& address) {
    return Command(address, h::kCmdResetConfigChanged);
}

HartCall<std::uint8_t> HartMaster::WriteBurstCommand(const h::Address& address, std::uint8_t command) {
    const std::uint8_t data[] = {command};
    return Decoded<std::uint8_t>(Command(address, h::kCmdWriteBurstCommand, data), kFirstByte);
}

HartCall<std::uint8_t> HartMaster::SetBurstMode(const h::Address& address, bool on) {
    const std::uint8_t data[] = {on ? h::kBurstOn : h::kBurstOff};
    return Decoded<std::uint8_t>(Command(address, h::kCmdBurstMode, data), kFirstByte);
}

} // namespace tarvik::link
