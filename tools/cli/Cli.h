// Shared state of one `tarvik` run: the global options, and the frame every device command runs
// in (resolve port, baud and address; call; report status and result; set the exit status).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Address.h"
#include "Report.h"

namespace tarvik::cli {

// Where an addressed HART command goes.
struct Target {
    int port = 0;
    int baud = 0;
    HartAddress address;
};

class Cli {
public:
    explicit Cli(CLI::App& app);

    // Options shared by every command.
    std::string portText;
    int baud = 1200;
    std::string addressText;
    bool json = false;
    int exitCode = kExitOk;

    // The port number of -p (any number: the library judges the range). Throws a usage error when
    // -p is missing or not a port.
    int Port() const;

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

private:
    std::optional<HartAddress> ResolveAddress(Report& report, int port);
};

void AddDigitalCommands(CLI::App& app, Cli& cli);
void AddReadoutCommands(CLI::App& app, Cli& cli);
void AddScanAndWatch(CLI::App& app, Cli& cli);
void AddPortCommands(CLI::App& app, Cli& cli);

// True for results after which the library wrote the command's outputs.
bool Written(std::int32_t result);

} // namespace tarvik::cli
