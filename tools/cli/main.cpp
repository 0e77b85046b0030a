// tarvik: every export of the Tarvik library from the command line, with decoded output.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ChartCommand.h"
#include "Cli.h"
#include "OutputFile.h"
#include "Version.h"

namespace {

using tarvik::cli::Json;

// Global options that take a value in the next argument.
bool TakesValue(const std::string& arg) {
    return arg == "-p" || arg == "--port" || arg == "-b" || arg == "--baud" || arg == "-a" ||
           arg == "--address" || arg == "--trace";
}

std::vector<CLI::App*> Subcommands(CLI::App& app) {
    return app.get_subcommands([](CLI::App*) { return true; });
}

CLI::App* FindSubcommand(CLI::App& app, const std::string& name) {
    for (CLI::App* sub : Subcommands(app))
        if (sub->get_name() == name) return sub;
    return nullptr;
}

// The command words before the first argument of a command: "gas frobnicate" when `gas` has no
// subcommand `frobnicate`. Empty when every word names a command (CLI11 reports the rest).
struct UnknownCommand {
    std::string path;  // the known part: "" or "gas"
    std::string word;  // the unknown word
    std::string known; // the commands at that place: "data, name, select, list"
};
std::optional<UnknownCommand> FindUnknownCommand(CLI::App& app, int argc, char** argv) {
    CLI::App* current = &app;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") return std::nullopt;
        if (arg.size() > 1 && arg[0] == '-') {
            if (TakesValue(arg)) ++i;
            continue;
        }
        const auto subs = Subcommands(*current);
        if (subs.empty()) return std::nullopt; // a command's own arguments start here
        if (CLI::App* sub = FindSubcommand(*current, arg)) {
            current = sub;
            path += (path.empty() ? "" : " ") + arg;
            continue;
        }
        std::string known;
        for (CLI::App* sub : subs)
            known += (known.empty() ? "" : ", ") + sub->get_name();
        return UnknownCommand{path, arg, known};
    }
    return std::nullopt;
}

bool HasArgument(int argc, char** argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], wanted) == 0) return true;
    }
    return false;
}

// The first argument that looks like a negative number ("-5", "-.5", "-inf", "-nan").
std::optional<std::string> NegativeNumber(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") break;
        if (a.size() < 2 || a[0] != '-') continue;
        std::string rest = a.substr(1);
        for (char& c : rest)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (std::isdigit(static_cast<unsigned char>(rest[0])) || (rest[0] == '.' && rest.size() > 1) ||
            rest == "inf" || rest == "infinity" || rest == "nan")
            return a;
    }
    return std::nullopt;
}

// The subcommands that were recognised, as one name: "setpoint set".
std::string ParsedCommand(CLI::App& app) {
    std::string path;
    for (CLI::App* current = &app;;) {
        const auto parsed = current->get_subcommands();
        if (parsed.empty()) return path;
        current = parsed.front();
        path += (path.empty() ? "" : " ") + current->get_name();
    }
}

int UsageError(const std::string& command, const std::string& message, bool json) {
    std::fprintf(stderr, "tarvik: %s\n", message.c_str());
    if (json)
        std::printf("%s\n", Json{{"command", command.empty() ? Json(nullptr) : Json(command)},
                                 {"error", {{"kind", "usage"}, {"message", message}}},
                                 {"exit", tarvik::cli::kExitUsage}}
                                .dump()
                                .c_str());
    return tarvik::cli::kExitUsage;
}

// Each subcommand's help lists the options every command accepts.
void AddCommonHelp(CLI::App& app) {
    for (CLI::App* sub : Subcommands(app)) {
        const std::string footer = sub->get_footer();
        sub->footer(footer + (footer.empty() ? "" : "\n\n") + tarvik::cli::CommonOptionsHelp());
        AddCommonHelp(*sub);
    }
}

void PrintVersion(bool json) {
    const auto lib = tarvik::cli::FindLoadedLibrary();
    if (json) {
        std::printf("%s\n", Json{{"command", "version"},
                                 {"tool", tarvik::cli::ToolVersion()},
                                 {"library", {{"path", lib.path}, {"version", lib.version}}}}
                                .dump()
                                .c_str());
        return;
    }
    std::printf("tarvik %s\n", tarvik::cli::ToolVersion().c_str());
    if (lib.path.empty())
        std::printf("library: linked into the program (version %s)\n", lib.version.c_str());
    else
        std::printf("library: %s (version %s)\n", lib.path.c_str(),
                    lib.version.empty() ? "unknown" : lib.version.c_str());
}

// The exit status once the answer has reached standard output: a full disk or a closed pipe
// is a failure, not a success with nothing written.
int OutputWritten(int exitCode) {
    std::string why;
    if (tarvik::tools::StdoutWritten(why)) return exitCode;
    std::fprintf(stderr, "tarvik: cannot write to standard output: %s\n", why.c_str());
    return exitCode == tarvik::cli::kExitOk || exitCode == tarvik::cli::kExitDeviceStatus
               ? tarvik::cli::kExitFailed
               : exitCode;
}

} // namespace

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
               "--trace FILE (or TARVIK_TRACE=FILE) logs every exchange on the wire: the bytes sent and\n"
               "received with their times; --trace - writes it to stderr.\n"
               "Exit status: 0 success, 3 values read but the device reports a condition, 1 the call\n"
               "failed (the message names the result code, its reason and a hint) or the output could\n"
               "not be written, 2 usage error (also a port or rate out of the library's range).\n"
               "tarvik <command> --help shows each command's options and examples.");
    tarvik::cli::Cli cli(app);
    app.add_option("--trace", "log every exchange on the wire to FILE, or - for stderr (sets TARVIK_TRACE)")
        ->type_name("FILE")
        ->each(tarvik::cli::SetTraceTarget);
    bool version = false; // handled before parsing: `tarvik --version` needs no command
    app.add_flag("--version", version, "print the version of the tool and of the library it loaded");
    tarvik::cli::AddPortCommands(app, cli);
    tarvik::cli::AddScanAndWatch(app, cli);
    tarvik::cli::AddDigitalCommands(app, cli);
    tarvik::cli::AddReadoutCommands(app, cli);
    tarvik::cli::AddHartCommands(app, cli);
    tarvik::cli::AddChartCommand(app, cli);
    AddCommonHelp(app);

    const bool json = HasArgument(argc, argv, "--json");
    if (HasArgument(argc, argv, "--version") && !HasArgument(argc, argv, "--help") &&
        !HasArgument(argc, argv, "-h")) {
        PrintVersion(json);
        return OutputWritten(tarvik::cli::kExitOk);
    }
    if (const auto unknown = FindUnknownCommand(app, argc, argv)) {
        const std::string name = unknown->path.empty() ? unknown->word : unknown->path + " " + unknown->word;
        return UsageError(unknown->path,
                          "unknown command '" + name + "'; the commands " +
                              (unknown->path.empty() ? "" : "of " + unknown->path + " ") + "are " +
                              unknown->known,
                          json);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return OutputWritten(app.exit(e));
    } catch (const CLI::CallForAllHelp& e) {
        return OutputWritten(app.exit(e));
    } catch (const CLI::ParseError& e) {
        const std::string command = ParsedCommand(app);
        std::string message = e.what();
        // A negative number after a command reads as an option ("-5", "-inf").
        if (dynamic_cast<const CLI::ExtrasError*>(&e) || dynamic_cast<const CLI::RequiredError*>(&e)) {
            if (const auto negative = NegativeNumber(argc, argv))
                message += "; '" + *negative +
                           "' reads as an option: give a negative value after --, e.g. tarvik " +
                           (command.empty() ? std::string("setpoint set") : command) + " ... -- " + *negative;
        }
        if (!command.empty()) message = command + ": " + message;
        return UsageError(command, message, json);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik: %s\n", e.what());
        return tarvik::cli::kExitFailed;
    }
    return OutputWritten(cli.exitCode);
}
