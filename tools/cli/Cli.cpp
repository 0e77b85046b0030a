#include "Cli.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#ifdef _WIN32
#include <windows.h>
#endif

#include "Arguments.h"
#include "Facts.h"
#include "Ports.h"
#include "TarvikDLL.h"

namespace tarvik::cli {

bool Written(std::int32_t result) {
    return result == ResultOk || result == ResultDeviceStatus;
}

namespace {

constexpr int kDefaultBaud = 1200;

// A setting from its option, else from its environment variable; `source` names where it came
// from in messages ("-p", "TARVIK_PORT").
struct Given {
    std::string text;
    std::string source;
};

Given OptionOrEnvironment(const std::string& option, const std::string& text, const char* variable) {
    if (!text.empty()) return {text, option};
    if (const char* v = std::getenv(variable); v && *v) return {v, variable};
    return {};
}

std::string RateList() {
    std::string out;
    for (int r : kHartRates)
        out += (out.empty() ? "" : " ") + std::to_string(r);
    return out;
}

// Which family a HART command serves, by its name: "pressure ..." reads pressure devices; the flow
// device's own commands; empty for commands every device answers.
std::string FamilyOfCommand(const std::string& command) {
    if (command.rfind("pressure", 0) == 0) return "pressure";
    for (const char* flowOnly : {"flow", "setpoint", "gas", "vor", "totalizer", "flow-unit"}) {
        const std::string f = flowOnly;
        if (command == f || command.rfind(f + " ", 0) == 0) return "flow";
    }
    return {};
}

// The device type's family from the decoding table ("flow", "pressure"), empty when not known.
std::string FamilyOfType(int deviceType) {
    for (const auto& c : tools::Facts::Get().Codes("device_families"))
        if (c.code == deviceType) return c.name;
    return {};
}

} // namespace

std::string CommonOptionsHelp() {
    return "Options of every command (before or after the command name):\n"
           "  -p,--port PORT      serial port: 3, COM3 or \\\\.\\COM3 (or $TARVIK_PORT)\n"
           "  -b,--baud RATE      HART baud rate: " +
           RateList() +
           "; default 1200 (or $TARVIK_BAUD)\n"
           "  -a,--address ADDR   HART address TT:IIIIII as tarvik scan prints it (or $TARVIK_ADDRESS);\n"
           "                      without it a HART command asks the device by broadcast (tarvik hart:\n"
           "                      polling address 0); given empty, it is refused\n"
           "  --json              print one JSON object per result (usage errors too)\n"
           "  --trace FILE        log every exchange on the wire to FILE, or - for stderr\n"
           "                      (sets TARVIK_TRACE for the library)\n";
}

void SetTraceTarget(const std::string& target) {
    if (target.empty()) throw CLI::ValidationError("give a file, or - for stderr"); // CLI11 adds "--trace: "
#ifdef _WIN32
    // The C runtime's copy for getenv, and the process environment for anything that reads that.
    _putenv_s("TARVIK_TRACE", target.c_str());
    SetEnvironmentVariableA("TARVIK_TRACE", target.c_str());
#else
    ::setenv("TARVIK_TRACE", target.c_str(), 1);
#endif
}

float ParseValue(const std::string& text, const std::string& argument) {
    const auto c = tools::Arguments::Get().ParseNumber(argument, text);
    if (!c.Ok()) throw CLI::ValidationError(c.reason);
    return *c.value;
}

int ParseInteger(const std::string& text, const std::string& argument) {
    const auto c = tools::Arguments::Get().ParseInteger(argument, text);
    if (!c.Ok()) throw CLI::ValidationError(c.reason);
    return *c.value;
}

std::string ParseText(const std::string& text, const std::string& argument) {
    const auto c = tools::Arguments::Get().CheckText(argument, text);
    if (!c.Ok()) throw CLI::ValidationError(c.reason);
    return *c.value;
}

Cli::Cli(CLI::App& app) {
    app.add_option("-p,--port", portText, "serial port: 3 or COM3 (or $TARVIK_PORT)");
    app.add_option("-b,--baud", baudText,
                   "HART baud rate: " + RateList() + " (default 1200, or $TARVIK_BAUD)")
        ->type_name("RATE");
    addressOption_ = app.add_option(
        "-a,--address", addressText,
        "HART device address TT:IIIIII as tarvik scan prints it (or $TARVIK_ADDRESS; default: ask "
        "the device by broadcast)");
    app.add_flag("--json", json, "print one JSON object per result");
}

int Cli::Port() const {
    const Given g = OptionOrEnvironment("--port", portText, "TARVIK_PORT");
    if (g.text.empty())
        throw CLI::ValidationError("--port", "which port? give -p N (tarvik ports lists them)");
    const auto port = ParsePort(g.text);
    if (!port)
        throw CLI::ValidationError(g.source, "'" + g.text + "' is not a port (3, COM3 or \\\\.\\COM3)");
    return *port;
}

int Cli::Baud() const {
    const Given g = OptionOrEnvironment("--baud", baudText, "TARVIK_BAUD");
    if (g.text.empty()) return kDefaultBaud;
    long long rate = 0;
    const char* end = g.text.data() + g.text.size();
    const auto [ptr, ec] = std::from_chars(g.text.data(), end, rate);
    if (ec == std::errc::result_out_of_range ||
        (ec == std::errc() && ptr == end &&
         (rate < std::numeric_limits<int>::min() || rate > std::numeric_limits<int>::max())))
        throw CLI::ValidationError(g.source,
                                   "'" + g.text + "' is out of range; HART rates are " + RateList());
    if (ec != std::errc() || ptr != end)
        throw CLI::ValidationError(g.source,
                                   "'" + g.text + "' is not a baud rate; HART rates are " + RateList());
    return static_cast<int>(rate);
}

bool Cli::AddressGiven() const {
    return addressOption_ && addressOption_->count() > 0;
}

std::optional<HartAddress> Cli::Address() const {
    if (AddressGiven() && addressText.empty())
        throw CLI::ValidationError("--address", "empty: give an address like 64:010203 (an unset variable?)");
    const Given g = OptionOrEnvironment("--address", addressText, "TARVIK_ADDRESS");
    if (g.text.empty()) return std::nullopt;
    const auto a = ParseAddress(g.text);
    if (!a) throw CLI::ValidationError(g.source, "'" + g.text + "' is not an address like 64:010203");
    return a;
}

void Cli::Finish(const Report& report) {
    exitCode = CombineExit(exitCode, report.Emit(json, stdout, stderr));
}

void Cli::Explain(Report& report, std::int32_t rc, int port, bool readoutUnit) const {
    if (rc == ResultPortBusy || rc == ResultPortAbsent) {
        const PortDiagnosis d = DiagnosePort(port, rc);
        if (!d.kind.empty()) report.Diagnosis(d.kind, d.text, d.holders);
    } else if (rc == ResultNoReply && readoutUnit) {
        report.Hint("check the port (tarvik ports), the cable and the unit's power; the unit always talks "
                    "at 9600 8N1 and answers within 500 ms");
    }
}

std::optional<HartAddress> Cli::ResolveAddress(Report& report, int port, int rate) {
    if (auto a = Address()) return a;
    // No address given: the device on a point-to-point line tells its own by broadcast.
    std::uint8_t hi = 0, mid = 0, lo = 0, type = 0, s1 = 0, s2 = 0;
    const std::int32_t rc = ReadDeviceID(0, port, rate, nullptr, 0, &hi, &mid, &lo, &type, &s1, &s2);
    if (rc != ResultOk) {
        report.Context("stage", "identify (no --address given)");
        if (rc == ResultErrorReply) report.Status(s1, s2);
        report.Result(rc);
        Explain(report, rc, port, false);
        return std::nullopt;
    }
    return HartAddress{type, {hi, mid, lo}};
}

void Cli::Hart(const std::string& command, const HartCall& call, bool statusOnSuccess) {
    Report report(command);
    Target t{Port(), Baud(), {}};
    report.Context("port", t.port);
    report.Context("baud", t.baud);
    const auto address = ResolveAddress(report, t.port, t.baud);
    if (!address) {
        Finish(report);
        return;
    }
    t.address = *address;
    report.Context("address", FormatAddress(t.address));
    const std::string wanted = FamilyOfCommand(command);
    const std::string actual = FamilyOfType(t.address.deviceType);
    if (!wanted.empty() && !actual.empty() && wanted != actual)
        report.Warning(fmt::format("device type 0x{:02X} is a {} device, not a {} device: '{}' may be "
                                   "refused or read something else",
                                   t.address.deviceType, actual, wanted, command));
    std::uint8_t s1 = 0, s2 = 0;
    const std::int32_t rc = call(report, t, s1, s2);
    if ((statusOnSuccess && Written(rc)) || rc == ResultErrorReply || rc == ResultEchoMismatch)
        report.Status(s1, s2);
    report.Result(rc);
    Explain(report, rc, t.port, false);
    Finish(report);
}

void Cli::Broadcast(const std::string& command, const BroadcastCall& call, bool statusOnSuccess) {
    Report report(command);
    const int port = Port();
    const int rate = Baud();
    report.Context("port", port);
    report.Context("baud", rate);
    std::uint8_t s1 = 0, s2 = 0;
    const std::int32_t rc = call(report, port, rate, s1, s2);
    if ((statusOnSuccess && Written(rc)) || rc == ResultErrorReply) report.Status(s1, s2);
    report.Result(rc);
    Explain(report, rc, port, false);
    Finish(report);
}

void Cli::Unit(const std::string& command, const UnitCall& call) {
    Report report(command);
    const int port = Port();
    report.Context("port", port);
    const std::int32_t rc = call(report, port);
    report.Result(rc);
    Explain(report, rc, port, true);
    Finish(report);
}

void AddPortCommands(CLI::App& app, Cli& cli) {
    auto* ports = app.add_subcommand("ports", "list the serial ports the library can use");
    ports->footer("On Linux the ports are the COM<n> entries of $TARVIK_PORT_DIR (links to terminals),\n"
                  "else /dev/ttyS<n-1>. Example:\n  TARVIK_PORT_DIR=/tmp/ports tarvik ports");
    ports->callback([&cli] {
        const auto list = ListPorts();
        const std::string problem = PortDirProblem();
        if (cli.json) {
            Json j = {{"command", "ports"}, {"source", PortSource()}, {"ports", Json::array()}};
            for (const auto& p : list)
                j["ports"].push_back(
                    {{"port", p.number}, {"name", p.name}, {"path", p.path}, {"note", p.note}});
            if (!problem.empty()) j["problem"] = problem;
            std::printf("%s\n", j.dump().c_str());
        } else {
            std::printf("ports from %s:\n", PortSource().c_str());
            if (list.empty()) std::printf("  (none)\n");
            for (const auto& p : list)
                std::printf("  %-6s %s%s\n", p.name.c_str(), p.path.c_str(),
                            p.note.empty() ? "" : ("   (" + p.note + ")").c_str());
            if (!problem.empty()) std::fprintf(stderr, "error: %s\n", problem.c_str());
        }
        cli.exitCode = list.empty() ? kExitFailed : kExitOk;
    });

    auto* explain = app.add_subcommand("explain", "explain a result code of the library");
    auto code = std::make_shared<std::int32_t>(0);
    explain->add_option("code", *code, "result code, e.g. -18")->required()->allow_extra_args(false);
    explain->footer("Example:\n  tarvik explain -- -18");
    explain->callback([&cli, o = code] {
        const std::int32_t code = *o;
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
