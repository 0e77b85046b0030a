#include "CallFrame.h"

#include <array>

namespace tarvik::api {

namespace {

// The fixed 40-entry table of device names.
const std::array<std::string, kPortCount>& DeviceNames() {
    static const auto table = [] {
        std::array<std::string, kPortCount> t;
        for (std::int32_t p = 1; p <= kPortCount; ++p)
            t[static_cast<std::size_t>(p - 1)] = (p < 10 ? "COM" : "\\\\.\\COM") + std::to_string(p);
        return t;
    }();
    return table;
}

struct BaudEntry {
    std::int32_t baud;
    std::int32_t delayMs; // round((583 / baud + 0.1) * 1000)
};

constexpr std::array<BaudEntry, 8> kBaudTable = {{{1200, 586},
                                                  {2400, 343},
                                                  {3600, 262},
                                                  {4800, 221},
                                                  {7200, 181},
                                                  {9600, 161},
                                                  {19200, 130},
                                                  {38400, 115}}};

const BaudEntry* FindBaud(std::int32_t baud) {
    for (const auto& e : kBaudTable)
        if (e.baud == baud) return &e;
    return nullptr;
}

constexpr const char* kDevicePrefix = "\\\\.\\";

} // namespace

std::optional<std::string> DeviceName(std::int32_t port) {
    if (port < 1 || port > kPortCount) return std::nullopt;
    return DeviceNames()[static_cast<std::size_t>(port - 1)];
}

bool AcceptedRate(std::int32_t baud) {
    return FindBaud(baud) != nullptr;
}

std::int32_t ResponseDelayMs(std::int32_t baud) {
    const BaudEntry* e = FindBaud(baud);
    return e ? e->delayMs : 0;
}

bool PortNameMatches(const std::string& entry, const std::string& device) {
    if (entry == device) return true;
    const std::string prefix = kDevicePrefix;
    return device.compare(0, prefix.size(), prefix) == 0 && entry == device.substr(prefix.size());
}

} // namespace tarvik::api
