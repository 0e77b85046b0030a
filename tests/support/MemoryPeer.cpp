#include "MemoryPeer.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

#include "api/Transport.h"

namespace tarvik::test {

using api::Clock;
using api::LineError;
using Kind = api::LineError::Kind;

namespace {

// Each thread's own time: it moves only when the thread waits, so that every offset is exact.
thread_local Clock::time_point virtualNow = Clock::time_point{} + std::chrono::hours(24);

class VirtualClock final : public Clock {
public:
    time_point Now() override { return virtualNow; }
    void SleepFor(std::chrono::microseconds time) override { virtualNow += time; }
};

// Moves the calling thread's clock to `t` when that is later than its now.
void AdvanceTo(Clock::time_point t) {
    if (t > virtualNow) virtualNow = t;
}

// The system error a failed open or a failed line raises on a real port.
constexpr std::int32_t kNoDevice = 19;

} // namespace

struct MemoryPeer::State {
    struct Chunk {
        Clock::time_point at;
        Bytes bytes;
    };
    mutable std::mutex mutex;
    bool open = false;
    bool hungUp = false;
    bool lineMode = false;
    Bytes received;
    std::vector<Bytes> requests;
    Bytes current; // a line being received in line mode
    std::deque<ScriptedReply> replies;
    std::function<ScriptedReply(const Bytes&)> responder;
    std::deque<Chunk> pending; // reply bytes, in arrival order
    std::size_t looks = 0;
    std::vector<std::pair<int, bool>> opens;

    // A complete request arrived at `now`: schedule its answer.
    void Answer(const Bytes& request, Clock::time_point now) {
        requests.push_back(request);
        ScriptedReply reply;
        reply.silent = true;
        if (!replies.empty()) {
            reply = std::move(replies.front());
            replies.pop_front();
        } else if (responder) {
            reply = responder(request);
        }
        if (reply.silent || reply.bytes.empty()) return;
        const auto first = now + std::chrono::milliseconds(reply.delayMs);
        if (reply.byteUs > 0) {
            for (std::size_t i = 0; i < reply.bytes.size(); ++i)
                Schedule({first + std::chrono::microseconds(reply.byteUs) * static_cast<long>(i + 1),
                          Bytes{reply.bytes[i]}});
            return;
        }
        const std::size_t split =
            reply.splitAt > 0 ? std::min(reply.splitAt, reply.bytes.size()) : reply.bytes.size();
        Schedule({first, Bytes(reply.bytes.begin(), reply.bytes.begin() + static_cast<long>(split))});
        if (split < reply.bytes.size())
            Schedule({first + std::chrono::milliseconds(reply.splitDelayMs),
                      Bytes(reply.bytes.begin() + static_cast<long>(split), reply.bytes.end())});
    }

    // Keeps the pending chunks in arrival order (a late answer may arrive after a newer one).
    void Schedule(Chunk chunk) {
        const auto at = std::upper_bound(pending.begin(), pending.end(), chunk.at,
                                         [](Clock::time_point t, const Chunk& c) { return t < c.at; });
        pending.insert(at, std::move(chunk));
    }

    void Receive(std::span<const std::uint8_t> bytes, Clock::time_point now) {
        received.insert(received.end(), bytes.begin(), bytes.end());
        if (!lineMode) {
            if (!bytes.empty()) Answer(Bytes(bytes.begin(), bytes.end()), now);
            return;
        }
        for (std::uint8_t b : bytes) {
            current.push_back(b);
            if (b == '\r') {
                Answer(current, now);
                current.clear();
            }
        }
    }

    std::size_t QueuedAt(Clock::time_point now) const {
        std::size_t n = 0;
        for (const Chunk& c : pending)
            if (c.at <= now) n += c.bytes.size();
        return n;
    }
};

namespace {

class MemoryTransport final : public api::Transport {
public:
    MemoryTransport(std::shared_ptr<MemoryPeer::State> state, Clock& clock)
        : state_(std::move(state)), clock_(clock) {}
    ~MemoryTransport() override {
        std::lock_guard lock(state_->mutex);
        state_->open = false;
    }

    void Write(std::span<const std::uint8_t> bytes) override {
        std::lock_guard lock(state_->mutex);
        Check();
        state_->Receive(bytes, clock_.Now());
    }

    std::size_t ReadSome(std::span<std::uint8_t> out, Clock::time_point deadline) override {
        {
            std::lock_guard lock(state_->mutex);
            Check();
            ++state_->looks;
            if (state_->QueuedAt(clock_.Now()) == 0) {
                const auto next = std::find_if(state_->pending.begin(), state_->pending.end(),
                                               [](const auto& c) { return !c.bytes.empty(); });
                if (next == state_->pending.end() || next->at > deadline) {
                    AdvanceTo(deadline);
                    return 0;
                }
                AdvanceTo(next->at);
            }
        }
        return ReadQueued(out);
    }

    std::size_t Queued() override {
        std::lock_guard lock(state_->mutex);
        Check();
        return state_->QueuedAt(clock_.Now());
    }

    std::size_t ReadQueued(std::span<std::uint8_t> out) override {
        std::lock_guard lock(state_->mutex);
        Check();
        const auto now = clock_.Now();
        std::size_t n = 0;
        auto& pending = state_->pending;
        while (n < out.size() && !pending.empty() && pending.front().at <= now) {
            Bytes& b = pending.front().bytes;
            const std::size_t k = std::min(b.size(), out.size() - n);
            std::copy_n(b.begin(), k, out.begin() + static_cast<long>(n));
            b.erase(b.begin(), b.begin() + static_cast<long>(k));
            n += k;
            if (b.empty()) pending.pop_front();
        }
        return n;
    }

private:
    void Check() const {
        if (state_->hungUp) throw LineError(Kind::Failed, kNoDevice, "Device went away");
    }

    std::shared_ptr<MemoryPeer::State> state_;
    Clock& clock_;
};

class MemoryBackend final : public api::Backend {
public:
    void Add(int com, std::shared_ptr<MemoryPeer::State> state) {
        std::lock_guard lock(mutex_);
        peers_[com] = std::move(state);
    }
    void Remove(int com) {
        std::lock_guard lock(mutex_);
        peers_.erase(com);
    }

    bool Listed(const std::string& device) override {
        const auto s = Find(device);
        if (!s) return false;
        std::lock_guard lock(s->mutex);
        return !s->hungUp;
    }

    void TrialOpen(const std::string& device) override {
        const auto s = Usable(device);
        std::lock_guard lock(s->mutex);
        if (s->open) throw LineError(Kind::Open, kBusy, "Port in use");
    }

    std::unique_ptr<api::Transport> Open(const api::LineSettings& line) override {
        const auto s = Usable(line.device);
        {
            std::lock_guard lock(s->mutex);
            if (s->open) throw LineError(Kind::Open, kBusy, "Port in use");
            s->open = true;
            s->opens.emplace_back(line.baud, line.parity != api::Parity::None);
            // A fresh open starts with an empty input queue.
            s->pending.clear();
            s->current.clear();
        }
        return std::make_unique<MemoryTransport>(s, clock_);
    }

    Clock& GetClock() override { return clock_; }

private:
    static constexpr std::int32_t kBusy = 16;

    std::shared_ptr<MemoryPeer::State> Find(const std::string& device) {
        // "COM3" and "\\.\COM3" name port 3.
        const auto pos = device.rfind("COM");
        if (pos == std::string::npos) return nullptr;
        int com = 0;
        try {
            com = std::stoi(device.substr(pos + 3));
        } catch (const std::exception&) {
            return nullptr;
        }
        std::lock_guard lock(mutex_);
        const auto it = peers_.find(com);
        return it == peers_.end() ? nullptr : it->second;
    }

    std::shared_ptr<MemoryPeer::State> Usable(const std::string& device) {
        auto s = Find(device);
        if (!s) throw LineError(Kind::Open, kNoDevice, "No such port");
        std::lock_guard lock(s->mutex);
        if (s->hungUp) throw LineError(Kind::Open, kNoDevice, "Device went away");
        return s;
    }

    std::mutex mutex_;
    std::map<int, std::shared_ptr<MemoryPeer::State>> peers_;
    VirtualClock clock_;
};

MemoryBackend& Backend() {
    static MemoryBackend backend;
    return backend;
}

} // namespace

MemoryLines::MemoryLines() {
    api::SetBackend(&Backend());
}

MemoryLines::~MemoryLines() {
    api::SetBackend(nullptr);
}

void PassTime(int ms) {
    virtualNow += std::chrono::milliseconds(ms);
}

MemoryPeer::MemoryPeer(int com) : com_(com), state_(std::make_shared<State>()) {
    Backend().Add(com, state_);
}

MemoryPeer::~MemoryPeer() {
    Backend().Remove(com_);
}

void MemoryPeer::Reply(Bytes bytes, int delayMs) {
    Queue({std::move(bytes), delayMs});
}

void MemoryPeer::ReplySplit(Bytes bytes, std::size_t splitAt, int delayMs, int splitDelayMs) {
    Queue({std::move(bytes), delayMs, splitAt, splitDelayMs});
}

void MemoryPeer::Queue(ScriptedReply reply) {
    std::lock_guard lock(state_->mutex);
    state_->replies.push_back(std::move(reply));
}

void MemoryPeer::SetResponder(std::function<ScriptedReply(const Bytes&)> responder) {
    std::lock_guard lock(state_->mutex);
    state_->responder = std::move(responder);
}

void MemoryPeer::HangUp() {
    std::lock_guard lock(state_->mutex);
    state_->hungUp = true;
}

Bytes MemoryPeer::Received() const {
    std::lock_guard lock(state_->mutex);
    return state_->received;
}

std::size_t MemoryPeer::Looks() const {
    std::lock_guard lock(state_->mutex);
    return state_->looks;
}

std::vector<Bytes> MemoryPeer::Requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::vector<std::pair<int, bool>> MemoryPeer::Opens() const {
    std::lock_guard lock(state_->mutex);
    return state_->opens;
}

bool MemoryPeer::WaitForRequests(std::size_t n, int) const {
    std::lock_guard lock(state_->mutex);
    return state_->requests.size() >= n;
}

void MemoryPeer::ClearReceived() {
    std::lock_guard lock(state_->mutex);
    state_->received.clear();
    state_->requests.clear();
}

void MemoryPeer::SetLineMode(bool on) {
    std::lock_guard lock(state_->mutex);
    state_->lineMode = on;
}

} // namespace tarvik::test
