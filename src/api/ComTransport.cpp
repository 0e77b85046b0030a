// The production side of the seam: lines are TComPort objects, the clock is the steady clock. The
// only file of the pipeline that knows the port component: its settings and its errors are
// translated here, both ways.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "../comport/ComPort.h"
#include "Transport.h"

namespace tarvik::api {

using namespace comport;

namespace {

LineError::Kind KindOf(TComErrorKind kind) {
    switch (kind) {
    case ekSystem:
        return LineError::Kind::Failed;
    case ekTimeout:
        return LineError::Kind::Timeout;
    case ekClosedPort:
        return LineError::Kind::Closed;
    case ekOpen:
        return LineError::Kind::Open;
    case ekComponent:
        break;
    }
    return LineError::Kind::Other;
}

// Runs a call of the component and raises its failure as the pipeline's own.
template <class F>
auto Translated(F&& call) -> decltype(call()) {
    try {
        return call();
    } catch (const EComError& e) {
        throw LineError(KindOf(e.Kind), e.ErrorCode, e.what());
    }
}

TParity ParityOf(Parity parity) {
    switch (parity) {
    case Parity::Odd:
        return paOdd;
    case Parity::Even:
        return paEven;
    case Parity::None:
        break;
    }
    return paNone;
}

TBaudRate RateOf(std::int32_t baud) {
    for (int r = br50; r < brCustom; ++r)
        if (BaudRateValue(static_cast<TBaudRate>(r)) == baud) return static_cast<TBaudRate>(r);
    throw LineError(LineError::Kind::Other, ceInvalidParameter,
                    "rate not supported: " + std::to_string(baud));
}

class ComTransport final : public Transport {
public:
    explicit ComTransport(const LineSettings& line) {
        port_.SetParity(ParityOf(line.parity));
        port_.SetBaudRate(RateOf(line.baud));
        port_.SetDeviceName(line.device);
        port_.SetStopBits(sb1);
        port_.SetDataBits(db8);
        Translated([this] { port_.Open(); });
    }

    void Write(std::span<const std::uint8_t> bytes) override {
        Translated([&] {
            // The previous write may still read its bytes: let it finish before they are replaced.
            if (written_) port_.Write(nullptr, 0, true);
            text_.assign(bytes.begin(), bytes.end());
            port_.Write(text_.data(), static_cast<std::int32_t>(text_.size()), false);
            written_ = true;
        });
    }

    std::size_t ReadSome(std::span<std::uint8_t> out, Clock::time_point deadline) override {
        // Rounded up to whole milliseconds, so that the wait never ends early.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const auto ms = static_cast<std::int32_t>(std::clamp<long long>(left, 0, INT32_MAX));
        return Take(out, ms);
    }

    std::size_t Queued() override {
        return Translated([this] { return static_cast<std::size_t>(std::max(0, port_.InputCount())); });
    }

    std::size_t ReadQueued(std::span<std::uint8_t> out) override { return Take(out, 0); }

private:
    std::size_t Take(std::span<std::uint8_t> out, std::int32_t waitMs) {
        const auto length = static_cast<std::int32_t>(std::min<std::size_t>(out.size(), INT32_MAX));
        return Translated([&] {
            return static_cast<std::size_t>(std::max(0, port_.ReadAvailable(out.data(), length, waitMs)));
        });
    }

    // Declared before the port: it outlives the write under way, which may read it until Close.
    std::string text_;
    TComPort port_;
    bool written_ = false;
};

class SteadyClock final : public Clock {
public:
    time_point Now() override { return std::chrono::steady_clock::now(); }
    void SleepFor(std::chrono::microseconds time) override {
#ifdef _WIN32
        // Windows sleeps in steps of its timer (up to 15.6 ms): a shorter rest between two looks
        // at the line would overshoot the reply by more than it saves. The look that follows waits
        // for the bytes instead.
        if (time < kShortestWindowsRest) return;
#endif
        std::this_thread::sleep_for(time);
    }

private:
#ifdef _WIN32
    static constexpr std::chrono::milliseconds kShortestWindowsRest{16};
#endif
};

class ComBackend final : public Backend {
public:
    bool Listed(const std::string& device) override { return ComPortListed(device); }
    void TrialOpen(const std::string& device) override {
        Translated([&] { ComPortTryOpen(device); });
    }
    std::unique_ptr<Transport> Open(const LineSettings& line) override {
        return Translated([&] { return std::make_unique<ComTransport>(line); });
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
