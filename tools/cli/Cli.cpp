#include "Cli.h"

#include <fmt/format.h>

#include "Facts.h"
#include "Ports.h"
#include "TarvikDLL.h"

namespace tarvik::cli {

bool Written(std::int32_t result) {
    return result == ResultOk || result == ResultDeviceStatus;
}

Cli::Cli(CLI::App& app) {
    app.add_option("-p,--port", portText, "serial port: 3 or COM3")->envname("TARVIK_PORT");
    app.add_option("-b,--baud", baud, "HART baud rate: 1200 2400 3600 4800 7200 9600 19200 38400")
        ->envname("TARVIK_BAUD")
        ->default_val(1200);
    app.add_option(
           "-a,--address", addressText,
           "HART device address TT:IIIIII as tarvik scan prints it (default: ask the device by broadcast)")
        ->envname("TARVIK_ADDRESS");
    app.add_flag("--json", json, "print one JSON object per result");
}

int Cli::Port() const {
    if (portText.empty())
        throw CLI::ValidationError("--port", "which port? give -p N (tarvik ports lists them)");
    const auto port = ParsePort(portText);
    if (!port) throw CLI::ValidationError("--port", "'" + portText + "' is not a port (3 or COM3)");
    return *port;
}

void Cli::Finish(const Report& report) {
    exitCode = CombineExit(exitCode, report.Emit(json, stdout, stderr));
}

std::optional<HartAddress> Cli::ResolveAddress(Report& report, int port) {
    if (!addressText.empty()) {
        const auto a = ParseAddress(addressText);
        if (!a)
            throw CLI::ValidationError("--address", "'" + addressText + "' is not an address like 64:010203");
        return a;
    }
    // No address given: the device on a point-to-point line tells its own by broadcast.
    std::uint8_t hi = 0, mid = 0, lo = 0, type = 0, s1 = 0, s2 = 0;
    const std::int32_t rc = ReadDeviceID(0, port, baud, nullptr, 0, &hi, &mid, &lo, &type, &s1, &s2);
    if (rc != ResultOk) {
        report.Context("stage", "identify (no --address given)");
        if (rc == ResultErrorReply) report.Status(s1, s2);
        report.Result(rc);
        return std::nullopt;
    }
    return HartAddress{type, {hi, mid, lo}};
}

void Cli::Hart(const std::string& command, const HartCall& call, bool statusOnSuccess) {
    Report report(command);
    Target t{Port(), baud, {}};
    report.Context("port", t.port);
    report.Context("baud", t.baud);
    const auto address = ResolveAddress(report, t.port);
    if (!address) {
        if (ExitCodeFor(report.ResultCode()) != kExitOk && report.ResultCode() == ResultPortBusy)
            report.Context("holders", PortHolders(t.port));
        Finish(report);
        return;
    }
    t.address = *address;
    report.Context("address", FormatAddress(t.address));
    std::uint8_t s1 = 0, s2 = 0;
    const std::int32_t rc = call(report, t, s1, s2);
    if ((statusOnSuccess && Written(rc)) || rc == ResultErrorReply || rc == ResultEchoMismatch)
        report.Status(s1, s2);
    if (rc == ResultPortBusy) report.Context("holders", PortHolders(t.port));
    report.Result(rc);
    Finish(report);
}

void Cli::Broadcast(const std::string& command, const BroadcastCall& call, bool statusOnSuccess) {
    Report report(command);
    const int port = Port();
    report.Context("port", port);
    report.Context("baud", baud);
    std::uint8_t s1 = 0, s2 = 0;
    const std::int32_t rc = call(report, port, baud, s1, s2);
    if ((statusOnSuccess && Written(rc)) || rc == ResultErrorReply) report.Status(s1, s2);
    if (rc == ResultPortBusy) report.Context("holders", PortHolders(port));
    report.Result(rc);
    Finish(report);
}

void Cli::Unit(const std::string& command, const UnitCall& call) {
    Report report(command);
    const int port = Port();
    report.Context("port", port);
    const std::int32_t rc = call(report, port);
    if (rc == ResultPortBusy) report.Context("holders", PortHolders(port));
    report.Result(rc);
    Finish(report);
}

void AddPortCommands(CLI::App& app, Cli& cli) {
    auto* ports = app.add_subcommand("ports", "list the serial ports the library can use");
    ports->footer("On Linux the ports are the COM<n> entries of $TARVIK_PORT_DIR (links to terminals),\n"
                  "else /dev/ttyS<n-1>. Example:\n  TARVIK_PORT_DIR=/tmp/ports tarvik ports");
    ports->callback([&cli] {
        const auto list = ListPorts();
        if (cli.json) {
            Json j = {{"command", "ports"}, {"source", PortSource()}, {"ports", Json::array()}};
            for (const auto& p : list)
                j["ports"].push_back({{"port", p.number}, {"name", p.name}, {"path", p.path}});
            std::printf("%s\n", j.dump().c_str());
        } else {
            std::printf("ports from %s:\n", PortSource().c_str());
            if (list.empty()) std::printf("  (none)\n");
            for (const auto& p : list)
                std::printf("  %-6s %s\n", p.name.c_str(), p.path.c_str());
        }
        cli.exitCode = list.empty() ? kExitFailed : kExitOk;
    });

    auto* explain = app.add_subcommand("explain", "explain a result code of the library");
    static std::int32_t code = 0;
    explain->add_option("code", code, "result code, e.g. -18")->required()->allow_extra_args(false);
    explain->footer("Example:\n  tarvik explain -- -18");
    explain->callback([&cli] {
        Report report("explain");
        report.Result(code);
        if (cli.json) {
            std::printf("%s\n", report.AsJson().dump().c_str());
        } else if (const auto f = tools::Facts::Get().Result(code)) {
            std::printf("%s (%d): %s\n", f->name.c_str(), f->code, f->reason.c_str());
            if (!f->hint.empty()) std::printf("hint: %s\n", f->hint.c_str());
        } else {
            std::printf("%d is not a result code of the library\n", code);
        }
        cli.exitCode = tools::Facts::Get().Result(code) ? kExitOk : kExitFailed;
    });
}

} // namespace tarvik::cli
