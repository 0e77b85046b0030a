// The floor of the exports' design: one hand-written transaction with nothing around it (one
// open with the line settings, write, the same sleep, read what is queued, close).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tarvik::bench {

struct MinimalLine {
    std::uint32_t baud;
    bool oddParity;
};

// Returns the number of bytes read, or -1 when the device could not be opened or set.
int MinimalTransaction(const std::string& path, MinimalLine line, std::span<const std::uint8_t> request,
                       int waitMs, std::span<std::uint8_t> reply);

// The same transaction with every step of the exports' documented cycle, written by hand: the
// port's entry looked at, a trial open and close, then the transaction above. The fair floor for
// an export's cost above its fixed wait.
int MinimalCycle(const std::string& path, MinimalLine line, std::span<const std::uint8_t> request, int waitMs,
                 std::span<std::uint8_t> reply);

// The floor of the fast link's design: a line opened once with the same settings; each exchange
// writes the request, then polls and reads until the reply is complete (`replyBytes` have come or,
// with replyBytes 0, a line feed) or `timeoutMs` has passed. Returns the bytes read.
class MinimalPollLine {
public:
    MinimalPollLine(const std::string& path, MinimalLine line);
    ~MinimalPollLine();
    MinimalPollLine(const MinimalPollLine&) = delete;
    MinimalPollLine& operator=(const MinimalPollLine&) = delete;
    bool IsOpen() const { return fd_ >= 0; }
    int Exchange(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply, std::size_t replyBytes,
                 int timeoutMs);

private:
    int fd_ = -1;
};

} // namespace tarvik::bench
