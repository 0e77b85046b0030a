// The typed configuration commands of `tarvik hart` (HartConfigure.cpp, HartOutput.cpp): one way
// to write a setting safely. Arguments are judged by the shared argument table before anything
// else; --dry-run prints the frame and sends nothing; a configuration write first asks whether the
// device is write-protected (command 15) and sends nothing when it is; a write the device took
// shows its reply, its response code in words, what the device now holds (read back) and the
// configuration-changed flag.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "HartCommands.h"
#include "hart/Configure.h"

namespace tarvik::cli {

struct SafetyFlags {
    bool dryRun = false;
    bool yes = false;
    std::string expect; // --expect: the device that must answer (MM:TT:IIIIII or TT:IIIIII)
};

struct ConfigWrite {
    std::string name; // "hart set-damping"
    std::uint8_t command = 0;
    hart::RequestData data;
    bool configuration = true; // a write-protected device refuses it: asked first
    // Reads back what the device now holds and adds it to the report under "now" (may be empty).
    std::function<std::int32_t(HartCommands&, Report&)> readBack;
};

// Adds the options every write takes (--dry-run, --expect).
void AddDryRun(CLI::App& command, SafetyFlags& flags);
// Adds --yes with its help.
void AddYes(CLI::App& command, SafetyFlags& flags, const std::string& help);

// When --dry-run: prints the frames of `writes` for the device the options name and returns true
// (nothing sent, the line not even opened).
bool DryRun(Cli& cli, HartOptions& options, const std::string& name, std::span<const ConfigWrite> writes);
// With --expect: whether another device now answers at the address (command 0 asked); adds the
// refusal to the report. Throws a usage error for an --expect that is no address.
bool AnotherDevice(HartCommands& c, Report& report, const std::string& expect);
void CheckExpect(const std::string& expect);
// Whether the device is write-protected (command 15 says so); adds the refusal to the report.
bool WriteProtected(HartCommands& c, Report& report);
// Sends one write and shows its reply and response code in words. The result: ResultOk when the
// device took it (a warning code too: the write happened), else the refusal's.
std::int32_t SendWrite(HartCommands& c, Report& report, const ConfigWrite& w, link::HartReply& reply);
// The whole of one write: dry run, line, write protection, write, read-back, changed flag.
void RunConfigWrite(Cli& cli, HartOptions& options, const SafetyFlags& flags, const ConfigWrite& w);
// Adds the configuration-changed flag of a reply's device status.
void ShowConfigChanged(Report& report, std::uint8_t deviceStatus);

// Read-backs: the fields of one read command's reply under "now".
std::int32_t ReadBackFields(HartCommands& c, Report& report, std::uint8_t command,
                            std::span<const std::uint8_t> data = {});

// HartOutput.cpp: the loop test, trims, device actions and burst set-up.
void AddOutputCommands(CLI::App& hart, Cli& cli, HartOptions& options);

} // namespace tarvik::cli
