// tarvik-sim: simulated instruments on pseudo-terminals, for developing and testing hosts without
// hardware. Runs in the foreground until Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "Endpoint.h"
#include "PtyServer.h"
#include "TransmitterLine.h"

using namespace tarvik::sim;

namespace {

int g_stopPipe[2] = {-1, -1};

void OnSignal(int) {
    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &b, 1);
}

struct DeviceSpec {
    int com = 0;
    std::uint32_t baud = 0;
};

// "3" or "3:19200" (also "COM3:19200").
DeviceSpec ParseSpec(std::string text, std::uint32_t defaultBaud) {
    if (text.rfind("COM", 0) == 0 || text.rfind("com", 0) == 0) text = text.substr(3);
    DeviceSpec s{0, defaultBaud};
    const auto colon = text.find(':');
    try {
        std::size_t used = 0;
        s.com = std::stoi(text.substr(0, colon), &used);
        if (used != (colon == std::string::npos ? text.size() : colon)) throw std::invalid_argument("");
        if (colon != std::string::npos)
            s.baud = static_cast<std::uint32_t>(std::stoul(text.substr(colon + 1)));
    } catch (const std::exception&) {
        throw CLI::ValidationError("device", "'" + text + "' is not COM[:BAUD]");
    }
    if (s.com < 1 || s.com > 40) throw CLI::ValidationError("device", "COM number must be 1..40");
    constexpr std::uint32_t kRates[] = {1200, 2400, 3600, 4800, 7200, 9600, 19200, 38400};
    if (std::find(std::begin(kRates), std::end(kRates), s.baud) == std::end(kRates))
        throw CLI::ValidationError("device", std::to_string(s.baud) + " is not one of the eight HART rates");
    return s;
}

// "3:1200x4": the line spec and the number of transmitters on it (default 1, at most 64).
std::pair<std::string, int> SplitCount(const std::string& text) {
    const auto x = text.find_last_of("xX");
    if (x == std::string::npos) return {text, 1};
    int n = 0;
    try {
        std::size_t used = 0;
        n = std::stoi(text.substr(x + 1), &used);
        if (used != text.size() - x - 1) throw std::invalid_argument("");
    } catch (const std::exception&) {
        throw CLI::ValidationError("transmitter", "'" + text + "' is not COM[:BAUD][xN]");
    }
    if (n < 1 || n > 64)
        throw CLI::ValidationError("transmitter", "N must be 1..64 (polling addresses 0..63)");
    return {text.substr(0, x), n};
}

std::string DefaultDir() {
    if (const char* d = std::getenv("TARVIK_PORT_DIR"); d && *d) return d;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return std::string(runtime && *runtime ? runtime : "/tmp") + "/tarvik-ports";
}

// The help's examples, devices, faults and port directory.
constexpr const char* kFooter =
    "Examples:\n"
    "  tarvik-sim                                   flow COM1 19200, pressure COM2 9600, 0731 COM3\n"
    "  tarvik-sim --dir /tmp/ports --flow 3:19200 --readout 5\n"
    "  tarvik-sim --flow 1:1200 --faults late=0.05,checksum=0.02 --line-timing -v\n"
    "  tarvik-sim --transmitter 4:1200x3 --line-timing   three transmitters on COM4\n"
    "  export TARVIK_PORT_DIR=/tmp/ports; tarvik scan\n\n"
    "Simulated devices:\n"
    "  flow      HART mass-flow controller, type 0x64, id 01 02 <com>, tag FT-1<com>. Ten gases,\n"
    "            flow follows the set point (lag 1.5 s), valve override 0 normal / 1 closed /\n"
    "            2 open, totalizer 0 stop / 1 run / 2 reset, write protection (mode 1 with a\n"
    "            text locks, mode 0 with the same text unlocks), backup (command 39, code 0).\n"
    "  pressure  HART pressure transmitter, type 0x65, id 01 02 <com>, tag PT-2<com>. Six\n"
    "            applications (1, 2, 5, 10, 20, 50 bar), process near 3.2 bar.\n"
    "  readout   0731 read-out unit, four channels (full scale 100, 50, 10, 500).\n"
    "  transmitter  N generic HART transmitters on one line (universal commands, revision 7),\n"
    "            polling addresses 0..N-1, type 0x66, id 03 <com> <n+1>, tag TT-<com><nn>;\n"
    "            temperature PV that moves, burst mode by command 109 (frames between requests).\n\n"
    "Faults (--faults NAME=RATE,...): late (answer after --late-ms), silent, checksum,\n"
    "short (status-only busy reply), truncated, garbage. Rates 0..1, at most 1 in total.\n\n"
    "Port directory: --dir, else $TARVIK_PORT_DIR, else $XDG_RUNTIME_DIR/tarvik-ports, else (no\n"
    "XDG_RUNTIME_DIR, as under sudo or in a container) /tmp/tarvik-ports. Beside each link COM<n>\n"
    "the simulator keeps .COM<n>.owner; a link left by a killed simulator (its terminal or its\n"
    "process gone) is replaced at the next start, any other existing link only with --force.";

struct SimArgs {
    std::string dir = DefaultDir();
    std::vector<std::string> flows, pressures, readouts, transmitters, writeProtected;
    std::string faults;
    ServerOptions options;
    std::uint32_t seed = 1;
    std::size_t preambles = 5;
    bool quiet = false;
};

void AddOptions(CLI::App& app, SimArgs& a) {
    ServerOptions& options = a.options;
    app.add_option("-d,--dir", a.dir,
                   "port directory (default: $TARVIK_PORT_DIR, else $XDG_RUNTIME_DIR/tarvik-ports, else "
                   "/tmp/tarvik-ports when XDG_RUNTIME_DIR is unset)");
    app.add_flag("--force", options.force,
                 "replace existing COM<n> links in the port directory (links a killed simulator left "
                 "behind are replaced without it)");
    app.set_version_flag("--version", std::string("tarvik-sim ") + TARVIK_VERSION);
    app.add_option("--flow", a.flows, "HART flow device on COM[:BAUD] (baud default 19200)")
        ->type_name("COM[:BAUD]");
    app.add_option("--pressure", a.pressures, "HART pressure device on COM[:BAUD] (baud default 9600)")
        ->type_name("COM[:BAUD]");
    app.add_option("--readout,--0731", a.readouts, "0731 read-out unit on COM")->type_name("COM");
    app.add_option("--transmitter", a.transmitters,
                   "N generic HART transmitters on one multidrop line COM[:BAUD] (baud default 1200), "
                   "polling addresses 0..N-1")
        ->type_name("COM[:BAUD][xN]");
    app.add_option("--write-protected", a.writeProtected,
                   "a transmitter in write-protect mode: it refuses configuration writes (response 7)")
        ->type_name("COM:POLLING");
    app.add_option("--faults", a.faults, "fault rates, e.g. late=0.1,checksum=0.05");
    app.add_option("--late-ms", options.lateMs, "delay of a late reply in ms")
        ->default_val(1000)
        ->check(CLI::Range(0, 60000));
    app.add_flag("--line-timing", options.lineTiming, "pace replies at the line's byte time");
    app.add_option("--turnaround-ms", options.turnaroundMs, "device processing time before a reply")
        ->check(CLI::Range(0, 10000));
    app.add_option("--preambles", a.preambles, "preamble bytes before each HART reply")
        ->default_val(5)
        ->check(CLI::Range(2, 20));
    app.add_option("--seed", a.seed, "seed for noise and faults")->default_val(1);
    app.add_flag("-v,--verbose", options.verbose, "log every request and reply");
    app.add_flag("-q,--quiet", a.quiet, "print nothing but errors");
}

// A HART device's tag: the prefix and the COM number in two digits at least (FT-103).
std::string Tag(const char* prefix, int com) {
    return prefix + std::string(com < 10 ? "0" : "") + std::to_string(com);
}

// Every device of the command line on the server; returns the table of what serves where.
std::vector<std::pair<int, std::string>> AddDevices(PtyServer& server, const SimArgs& a) {
    std::vector<std::pair<int, std::string>> table;
    std::map<int, std::string> given; // COM number -> the option that gave it
    const auto claim = [&](int com, const std::string& option) {
        const auto [at, fresh] = given.emplace(com, option);
        if (!fresh)
            throw CLI::ValidationError("COM" + std::to_string(com) + " is given twice (" + at->second + " " +
                                       std::to_string(com) + " and " + option + " " + std::to_string(com) +
                                       "): one device or line per port");
    };
    const auto add = [&](int com, std::unique_ptr<Endpoint> ep) {
        const std::string line = ep->Line().Text() + "  " + ep->Describe();
        server.Add(com, std::move(ep));
        table.emplace_back(com, line);
    };
    const auto seedOf = [&](const DeviceSpec& s) { return a.seed + static_cast<std::uint32_t>(s.com); };
    // A flow or pressure device: its type, id 01 02 <com>, its tag.
    const auto addHart = [&]<typename Device>(const char* option, const std::string& text,
                                              std::uint32_t defaultBaud, std::uint8_t type, const char* tag) {
        const DeviceSpec s = ParseSpec(text, defaultBaud);
        claim(s.com, option);
        HartIdentity id{0x0A, type, {0x01, 0x02, static_cast<std::uint8_t>(s.com)}, 1, 1, 1};
        auto dev = std::make_unique<Device>(id, Tag(tag, s.com), s.baud, seedOf(s));
        dev->SetPreambles(a.preambles);
        add(s.com, std::make_unique<HartEndpoint>(std::move(dev)));
    };
    for (const std::string& f : a.flows)
        addHart.template operator()<FlowDevice>("--flow", f, 19200, 0x64, "FT-1");
    for (const std::string& p : a.pressures)
        addHart.template operator()<PressureDevice>("--pressure", p, 9600, 0x65, "PT-2");
    for (const std::string& t : a.transmitters) {
        const auto [line, count] = SplitCount(t);
        const DeviceSpec s = ParseSpec(line, 1200);
        claim(s.com, "--transmitter");
        auto devices = std::make_unique<TransmitterLine>(s.com, s.baud, count, seedOf(s));
        for (const std::string& w : a.writeProtected) {
            const auto colon = w.find(':');
            int com = -1, polling = -1;
            if (colon != std::string::npos && std::sscanf(w.c_str(), "%d:%d", &com, &polling) == 2 &&
                com == s.com && polling >= 0 && static_cast<std::size_t>(polling) < devices->Size())
                devices->Device(static_cast<std::size_t>(polling)).SetWriteProtected(true);
            else if (colon == std::string::npos || std::sscanf(w.c_str(), "%d:%d", &com, &polling) != 2)
                throw CLI::ValidationError("--write-protected", "'" + w + "' is not COM:POLLING");
        }
        add(s.com, std::move(devices));
    }
    for (const std::string& r : a.readouts) {
        const DeviceSpec s = ParseSpec(r, 9600);
        claim(s.com, "--readout");
        add(s.com, std::make_unique<ReadoutEndpoint>(seedOf(s)));
    }
    return table;
}

// Ctrl-C, SIGTERM and SIGHUP end the run through the stop pipe.
bool InstallStopSignals() {
    if (::pipe2(g_stopPipe, O_CLOEXEC) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

// Serves until a stop signal; the exit status.
int Serve(const SimArgs& a) {
    int rc = 0;
    try {
        {
            PtyServer server(a.dir, a.options, stdout);
            const auto table = AddDevices(server, a);
            if (!a.quiet) {
                std::printf("tarvik-sim: port directory %s\n", a.dir.c_str());
                for (const auto& [com, line] : table)
                    std::printf("  COM%-3d %s\n", com, line.c_str());
                if (a.options.faults.Total() > 0) std::printf("  faults: %s\n", a.faults.c_str());
                std::printf("ready: export TARVIK_PORT_DIR=%s; stop with Ctrl-C\n", a.dir.c_str());
            }
            rc = server.Run(g_stopPipe[0]);
        } // the server removes its links here
        if (!a.quiet) std::printf("tarvik-sim: stopped, links removed\n");
    } catch (const CLI::Error& e) {
        std::fprintf(stderr, "tarvik-sim: %s\n", e.what());
        rc = 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-sim: %s\n", e.what());
        rc = 1;
    }
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"tarvik-sim: simulated instruments on pseudo-terminals.\n"
                 "Each device gets its own terminal, linked as COM<n> into the port directory; the\n"
                 "library and the tarvik tool find it there through TARVIK_PORT_DIR. A device answers\n"
                 "only when the host's line settings match its own (HART: 8O1 at its rate; 0731:\n"
                 "9600 8N1). Runs until Ctrl-C, then removes its links.",
                 "tarvik-sim"};
    app.footer(kFooter);
    SimArgs a;
    AddOptions(app, a);
    CLI11_PARSE(app, argc, argv);

    try {
        a.options.faults = ParseFaultRates(a.faults);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "tarvik-sim: --faults: %s\n", e.what());
        return 2;
    }
    a.options.seed = a.seed;
    if (a.flows.empty() && a.pressures.empty() && a.readouts.empty() && a.transmitters.empty()) {
        a.flows = {"1:19200"};
        a.pressures = {"2:9600"};
        a.readouts = {"3"};
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (::mkdir(a.dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "tarvik-sim: cannot create %s: %s\n", a.dir.c_str(), std::strerror(errno));
        return 1;
    }
    if (!InstallStopSignals()) return 1;
    const int rc = Serve(a);
    ::close(g_stopPipe[0]);
    ::close(g_stopPipe[1]);
    return rc;
}
