#include "HartCommands.h"

#include <fmt/format.h>

#include <cstdlib>

#include "HartDecode.h"
#include "hart/Status.h"

namespace tarvik::cli {

namespace h = tarvik::hart;
using link::HartReply;

namespace {
constexpr int kSearchLast = 15; // where -a TT:IIIIII is looked for
} // namespace

// The outcome of a reply as a result code: a reply with a response code other than success is the
// device refusing (ResultErrorReply); a success whose status flags a condition, ResultDeviceStatus.
// `show`: add the status bytes to the report (a command of several replies shows them once, and
// those of a failure).
std::int32_t Judge(Report& report, const HartReply& reply, bool show) {
    if (!reply.Replied()) return reply.result;
    if (show || reply.responseCode != h::kRcSuccess) report.Status(reply.responseCode, reply.deviceStatus);
    if (reply.responseCode != h::kRcSuccess) return ResultErrorReply;
    return DeviceStatusAlarming(reply.deviceStatus) ? ResultDeviceStatus : ResultOk;
}

bool HartCommands::Start(Report& report, bool needDevice) {
    const Target target = needDevice ? Choose() : Target{};
    port_ = cli_.Port();
    const int baud = cli_.Baud();
    report.Context("port", port_);
    report.Context("baud", baud);
    link::MasterOptions o;
    o.master = options_.secondary ? h::Master::Secondary : h::Master::Primary;
    o.retries = options_.retries;
    o.timeoutMs = options_.timeoutMs;
    if (const std::int32_t rc = master_.Open(port_, baud, o); rc != ResultOk) {
        report.Result(rc); // Finish explains it
        return false;
    }
    return !needDevice || Resolve(report, target);
}

void HartCommands::Finish(Report& report, std::int32_t rc) {
    report.Result(rc);
    cli_.Explain(report, rc, port_, false);
    cli_.Finish(report);
}

HartCommands::Target HartCommands::Choose() const {
    const bool given = cli_.AddressGiven();
    if (given && cli_.addressText.empty())
        throw CLI::ValidationError("--address", "empty (an unset variable?): give MM:TT:IIIIII, TT:IIIIII or "
                                                "--polling-address N");
    if (given && options_.polling >= 0)
        throw CLI::ValidationError("--address", "give -a or --polling-address, not both");
    if (options_.polling >= 0)
        return {h::Address::Polling(static_cast<std::uint8_t>(options_.polling)), {}, ""};
    const char* env = std::getenv("TARVIK_ADDRESS");
    const std::string text = given ? cli_.addressText : (env ? env : "");
    const std::string source = given ? "--address" : "TARVIK_ADDRESS";
    if (text.empty()) return {h::Address::Polling(0), {}, ""};
    const tools::LongAddressText longForm = tools::ParseLongAddress(text);
    if (longForm.bytes) return {h::Address::Long(*longForm.bytes), {}, text};
    if (longForm.shaped) throw CLI::ValidationError(source, "'" + text + "': " + longForm.reason);
    if (const auto a = tools::ParseAddress(text)) return {std::nullopt, *a, text};
    throw CLI::ValidationError(source, "'" + text +
                                           "' is no device address: give MM:TT:IIIIII (the long "
                                           "address hart scan prints), TT:IIIIII or --polling-address N");
}

bool HartCommands::Resolve(Report& report, const Target& target) {
    if (target.address) {
        device_ = *target.address;
        if (device_.isLong)
            report.Context("address", FormatLongAddress(device_));
        else
            report.Context("polling_address", device_.polling);
        return true;
    }
    const tools::HartAddress& wanted = target.wanted;
    const auto found = master_.Scan(0, kSearchLast);
    for (const link::FoundDevice& d : found)
        if (d.identity.AddressType() == wanted.deviceType && d.identity.deviceId == wanted.id) {
            device_ = d.identity.LongAddress();
            report.Context("address", FormatLongAddress(device_));
            return true;
        }
    const std::string& text = target.text;
    report.Context("stage", fmt::format("look for {} at polling addresses 0..{}", text, kSearchLast));
    report.Result(ResultNoReply);
    report.Hint("no device with that address answered; tarvik hart scan lists the devices on the line");
    return false;
}

} // namespace tarvik::cli
