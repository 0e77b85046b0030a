#include "HartDevice.h"

#include <algorithm>
#include <cstdio>

namespace tarvik::sim {
namespace {

constexpr std::uint8_t kExpansionCode = 254; // first byte of the command-0 data
constexpr std::uint8_t kUniversalRevision = 5;
constexpr std::uint8_t kMinPreambles = 5;
constexpr std::size_t kPackedTagSize = 6;
constexpr double kMaxStep = 3600; // longer idle times are taken as one hour of process time

std::string Fit(std::string text, std::size_t n) {
    text.resize(n, ' ');
    return text;
}

} // namespace

std::string AddressText(const HartIdentity& identity) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X:%02X%02X%02X", identity.deviceType, identity.id[0], identity.id[1],
                  identity.id[2]);
    return buf;
}

HartDevice::HartDevice(HartIdentity identity, std::string tag, std::string descriptor, std::uint32_t baud,
                       std::uint32_t seed)
    : identity_(identity), tag_(Fit(std::move(tag), kTagLength)),
      descriptor_(Fit(std::move(descriptor), kDescriptorLength)), date_{1, 1, 125}, baud_(baud), rng_(seed) {}

void HartDevice::SetDate(std::uint8_t day, std::uint8_t month, std::uint8_t yearSince1900) {
    date_ = {day, month, yearSince1900};
}

double HartDevice::Noise(double amplitude) {
    std::uniform_real_distribution<double> d(-amplitude, amplitude);
    return d(rng_);
}

bool HartDevice::IsBroadcast(const std::array<std::uint8_t, kAddressSize>& a) {
    return (a[0] & kManufacturerMask) == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0 && a[4] == 0;
}

bool HartDevice::AddressedToMe(const std::array<std::uint8_t, kAddressSize>& a) const {
    return (a[0] & kManufacturerMask) == (identity_.manufacturer & kManufacturerMask) &&
           a[1] == identity_.deviceType && a[2] == identity_.id[0] && a[3] == identity_.id[1] &&
           a[4] == identity_.id[2];
}

Bytes HartDevice::UniqueIdData() const {
    return {kExpansionCode,
            identity_.manufacturer,
            identity_.deviceType,
            kMinPreambles,
            kUniversalRevision,
            identity_.deviceRevision,
            identity_.softwareRevision,
            static_cast<std::uint8_t>(identity_.hardwareRevision << 3),
            0,
            identity_.id[0],
            identity_.id[1],
            identity_.id[2]};
}

std::optional<Bytes> HartDevice::Answer(const HartRequest& request, double now) {
    const bool broadcast = IsBroadcast(request.address);
    // Identity, tag lookup and tag reading are answered at the broadcast address; everything
    // else only at the device's own long address.
    const bool broadcastCommand = request.command == kCmdReadUniqueId ||
                                  request.command == kCmdReadUniqueIdByTag || request.command == kCmdReadTag;
    if (!(AddressedToMe(request.address) || (broadcast && broadcastCommand))) return std::nullopt;

    if (lastTime_ >= 0 && now > lastTime_) Advance(std::min(now - lastTime_, kMaxStep));
    if (now > lastTime_) lastTime_ = now;

    // Replies carry the device's own address with the master bit of the request.
    std::array<std::uint8_t, kAddressSize> own = {
        static_cast<std::uint8_t>((request.address[0] & kMasterBit) |
                                  (identity_.manufacturer & kManufacturerMask)),
        identity_.deviceType, identity_.id[0], identity_.id[1], identity_.id[2]};
    const auto status2 = [&] {
        return static_cast<std::uint8_t>(ProcessStatus() | (configChanged_ ? kStatusConfigChanged : 0));
    };

    if (!request.checksumOk)
        return BuildReply(own, request.command, kCommErrorChecksum, status2(), {}, preambles_);

    std::optional<HartAnswer> answer = Common(request);
    if (!answer) {
        if (request.command == kCmdReadUniqueIdByTag) return std::nullopt; // not my tag: stay silent
        if (protected_ && IsWrite(request.command))
            answer = HartAnswer::Refuse(kRcWriteProtected);
        else
            answer = Command(request.command, request.data);
    }
    if (!answer) answer = HartAnswer::Refuse(kRcNotImplemented);
    return BuildReply(own, request.command, answer->responseCode, status2(), answer->data, preambles_);
}

std::optional<HartAnswer> HartDevice::Common(const HartRequest& request) {
    const auto& data = request.data;
    switch (request.command) {
    case kCmdReadUniqueId:
        return HartAnswer::Ok(UniqueIdData());
    case kCmdReadUniqueIdByTag: {
        if (data.size() < kPackedTagSize) return std::nullopt;
        const Bytes mine = PackAscii(tag_);
        if (!std::equal(mine.begin(), mine.end(), data.begin())) return std::nullopt;
        return HartAnswer::Ok(UniqueIdData());
    }
    case kCmdReadTag: {
        Bytes out = PackAscii(tag_);
        const Bytes desc = PackAscii(descriptor_);
        out.insert(out.end(), desc.begin(), desc.end());
        out.insert(out.end(), date_.begin(), date_.end());
        return HartAnswer::Ok(std::move(out));
    }
    case kCmdAdditionalStatus: {
        const auto s = AdditionalStatus();
        return HartAnswer::Ok(Bytes(s.begin(), s.end()));
    }
    case kCmdWriteProtect: {
        if (data.size() < kPackedTagSize + 1) return HartAnswer::Refuse(kRcTooFewBytes);
        const Bytes key(data.begin(), data.begin() + kPackedTagSize);
        const std::uint8_t mode = data[kPackedTagSize];
        if (mode != kProtectOff && mode != kProtectOn) return HartAnswer::Refuse(kRcInvalidSelection);
        // A protected device changes its protection only for the text it was locked with.
        if (protected_ && key != protectKey_) return HartAnswer::Refuse(kRcAccessRestricted);
        protected_ = mode == kProtectOn;
        protectKey_ = protected_ ? key : Bytes{};
        ConfigChanged();
        return HartAnswer::Ok({mode});
    }
    case kCmdEepromControl: {
        if (data.empty()) return HartAnswer::Refuse(kRcTooFewBytes);
        if (protected_) return HartAnswer::Refuse(kRcWriteProtected);
        if (data[0] == kEepromBurn) {
            saved_ = SaveConfig();
            hasSaved_ = true;
            configChanged_ = false;
        } else if (data[0] == kEepromRestore) {
            if (hasSaved_) LoadConfig(saved_);
            configChanged_ = false;
        } else {
            return HartAnswer::Refuse(kRcInvalidSelection);
        }
        return HartAnswer::Ok({data[0]});
    }
    default:
        return std::nullopt;
    }
}

} // namespace tarvik::sim
