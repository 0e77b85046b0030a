// The fuzzing backend, installed through the pipeline's seam: "COM1" is the only port, it opens,
// takes any request and answers with the bytes the fuzzer gave; the clock never really sleeps.
#include "FuzzLine.h"

#include <algorithm>

#include "api/Transport.h"

namespace tarvik::fuzz {
namespace {

std::string reply;
std::size_t taken = 0;
std::string request;

class InstantClock final : public api::Clock {
public:
    time_point Now() override { return now_; }
    void SleepFor(std::chrono::microseconds time) override { now_ += time; }

private:
    time_point now_{};
};

class FuzzTransport final : public api::Transport {
public:
    void Write(std::span<const std::uint8_t> bytes) override { request.append(bytes.begin(), bytes.end()); }
    std::size_t ReadSome(std::span<std::uint8_t> out, api::Clock::time_point) override { return Take(out); }
    std::size_t Queued() override { return reply.size() - taken; }
    std::size_t ReadQueued(std::span<std::uint8_t> out) override { return Take(out); }

private:
    static std::size_t Take(std::span<std::uint8_t> out) {
        const std::size_t n = std::min(out.size(), reply.size() - taken);
        std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(taken), n, out.begin());
        taken += n;
        return n;
    }
};

class FuzzBackend final : public api::Backend {
public:
    bool Listed(const std::string& device) override { return device == "COM1"; }
    void TrialOpen(const std::string& device) override { Check(device); }
    std::unique_ptr<api::Transport> Open(const api::LineSettings& line) override {
        Check(line.device);
        taken = 0; // a fresh open finds the whole reply queued
        return std::make_unique<FuzzTransport>();
    }
    api::Clock& GetClock() override { return clock_; }

private:
    static void Check(const std::string& device) {
        if (device != "COM1") throw api::LineError(api::LineError::Kind::Open, 2, "not found");
    }
    InstantClock clock_;
};

} // namespace

void SetReply(const std::uint8_t* data, std::size_t size) {
    static FuzzBackend backend;
    api::SetBackend(&backend);
    reply.assign(reinterpret_cast<const char*>(data), size);
    taken = 0;
    request.clear();
}

const std::string& LastRequest() {
    return request;
}

} // namespace tarvik::fuzz
