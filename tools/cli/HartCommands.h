// What every `tarvik hart` command shares: the options that pick a device and shape the link, the
// open line with the device found on it, and the judgement of a reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Address.h"
#include "Cli.h"
#include "Report.h"
#include "tarvik/HartMaster.h"

namespace tarvik::cli {

struct HartOptions {
    int polling = -1;
    bool secondary = false;
    int retries = 2;
    int timeoutMs = 0;
};

// The outcome of a reply as a result code: a reply with a response code other than success is the
// device refusing (ResultErrorReply); a success whose status flags a condition, ResultDeviceStatus.
// `show`: add the status bytes to the report (a command of several replies shows them once, and
// those of a failure).
std::int32_t Judge(Report& report, const link::HartReply& reply, bool show = true);

class HartCommands {
public:
    HartCommands(Cli& cli, HartOptions& options) : cli_(cli), options_(options) {}

    // Opens the line and finds the device; on failure the report holds why. A device option that
    // names no device is a usage error before the line is opened.
    bool Start(Report& report, bool needDevice = true);
    // The device's address when the options give it without asking the line (--polling-address,
    // -a MM:TT:IIIIII, none); empty for -a TT:IIIIII, which is looked for.
    std::optional<hart::Address> KnownAddress() const { return Choose().address; }

    link::HartMaster& Master() { return master_; }
    const hart::Address& Device() const { return device_; }
    hart::Master Role() const { return options_.secondary ? hart::Master::Secondary : hart::Master::Primary; }

    // The result, with what the tool can tell about a port that cannot be used.
    void Finish(Report& report, std::int32_t rc);

private:
    // The device the options name: --polling-address N, else -a (else $TARVIK_ADDRESS) as a long
    // address or as TT:IIIIII to look for, else polling address 0.
    struct Target {
        std::optional<hart::Address> address; // known without asking the line
        tools::HartAddress wanted;            // TT:IIIIII, looked for when `address` is empty
        std::string text;
    };

    Target Choose() const;
    bool Resolve(Report& report, const Target& target);

    Cli& cli_;
    HartOptions& options_;
    link::HartMaster master_;
    hart::Address device_;
    int port_ = 0;
};

// HartConfigure.cpp: typed reads and writes of a transmitter's configuration.
void AddHartConfigureCommands(CLI::App& hart, Cli& cli, HartOptions& options);

} // namespace tarvik::cli
