// Fault injection: each reply may be delayed past the host's wait, dropped, sent with a corrupted
// checksum, replaced by a status-only (busy) reply, cut short, or replaced by garbage, each with
// its own rate.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "HartLink.h"

namespace tarvik::sim {

enum class Fault { None, Late, Silent, Checksum, Short, Truncated, Garbage };
const char* FaultName(Fault f);

struct FaultRates {
    double late = 0, silent = 0, checksum = 0, shortReply = 0, truncated = 0, garbage = 0;
    double Total() const { return late + silent + checksum + shortReply + truncated + garbage; }
};

// "late=0.1,silent=0.05" (names late, silent, checksum, short, truncated, garbage; rates 0..1,
// summing to at most 1). Throws std::invalid_argument with a message on a bad text.
FaultRates ParseFaultRates(const std::string& text);

enum class Protocol { Hart, Readout };

struct FaultPlan {
    Fault fault = Fault::None;
    Bytes bytes; // what to send (empty: nothing)
    int extraDelayMs = 0;
};

class FaultInjector {
public:
    FaultInjector(FaultRates rates, std::uint32_t seed, int lateMs = 1000)
        : rates_(rates), lateMs_(lateMs), rng_(seed) {}
    // Picks at most one fault for `reply` and applies it.
    FaultPlan Apply(Bytes reply, Protocol protocol);
    // Applies a given fault (used by Apply and by tests).
    FaultPlan Inject(Fault fault, Bytes reply, Protocol protocol);

private:
    FaultRates rates_;
    int lateMs_;
    std::mt19937 rng_;
};

} // namespace tarvik::sim
