// The gateway as a HART I/O system (commands 74, 75, 77 and 84): one I/O card per serial port that
// has HART devices, in ascending port order (card 0 is the lowest port), one channel (0) per card,
// and as sub-devices every HART device the gateway polls plus those a host found with command 75.
// What the gateway learns of a sub-device (its command 0 identity, its long tag) is kept here, so
// that hosts can address it by its unique ID. Pure: the server runs the line calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HartIpLines.h"
#include "hart/Frame.h"

namespace tarvik::gateway {

inline constexpr std::uint8_t kCmdIoCapabilities = 74;
inline constexpr std::uint8_t kCmdPollSubDevice = 75;
inline constexpr std::uint8_t kCmdSubDeviceCommand = 77;
inline constexpr std::uint8_t kCmdSubDeviceSummary = 84;
inline constexpr std::uint8_t kMaxSubDevicesPerChannel = 64; // polling addresses 0..63
inline constexpr std::size_t kMaxFoundPerLine = 64;          // sub-devices found by command 75, per line

struct SubDevice {
    std::string name; // in the gateway's configuration; empty for a device found by command 75
    int port = 0, baud = 0;
    hart::Address address; // how the gateway reaches it: polling or long address
    std::optional<hart::Identity> identity;
    std::string longTag;
    // Its unique ID (long address): configured, or from its identity.
    std::optional<hart::Address> Unique() const;
};

// A command 77 request: which card and channel, and the frame for the sub-device.
struct SubCommand {
    std::uint8_t card = 0, channel = 0;
    hart::Address address;
    hart::Master master = hart::Master::Primary;
    std::uint8_t command = 0;
    std::vector<std::uint8_t> data;
};

class IoSystem {
public:
    // The devices the gateway polls now; what was learnt of those that stay is kept, as are found
    // devices on lines that stay.
    void Configure(const std::vector<LineDevice>& devices);
    const std::vector<SubDevice>& Devices() const { return devices_; }
    std::size_t Cards() const { return ports_.size(); }
    // The port of a card and channel; nothing when there is none.
    std::optional<int> PortOf(std::uint8_t card, std::uint8_t channel) const;
    int BaudOf(int port) const;
    int CardOf(int port) const;
    const SubDevice* ByUnique(const hart::Address& unique) const;
    // A command 0 (11, 21) reply from `reached` on `port`: remembered; a device not configured is
    // added (at most kMaxFoundPerLine a line).
    void LearnIdentity(int port, const hart::Address& reached, const hart::Identity& identity);
    void LearnLongTag(int port, const hart::Address& reached, std::span<const std::uint8_t> tag);

    // Reply data of command 74 (`retries`: the lines' further tries).
    std::vector<std::uint8_t> Capabilities(std::uint8_t retries) const;
    // Reply data of command 84 for sub-device `index` (1..), the gateway being 0; nothing when out of range.
    std::optional<std::vector<std::uint8_t>> Summary(std::uint16_t index) const;

private:
    SubDevice* Find(int port, const hart::Address& reached);
    std::vector<int> ports_; // ascending: the cards
    std::vector<SubDevice> devices_;
};

// Whether a command to a sub-device may change it: everything but the known reads (universal
// and common-practice reads, and the I/O system reads). Anything unknown counts as a change.
bool ChangesDevice(std::uint8_t command, std::span<const std::uint8_t> data);
// A command 77 request; nothing when its bytes do not make one (too short, not a request).
std::optional<SubCommand> ParseSubCommand(std::span<const std::uint8_t> data);
// Reply data of command 77: card, channel, then the sub-device's reply without preambles and
// checksum. False when it does not fit one reply.
bool BuildSubReply(const SubCommand& c, const LineReply& r, std::vector<std::uint8_t>& out);
// Reply data of command 84 for the gateway itself.
std::vector<std::uint8_t> SelfSummary(std::uint16_t manufacturer, std::uint16_t deviceType,
                                      std::span<const std::uint8_t, 3> deviceId,
                                      std::uint8_t universalRevision, const std::string& longTag,
                                      std::uint8_t deviceRevision);

} // namespace tarvik::gateway
