// tarvik: every export of the Tarvik library from the command line, with decoded output.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "ChartCommand.h"
#include "Cli.h"

int main(int argc, char** argv) {
    CLI::App app{"tarvik: talk to HART flow and pressure devices and to the model 0731 read-out unit\n"
                 "through the Tarvik library, and read the answers as engineering values.",
                 "tarvik"};
    app.fallthrough(); // global options may follow the subcommand
    app.require_subcommand(1);
    app.footer("Start with:\n"
               "  tarvik ports                              the serial ports the library can use\n"
               "  tarvik scan                               find HART devices, their rates and addresses\n"
               "  tarvik flow -p 3 -b 19200 -a 64:010203    read the flow of the device scan found\n"
               "  tarvik unit test -p 5                     check a 0731 read-out unit\n"
               "Every command takes --json. -p, -b and -a may also come from TARVIK_PORT, TARVIK_BAUD,\n"
               "TARVIK_ADDRESS; without -a a HART command asks the device for its address first.\n"
               "Exit status: 0 success, 3 values read but the device reports a condition, 1 the call\n"
               "failed (the message names the result code, its reason and a hint), 2 usage error.\n"
               "tarvik <command> --help shows each command's options and examples.");
    tarvik::cli::Cli cli(app);
    tarvik::cli::AddPortCommands(app, cli);
    tarvik::cli::AddScanAndWatch(app, cli);
    tarvik::cli::AddDigitalCommands(app, cli);
    tarvik::cli::AddReadoutCommands(app, cli);
    tarvik::cli::AddChartCommand(app, cli);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return tarvik::cli::kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik: %s\n", e.what());
        return tarvik::cli::kExitFailed;
    }
    return cli.exitCode;
}
