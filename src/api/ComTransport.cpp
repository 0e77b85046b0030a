// The production side of the seam: lines are TComPort objects, the clock is the steady clock.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "CallFrame.h"
#include "Transport.h"

namespace tarvik::api {

using namespace comport;

bool IsTimeout(const EComError& error) {
    return error.Kind == ekTimeout;
}

namespace {

class ComTransport final : public Transport {
public:
    explicit ComTransport(const LineSettings& line) {
        port_.SetParity(line.parity);
        port_.SetBaudRate(line.baudCode);
        port_.SetDeviceName(line.device);
        port_.SetStopBits(sb1);
        port_.SetDataBits(db8);
        if (line.completion == Completion::FrameEnd) {
            // Reads wait for their bytes up to a total time, set per wait; no interval limit.
            port_.Timeouts().SetReadInterval(0);
            port_.Timeouts().SetReadMultiplier(0);
            port_.Timeouts().SetReadConstant(1);
        }
        port_.Open();
    }

    void Write(std::span<const std::uint8_t> bytes) override {
        // The previous write may still read its bytes: let it finish before they are replaced.
        if (written_) port_.Write(nullptr, 0, true);
        text_.assign(bytes.begin(), bytes.end());
        port_.Write(text_.data(), static_cast<std::int32_t>(text_.size()), false);
        written_ = true;
    }

    bool WaitForInput(Clock::time_point deadline) override {
        if (pending_ || port_.InputCount() > 0) return true;
        // Rounded up to whole milliseconds, so that the wait never ends early.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        const auto ms = static_cast<std::int32_t>(std::min<long long>(left, INT32_MAX));
        if (port_.Timeouts().ReadConstant() != ms) port_.Timeouts().SetReadConstant(ms);
        try {
            port_.Read(&pendingByte_, 1, true);
        } catch (const EComError& e) {
            if (IsTimeout(e)) return false;
            throw;
        }
        pending_ = true;
        return true;
    }

    std::size_t Queued() override {
        return (pending_ ? 1u : 0u) + static_cast<std::size_t>(std::max(0, port_.InputCount()));
    }

    std::size_t ReadQueued(std::span<std::uint8_t> out) override {
        std::size_t n = 0;
        if (pending_ && !out.empty()) {
            out[n++] = pendingByte_;
            pending_ = false;
        }
        const auto queued = static_cast<std::size_t>(std::max(0, port_.InputCount()));
        const std::size_t k = std::min(queued, out.size() - n);
        if (k > 0) port_.Read(out.data() + n, static_cast<std::int32_t>(k), true);
        return n + k;
    }

private:
    // Declared before the port: it outlives the write under way, which may read it until Close.
    std::string text_;
    TComPort port_;
    bool written_ = false;
    bool pending_ = false;
    std::uint8_t pendingByte_ = 0;
};

class SteadyClock final : public Clock {
public:
    time_point Now() override { return std::chrono::steady_clock::now(); }
    void SleepFor(std::chrono::milliseconds ms) override { SleepMs(static_cast<std::int32_t>(ms.count())); }
};

class ComBackend final : public Backend {
public:
    bool Listed(const std::string& device) override {
        std::vector<std::string> ports;
        EnumComPorts(ports);
        return std::any_of(ports.begin(), ports.end(),
                           [&](const std::string& entry) { return PortNameMatches(entry, device); });
    }
    void TrialOpen(const std::string& device) override {
        TComPort trial;
        trial.SetDeviceName(device);
        trial.Open();
        trial.Close();
    }
    std::unique_ptr<Transport> Open(const LineSettings& line) override {
        return std::make_unique<ComTransport>(line);
    }
    Clock& GetClock() override { return clock_; }

private:
    SteadyClock clock_;
};

ComBackend& Production() {
    static ComBackend backend;
    return backend;
}

std::atomic<Backend*> installed{nullptr};

} // namespace

Backend& ActiveBackend() {
    Backend* b = installed.load(std::memory_order_acquire);
    return b ? *b : Production();
}

void SetBackend(Backend* backend) {
    installed.store(backend, std::memory_order_release);
}

} // namespace tarvik::api
