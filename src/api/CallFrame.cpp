#include "CallFrame.h"

#include <memory>
#include <vector>

namespace tarvik::api {

using namespace comport;

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
    TBaudRate code;
    std::int32_t delayMs; // round((583 / baud + 0.1) * 1000)
};

constexpr std::array<BaudEntry, 8> kBaudTable = {{{1200, br1200, 586},
                                                  {2400, br2400, 343},
                                                  {3600, br3600, 262},
                                                  {4800, br4800, 221},
                                                  {7200, br7200, 181},
                                                  {9600, br9600, 161},
                                                  {19200, br19200, 130},
                                                  {38400, br38400, 115}}};

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

std::optional<TBaudRate> BaudCode(std::int32_t baud) {
    const BaudEntry* e = FindBaud(baud);
    return e ? std::optional(e->code) : std::nullopt;
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

std::int32_t CheckPort(const std::string& device) {
    bool found = false;
    {
        std::vector<std::string> ports;
        EnumComPorts(ports);
        for (const auto& entry : ports)
            if (PortNameMatches(entry, device)) found = true;
    }
    if (!found) return ResultPortAbsent;
    try {
        TComPort trial;
        trial.SetDeviceName(device);
        trial.Open();
        trial.Close();
    } catch (const EComError&) {
        return ResultPortBusy;
    }
    return 0;
}

namespace {

// A request port with the family's line settings, set in the order the cycle uses.
std::unique_ptr<TComPort> OpenRequestPort(const std::string& device, TParity parity, TBaudRate baud) {
    auto port = std::make_unique<TComPort>();
    port->SetParity(parity);
    port->SetBaudRate(baud);
    port->SetDeviceName(device);
    port->SetStopBits(sb1);
    port->SetDataBits(db8);
    port->Open();
    return port;
}

// Any failure of the request port after the check passed counts as the port being taken.
template <class F>
std::int32_t OnRequestPort(F&& body) {
    try {
        return body();
    } catch (...) {
        return ResultPortBusy;
    }
}

} // namespace

std::int32_t DigitalExchange(const std::string& device, TBaudRate baud, std::int32_t delayMs,
                             std::span<const std::uint8_t> request, DigitalReply& reply) {
    return OnRequestPort([&]() -> std::int32_t {
        // The text outlives the port: an overlapped write may still read it until Close.
        const std::string text(request.begin(), request.end());
        auto port = OpenRequestPort(device, paOdd, baud);
        port->WriteStr(text);
        SleepMs(delayMs);
        const std::int32_t n = port->InputCount();
        if (n == 0) return ResultNoReply;
        for (std::int32_t i = 0; i < n; ++i)
            reply.Collect(port->ReadChar());
        return 0;
    });
}

std::int32_t ReadoutExchange(const std::string& device, const std::string& line, std::int32_t waitMs,
                             std::string& reply) {
    return OnRequestPort([&]() -> std::int32_t {
        auto port = OpenRequestPort(device, paNone, br9600);
        port->WriteStr(line);
        SleepMs(waitMs);
        if (port->InputCount() == 0) return ResultNoReply;
        port->ReadStr(reply);
        return 0;
    });
}

} // namespace tarvik::api
