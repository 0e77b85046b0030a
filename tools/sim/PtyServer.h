// Serves endpoints on pseudo-terminals: each gets its own terminal, linked as COM<n> into a port
// directory. The server keeps the terminal side open for its whole life (so the host never sees a
// hang-up), answers only when the line settings the host left on the terminal match the device's,
// and can pace replies at the line's byte time.
#pragma once

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "Endpoint.h"
#include "Faults.h"

namespace tarvik::sim {

struct ServerOptions {
    bool lineTiming = false; // each reply byte takes its bit time; replies start after the request's
    int turnaroundMs = 0;    // device processing time before a reply starts
    bool verbose = false;    // log every request and reply
    FaultRates faults;
    int lateMs = 1000;
    std::uint32_t seed = 1;
    bool force = false; // replace any existing COM<n> link, not only a stale one of a simulator
};

// Why an existing COM<n> entry of a port directory may or may not be replaced by a new simulator.
enum class LinkState {
    Absent,        // nothing there
    Stale,         // a link whose terminal is gone, or made by a simulator that no longer runs
    LiveSimulator, // a link of a simulator that still runs
    Foreign,       // a link this simulator did not make (a real port, another program)
    NotALink,      // a file or directory: never replaced
};
// `link` is dir/COM<n>; its owner record is dir/.COM<n>.owner ("<pid> <terminal> <start time>").
LinkState ExaminePortLink(const std::string& link, std::string* detail = nullptr);

class PtyServer {
public:
    PtyServer(std::string portDir, ServerOptions options, std::FILE* log);
    ~PtyServer(); // closes every terminal and removes the links
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Creates the terminal and its link; throws std::runtime_error when that fails (for example
    // when COM<com> exists already and leads to a live terminal).
    void Add(int com, std::unique_ptr<Endpoint> endpoint);
    // Serves until `stopFd` becomes readable. Returns 0, or 1 on a fatal poll error.
    int Run(int stopFd);

    struct Port;

private:
    using Clock = std::chrono::steady_clock;
    void Receive(Port& port, Clock::time_point now);
    void Schedule(Port& port, const Bytes& bytes, Clock::time_point start);
    void Flush(Port& port, Clock::time_point now);
    double Seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - start_).count(); }

    std::string dir_;
    ServerOptions options_;
    std::FILE* log_;
    Clock::time_point start_ = Clock::now();
    std::vector<std::unique_ptr<Port>> ports_;
};

} // namespace tarvik::sim
