#include "HartIpDevice.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <vector>

#include "HartIpIo.h"
#include "hart/Status.h"
#include "hart/Universal.h"

namespace tarvik::gateway {
namespace {

constexpr std::uint8_t kFlagsNone = 0;
constexpr std::uint8_t kLastDeviceVariable = 0;
constexpr std::uint8_t kDeviceProfileUnset = 0;
constexpr std::size_t kAdditionalStatusBytes = 9; // 6 device-specific, extended status, mode, standardized 0
constexpr std::uint32_t kFnvOffset = 2166136261u, kFnvPrime = 16777619u;
constexpr std::uint32_t kIdMask = 0xFFFFFF;

void Put16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

} // namespace

GatewayDevice::GatewayDevice(const HartIpConfig& config) : tag_(config.tag) {
    std::uint32_t id = config.deviceId;
    if (id == 0) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        id = DeviceIdOf(host);
    }
    id_ = {static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 8),
           static_cast<std::uint8_t>(id)};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    date_ = {static_cast<std::uint8_t>(local.tm_mday), static_cast<std::uint8_t>(local.tm_mon + 1),
             static_cast<std::uint8_t>(std::clamp(local.tm_year, 0, 255))}; // years since 1900
}

std::uint32_t GatewayDevice::DeviceIdOf(const std::string& hostName) {
    std::uint32_t h = kFnvOffset;
    for (unsigned char c : hostName)
        h = (h ^ c) * kFnvPrime;
    const std::uint32_t id = h & kIdMask;
    return id == 0 ? 1 : id;
}

hart::Address GatewayDevice::LongAddress() const {
    return hart::Address::Long({static_cast<std::uint8_t>(kGatewayDeviceType >> 8),
                                static_cast<std::uint8_t>(kGatewayDeviceType), id_[0], id_[1], id_[2]});
}

bool GatewayDevice::Addressed(const hart::Frame& request) const {
    if (request.type != hart::FrameType::Request) return false;
    const hart::Address to = request.DeviceAddress();
    return to.isLong ? to == LongAddress() : to.polling == kGatewayPolling;
}

void GatewayDevice::Answer(const hart::Frame& request, hart::FrameBytes& reply) {
    std::uint8_t code = hart::kRcSuccess;
    std::vector<std::uint8_t> data;
    if (!request.checksumOk) {
        code = hart::kCommErrorBit | hart::kCommLongitudinalParity;
    } else {
        switch (request.command) {
        case hart::kCmdReadUniqueId:
            data = {hart::kExpansionCode};
            Put16(data, kGatewayDeviceType);
            data.insert(data.end(), {kGatewayPreambles, kGatewayUniversalRevision, kGatewayDeviceRevision,
                                     kGatewaySoftwareRevision, kGatewayHardwareSignalling, kFlagsNone});
            data.insert(data.end(), id_.begin(), id_.end());
            data.insert(data.end(), {kGatewayPreambles, kLastDeviceVariable});
            Put16(data, 0);    // configuration change counter
            data.push_back(0); // extended device status
            Put16(data, kGatewayManufacturer);
            Put16(data, kGatewayManufacturer); // private label distributor
            data.push_back(kDeviceProfileUnset);
            break;
        case hart::kCmdReadMessage:
            data.resize(hart::kPackedMessageBytes);
            hart::PackText(kGatewayMessage, hart::kMessageChars, data);
            break;
        case hart::kCmdReadTagDescriptorDate: {
            data.resize(hart::kTagDescriptorDateBytes);
            std::string tag = tag_.substr(0, hart::kTagChars);
            for (char& c : tag) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (!hart::Packable(std::string(1, c), 1)) c = '?';
            }
            hart::PackText(tag, hart::kTagChars, std::span(data).first(hart::kPackedTagBytes));
            hart::PackText(kGatewayDescriptor, hart::kDescriptorChars,
                           std::span(data).subspan(hart::kPackedTagBytes, hart::kPackedDescriptorBytes));
            std::copy(date_.begin(), date_.end(), data.end() - 3);
            break;
        }
        case hart::kCmdReadLongTag:
            data.assign(hart::kLongTagChars, 0);
            std::copy(tag_.begin(), tag_.end(), data.begin());
            break;
        case hart::kCmdResetConfigChanged:
            Put16(data, 0); // the counter: the gateway's configuration does not change over HART
            break;
        case hart::kCmdReadAdditionalStatus:
            data.assign(kAdditionalStatusBytes, 0);
            break;
        default:
            code = hart::kRcNotImplemented;
        }
    }
    Reply(request, code, data, reply);
}

void GatewayDevice::Reply(const hart::Frame& request, std::uint8_t code, std::span<const std::uint8_t> data,
                          hart::FrameBytes& reply) const {
    const hart::Address address = request.isLong ? LongAddress() : hart::Address::Polling(kGatewayPolling);
    const hart::Master master = request.FromPrimary() ? hart::Master::Primary : hart::Master::Secondary;
    hart::BuildReply(hart::FrameType::Reply, address, master, request.command, code, 0, data, 0, reply);
}

std::vector<std::uint8_t> GatewayDevice::Summary() const {
    return SelfSummary(kGatewayManufacturer, kGatewayDeviceType, id_, kGatewayUniversalRevision, tag_,
                       kGatewayDeviceRevision);
}

} // namespace tarvik::gateway
