// Shared state of one `tarvik` run: the global options, and the frame every device command runs
// in (resolve port, baud and address; call; report status and result; set the exit status).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Address.h"
#include "Report.h"

namespace tarvik::cli {

// The address notation is shared with the gateway (tools/common/Address.h).
using tools::FormatAddress;
using tools::HartAddress;
using tools::ParseAddress;
using tools::ParsePort;

// Where an addressed HART command goes.
struct Target {
    int port = 0;
    int baud = 0;
    HartAddress address;
};

class Cli {
public:
    explicit Cli(CLI::App& app);

    // Options shared by every command. -p, -b and -a fall back to TARVIK_PORT, TARVIK_BAUD and
    // TARVIK_ADDRESS; a bad value names where it came from.
    std::string portText;
    std::string baudText;
    std::string addressText;
    bool json = false;
    int exitCode = kExitOk;

    // The port number of -p (any number: the library judges the range). Throws a usage error when
    // -p is missing or not a port.
    int Port() const;
    // The rate of -b, 1200 when none is given. Any whole number passes (the library judges the
    // rate); text that is not one throws a usage error.
    int Baud() const;
    // The address of -a, if one was given; throws a usage error when it is not an address, or
    // when -a was given empty (an unset variable in a script: never taken as "no address").
    std::optional<HartAddress> Address() const;
    // Whether -a stands on the command line (empty or not).
    bool AddressGiven() const;

    // One addressed HART command. `call` performs the export and adds its values to the report when
    // the result says they were written; it returns the result code. The status bytes are shown
    // when the library wrote them (`statusOnSuccess` false: only on ResultErrorReply, as ReadTAG).
    using HartCall = std::function<std::int32_t(Report&, const Target&, std::uint8_t& s1, std::uint8_t& s2)>;
    void Hart(const std::string& command, const HartCall& call, bool statusOnSuccess = true);
    // A HART command that goes to the broadcast address (no -a).
    using BroadcastCall =
        std::function<std::int32_t(Report&, int port, int baud, std::uint8_t& s1, std::uint8_t& s2)>;
    void Broadcast(const std::string& command, const BroadcastCall& call, bool statusOnSuccess = true);
    // One read-out unit command.
    using UnitCall = std::function<std::int32_t(Report&, int port)>;
    void Unit(const std::string& command, const UnitCall& call);

    // Prints the report and records its exit status.
    void Finish(const Report& report);
    // Adds what the tool can tell about a failure beyond the result's general hint: why a port is
    // busy or absent (the port directory, permission, the process holding it); for the read-out
    // unit, a no-reply hint without HART rates and addresses.
    void Explain(Report& report, std::int32_t rc, int port, bool readoutUnit) const;

    // Options shared by a group of commands, alive as long as this Cli: the commands bind their
    // arguments to them (a command's own options live in its callback).
    template <class T>
    T& Options() {
        auto options = std::make_shared<T>();
        kept_.push_back(options);
        return *options;
    }

private:
    std::vector<std::shared_ptr<void>> kept_;
    CLI::Option* addressOption_ = nullptr;
    std::optional<HartAddress> ResolveAddress(Report& report, int port, int rate);
};

// --trace: sets TARVIK_TRACE (a file, or - for stderr) for the library, which reads it at its first
// call. Throws a usage error for an empty target.
void SetTraceTarget(const std::string& target);

// Options every command accepts, for the help of each subcommand.
std::string CommonOptionsHelp();

// Values to write, judged by the shared argument table (Arguments.h) under the argument's name
// there ("setpoint", "gas", "state", "tag"...): a value it refuses is a usage error naming the
// argument and what it may be, and nothing is sent.
float ParseValue(const std::string& text, const std::string& argument);      // a number
int ParseInteger(const std::string& text, const std::string& argument);      // a number or a name
std::string ParseText(const std::string& text, const std::string& argument); // padded packed text

// The eight HART rates.
inline constexpr int kHartRates[] = {1200, 2400, 3600, 4800, 7200, 9600, 19200, 38400};

void AddDigitalCommands(CLI::App& app, Cli& cli);
void AddReadoutCommands(CLI::App& app, Cli& cli);
void AddScanAndWatch(CLI::App& app, Cli& cli);
void AddPortCommands(CLI::App& app, Cli& cli);
void AddHartCommands(CLI::App& app, Cli& cli); // Hart.cpp: any HART device

// True for results after which the library wrote the command's outputs.
bool Written(std::int32_t result);

} // namespace tarvik::cli
