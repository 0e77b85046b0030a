#include "HartIpIo.h"

#include <algorithm>
#include <array>

#include "hart/Universal.h"

namespace tarvik::gateway {
namespace {

constexpr std::uint8_t kChannelsPerCard = 1;
constexpr std::uint8_t kMaxDelayedResponses = 0; // replies are held until the sub-device answered
constexpr std::uint8_t kMasterModePrimary = 1;
constexpr std::uint8_t kSelfCardChannel = 0xFF;       // the gateway's own summary: on no card
constexpr std::size_t kSubCommandHeader = 3;          // card, channel, preamble count
constexpr std::size_t kSubReplyFixed = 2 + 1 + 2 + 2; // card, channel, delimiter, command, count, status (2)

// Commands that only read: universal 0-3, 7-9, 11-16, 20, 21, 48; common-practice 33, 50, 54, 105;
// the I/O system's 74, 75 and 84.
constexpr std::uint8_t kReads[] = {0,  1,  2,  3,  7,  8,  9,  11, 12, 13, 14, 15,
                                   16, 20, 21, 33, 48, 50, 54, 74, 75, 84, 105};

void Put16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void PutTag(std::vector<std::uint8_t>& b, const std::string& tag) {
    const std::size_t at = b.size();
    b.resize(at + hart::kLongTagChars, 0);
    std::copy_n(tag.begin(), std::min(tag.size(), hart::kLongTagChars), b.begin() + static_cast<long>(at));
}

} // namespace

std::optional<hart::Address> SubDevice::Unique() const {
    if (address.isLong) return address;
    if (identity && identity->complete) return identity->LongAddress();
    return std::nullopt;
}

void IoSystem::Configure(const std::vector<LineDevice>& devices) {
    std::vector<SubDevice> next;
    std::vector<int> ports;
    for (const LineDevice& d : devices) {
        SubDevice s{d.name, d.port, d.baud, d.address, std::nullopt, {}};
        if (const SubDevice* old = Find(d.port, d.address); old && !old->name.empty()) {
            s.identity = old->identity;
            s.longTag = old->longTag;
        }
        next.push_back(std::move(s));
        ports.push_back(d.port);
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    for (const SubDevice& s : devices_) // found ones stay while their line does
        if (s.name.empty() && std::binary_search(ports.begin(), ports.end(), s.port)) next.push_back(s);
    devices_ = std::move(next);
    ports_ = std::move(ports);
}

std::optional<int> IoSystem::PortOf(std::uint8_t card, std::uint8_t channel) const {
    if (card >= ports_.size() || channel >= kChannelsPerCard) return std::nullopt;
    return ports_[card];
}

int IoSystem::BaudOf(int port) const {
    for (const SubDevice& s : devices_)
        if (s.port == port) return s.baud;
    return 0;
}

int IoSystem::CardOf(int port) const {
    const auto at = std::lower_bound(ports_.begin(), ports_.end(), port);
    return at != ports_.end() && *at == port ? static_cast<int>(at - ports_.begin()) : -1;
}

const SubDevice* IoSystem::ByUnique(const hart::Address& unique) const {
    for (const SubDevice& s : devices_)
        if (s.Unique() == unique) return &s;
    return nullptr;
}

SubDevice* IoSystem::Find(int port, const hart::Address& reached) {
    for (SubDevice& s : devices_)
        if (s.port == port && (s.address == reached || s.Unique() == reached)) return &s;
    return nullptr;
}

void IoSystem::LearnIdentity(int port, const hart::Address& reached, const hart::Identity& identity) {
    if (!identity.complete || CardOf(port) < 0) return;
    SubDevice* s = Find(port, reached);
    if (!s) s = Find(port, identity.LongAddress());
    if (!s) {
        const auto found = std::count_if(devices_.begin(), devices_.end(), [&](const SubDevice& d) {
            return d.port == port && d.name.empty();
        });
        if (static_cast<std::size_t>(found) >= kMaxFoundPerLine) return;
        devices_.push_back({{}, port, BaudOf(port), reached, std::nullopt, {}});
        s = &devices_.back();
    }
    s->identity = identity;
}

void IoSystem::LearnLongTag(int port, const hart::Address& reached, std::span<const std::uint8_t> tag) {
    SubDevice* s = Find(port, reached);
    if (!s || tag.size() < hart::kLongTagChars) return;
    s->longTag.assign(tag.begin(), tag.begin() + hart::kLongTagChars);
    s->longTag.erase(std::find(s->longTag.begin(), s->longTag.end(), '\0'), s->longTag.end());
}

std::vector<std::uint8_t> IoSystem::Capabilities(std::uint8_t retries) const {
    std::vector<std::uint8_t> b = {static_cast<std::uint8_t>(ports_.size()), kChannelsPerCard,
                                   kMaxSubDevicesPerChannel};
    Put16(b, static_cast<std::uint16_t>(devices_.size() + 1)); // the gateway counts itself
    b.insert(b.end(), {kMaxDelayedResponses, kMasterModePrimary, retries});
    return b;
}

std::optional<std::vector<std::uint8_t>> IoSystem::Summary(std::uint16_t index) const {
    if (index == 0 || index > devices_.size()) return std::nullopt;
    const SubDevice& s = devices_[index - 1u];
    std::vector<std::uint8_t> b;
    Put16(b, index);
    b.push_back(static_cast<std::uint8_t>(CardOf(s.port)));
    b.push_back(0); // channel
    const hart::Identity id = s.identity.value_or(hart::Identity{});
    const auto unique = s.Unique();
    const bool known = s.identity && s.identity->complete;
    Put16(b, id.manufacturerCode.value_or(id.manufacturer));
    const std::array<std::uint8_t, 2> type = known    ? id.typeBytes
                                             : unique ? std::array{unique->unique[0], unique->unique[1]}
                                                      : std::array<std::uint8_t, 2>{};
    b.insert(b.end(), type.begin(), type.end());
    if (known)
        b.insert(b.end(), id.deviceId.begin(), id.deviceId.end());
    else if (unique)
        b.insert(b.end(), unique->unique.begin() + 2, unique->unique.end());
    else
        b.insert(b.end(), 3, 0);
    b.push_back(id.universalRevision);
    PutTag(b, s.longTag.empty() ? s.name : s.longTag);
    b.push_back(id.deviceRevision);
    b.push_back(id.profile.value_or(0));
    Put16(b, id.privateLabel.value_or(id.manufacturerCode.value_or(id.manufacturer)));
    return b;
}

std::vector<std::uint8_t> SelfSummary(std::uint16_t manufacturer, std::uint16_t deviceType,
                                      std::span<const std::uint8_t, 3> deviceId,
                                      std::uint8_t universalRevision, const std::string& longTag,
                                      std::uint8_t deviceRevision) {
    std::vector<std::uint8_t> b;
    Put16(b, 0);
    b.insert(b.end(), {kSelfCardChannel, kSelfCardChannel});
    Put16(b, manufacturer);
    Put16(b, deviceType);
    b.insert(b.end(), deviceId.begin(), deviceId.end());
    b.push_back(universalRevision);
    PutTag(b, longTag);
    b.insert(b.end(), {deviceRevision, 0});
    Put16(b, manufacturer);
    return b;
}

bool ChangesDevice(std::uint8_t command, std::span<const std::uint8_t> data) {
    if (command == kCmdSubDeviceCommand) {
        const auto sub = ParseSubCommand(data);
        return !sub || ChangesDevice(sub->command, sub->data);
    }
    return std::ranges::find(kReads, command) == std::end(kReads);
}

std::optional<SubCommand> ParseSubCommand(std::span<const std::uint8_t> data) {
    if (data.size() < kSubCommandHeader + 1) return std::nullopt;
    SubCommand c;
    c.card = data[0];
    c.channel = data[1];
    const std::uint8_t delimiter = data[kSubCommandHeader];
    const bool isLong = delimiter == hart::kDelimiterLongRequest;
    if (!isLong && delimiter != hart::kDelimiterShortRequest) return std::nullopt;
    const std::size_t addressAt = kSubCommandHeader + 1, addressSize = isLong ? hart::kLongAddressSize : 1;
    const std::size_t commandAt = addressAt + addressSize;
    if (data.size() < commandAt + 2) return std::nullopt;
    const std::size_t count = data[commandAt + 1];
    if (data.size() != commandAt + 2 + count) return std::nullopt;
    std::array<std::uint8_t, hart::kLongAddressSize> address{};
    std::copy_n(data.begin() + static_cast<long>(addressAt), addressSize, address.begin());
    c.master = (address[0] & hart::kMasterBit) ? hart::Master::Primary : hart::Master::Secondary;
    c.address = isLong ? hart::Address::Long(address)
                       : hart::Address::Polling(static_cast<std::uint8_t>(address[0] & hart::kAddressMask));
    c.command = data[commandAt];
    c.data.assign(data.begin() + static_cast<long>(commandAt + 2), data.end());
    return c;
}

bool BuildSubReply(const SubCommand& c, const LineReply& r, std::vector<std::uint8_t>& out) {
    const std::size_t addressSize = c.address.isLong ? hart::kLongAddressSize : 1;
    if (kSubReplyFixed + addressSize + r.data.size() > hart::kMaxData - 2) return false;
    out = {c.card, c.channel, hart::Delimiter(hart::FrameType::Reply, c.address.isLong)};
    out.push_back(hart::FirstAddressByte(c.address, c.master, false));
    if (c.address.isLong) out.insert(out.end(), c.address.unique.begin() + 1, c.address.unique.end());
    out.insert(out.end(),
               {c.command, static_cast<std::uint8_t>(r.data.size() + 2), r.responseCode, r.deviceStatus});
    out.insert(out.end(), r.data.begin(), r.data.end());
    return true;
}

} // namespace tarvik::gateway
