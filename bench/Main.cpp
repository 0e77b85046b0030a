// tarvik_bench: runs the simulated devices in a child process on pseudo-terminals, the benchmarks
// in this one, and prints a summary of the ratios at the end. Run it with scripts/bench.sh.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Bench.h"
#include "Endpoint.h"
#include "PtyServer.h"
#include "TransmitterLine.h"

namespace tarvik::bench {

namespace {

std::string g_portDir;

// Starts the simulator; returns its pid and the write end of its stop pipe.
pid_t StartSimulator(int& stopWrite) {
    int ready[2], stop[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(stop, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        ::close(stop[1]);
        int rc = 1;
        try {
            sim::ServerOptions options;
            options.lineTiming = true;
            sim::PtyServer server(g_portDir, options, stderr);
            for (int com = 1; com <= kFlowPorts; ++com) {
                sim::HartIdentity id{
                    0x0A, kFlowDeviceType, {kFlowIdHigh, kFlowIdMid, static_cast<std::uint8_t>(com)}, 1, 1,
                    1};
                auto device = std::make_unique<sim::FlowDevice>(id, "FT-BENCH", kFlowBaud, 1);
                device->SetPreambles(kHartReplyPreambles);
                server.Add(com, std::make_unique<sim::HartEndpoint>(std::move(device)));
            }
            server.Add(kReadoutPort, std::make_unique<sim::ReadoutEndpoint>(1));
            server.Add(kMultidropPort,
                       std::make_unique<sim::TransmitterLine>(kMultidropPort, kMultidropBaud,
                                                              static_cast<int>(kMultidropDevices), 1));
            const char b = 1;
            if (::write(ready[1], &b, 1) == 1) rc = server.Run(stop[0]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "simulator: %s\n", e.what());
        }
        ::_exit(rc);
    }
    ::close(ready[1]);
    ::close(stop[0]);
    char b = 0;
    const bool ok = pid > 0 && ::read(ready[0], &b, 1) == 1;
    ::close(ready[0]);
    stopWrite = stop[1];
    return ok ? pid : -1;
}

double Get(const char* name) {
    const auto it = Figures().find(name);
    return it == Figures().end() ? std::nan("") : it->second;
}

void PrintSummary() {
    std::printf("\n## Summary (medians; ms unless said otherwise)\n\n");
    std::printf("| call | fixed wait | overhead above the wait | port check | trial open+close | "
                "request open+close | rest | minimal transaction's overhead | overhead / minimal's |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const char* key : {"ReadFlow 38400", "ReadProcessVariable_0731"}) {
        const std::string k = key;
        std::printf("| %s | %.0f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.1fx |\n", key,
                    Get((k + ".wait").c_str()), Get((k + ".overhead").c_str()), Get((k + ".check").c_str()),
                    Get((k + ".trial").c_str()), Get((k + ".open").c_str()), Get((k + ".rest").c_str()),
                    Get((k + ".minimal").c_str()),
                    Get((k + ".overhead").c_str()) / Get((k + ".minimal").c_str()));
    }
    std::printf(
        "\n### beside a minimal transaction with the same cycle\n\n| call | overhead above the wait | "
        "minimal cycle's overhead (entry, trial open+close, open with settings, write, wait, read, "
        "close) | overhead / minimal cycle's |\n|---|---|---|---|\n");
    for (const char* key : {"ReadFlow 38400", "ReadProcessVariable_0731"}) {
        const std::string k = key;
        std::printf("| %s | %.2f | %.2f | %.2fx |\n", key, Get((k + ".overhead").c_str()),
                    Get((k + ".cycle").c_str()),
                    Get((k + ".overhead").c_str()) / Get((k + ".cycle").c_str()));
    }
    std::printf(
        "\n| ports (one host thread each) | ReadFlow calls/s | vs one port | ideal |\n|---|---|---|---|\n");
    for (int n : {1, 2, 4, 8, 16}) {
        const std::string k = "parallel." + std::to_string(n);
        std::printf("| %d | %.1f | %.2fx | %dx |\n", n, Get(k.c_str()), Get(k.c_str()) / Get("parallel.1"),
                    n);
    }
    std::printf(
        "\n| call | heap allocations per call | live allocations grown over the run |\n|---|---|---|\n");
    for (const char* key : {"export ReadFlow", "export ReadProcessVariable_0731", "link ReadFlow",
                            "link ReadProcessVariable"}) {
        const std::string k = key;
        std::printf("| %s | %.0f | %.0f over %.0f calls |\n", key, Get((k + ".allocs").c_str()),
                    Get((k + ".growth").c_str()), Get((k + ".calls").c_str()));
    }
    std::printf("\n| fast link | median | wire time (request+reply, 11 bits/byte) | budget 1.3 x wire + 1 | "
                "median / budget | export's time for the same reading | link / export | CPU per call, us | "
                "minimal poll loop's CPU, us | link / minimal |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const char* reading : {"ReadFlow 38400", "ReadProcessVariable 9600"}) {
        const std::string k = std::string("link ") + reading;
        const double median = Get((k + ".median").c_str()), wire = Get((k + ".wire").c_str());
        const double budget = 1.3 * wire + 1.0, exportMs = Get((k + ".export").c_str());
        const double cpu = Get((k + ".cpu_us").c_str());
        const double minimal = Get((std::string("minimal poll ") + reading + ".cpu_us").c_str());
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.1f | %.3f | %.0f | %.0f | %.1fx |\n", k.c_str(),
                    median, wire, budget, median / budget, exportMs, median / exportMs, cpu, minimal,
                    cpu / minimal);
    }
}

} // namespace

std::string PortPath(int com) {
    return g_portDir + "/COM" + std::to_string(com);
}

double Median(std::vector<double> v) {
    if (v.empty()) return std::nan("");
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::map<std::string, double>& Figures() {
    static std::map<std::string, double> figures;
    return figures;
}

} // namespace tarvik::bench

int main(int argc, char** argv) {
    using namespace tarvik::bench;
    char dir[] = "/tmp/tarvik-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    g_portDir = dir;
    ::setenv("TARVIK_PORT_DIR", dir, 1);
    ::signal(SIGPIPE, SIG_IGN);

    int stop = -1;
    const pid_t sim = StartSimulator(stop);
    if (sim < 0) {
        std::fprintf(stderr, "tarvik_bench: the simulator did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintSummary();

    const char b = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop, &b, 1);
    ::waitpid(sim, nullptr, 0);
    ::close(stop);
    ::rmdir(dir);
    return 0;
}
