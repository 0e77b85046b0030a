// The replies of the universal commands of any HART device, decoded for people and scripts: one
// field per value (JSON key, label, JSON value, text), units and status bits named by the shared
// decoding table.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Report.h"
#include "tarvik/HartTypes.h"

namespace tarvik::cli {

struct HartField {
    std::string key, label;
    Json value;
    std::string text;
};

// The fields of `command`'s reply data as the link's WalkHartReply gives them (tarvik/HartFields.h);
// empty for a command it does not decode. `universalRevision`: the device's, where known.
std::vector<HartField> DecodeHartReply(std::uint8_t command, std::span<const std::uint8_t> data,
                                       std::optional<std::uint8_t> universalRevision = std::nullopt);
// The fields of an identity (commands 0, 11, 21).
std::vector<HartField> IdentityFields(const hart::Identity& id);
// "1C:66:030401": the long address as -a accepts it.
std::string FormatLongAddress(const hart::Address& address);
// "66:030401": the long address's second byte (the device type before revision 7) and the device
// ID, as `tarvik scan` prints the library's devices and -a accepts them.
std::string FormatTypeAndId(const hart::Identity& id);
std::string Hex(std::span<const std::uint8_t> bytes); // "0A FF 01"
// Adds the fields to a report.
void AddFields(Report& report, const std::vector<HartField>& fields);
// Whether a field-device status byte flags a condition worth an exit status of its own (device
// malfunction, more status, saturated current, variables out of limits); configuration changed,
// cold start and a fixed current (every multidrop device) are only shown.
bool DeviceStatusAlarming(std::uint8_t status);

} // namespace tarvik::cli
