// The fast link to any HART device: the HART master's call type (HartMasterCall.h) run by the one
// link core on its line; Listen holds the line in slices.
#include "tarvik/HartMaster.h"

#include <algorithm>

#include "HartMasterCall.h"

namespace tarvik::link {

namespace {

using Clock = api::Clock;
using std::chrono::milliseconds;

// A Listen holds the line this long at a time (and for the frame under way at its end), so that
// the line's other users get their turns in between.
constexpr milliseconds kListenSlice{100};

CoreOptions CoreOfMaster(const MasterOptions& o) {
    return {o.timeoutMs, o.retries, o.busyRetries, o.busyBackoffMs};
}

} // namespace

struct HartMaster::Impl {
    explicit Impl(std::shared_ptr<Line::Impl> line) : core(std::move(line)) {}
    LinkCore core;
    MasterState state; // on the line's turn

    HartReply Run(const char* name, const hart::Address& to, std::uint8_t command,
                  std::span<const std::uint8_t> data, std::int32_t waitMs, bool scan) {
        HartReply out;
        MasterCall call(state, to, command, data, waitMs, scan, out);
        out.result = core.Run(name, call, [] {});
        if (out.result != ResultOk) out.size = 0;
        return out;
    }

    // One slice of a Listen: frames until `end` (a frame under way then to its end, within a
    // whole frame's time more). False when `onFrame` asked to stop.
    bool Slice(api::OpenLine& port, Clock::time_point end,
               const std::function<bool(const hart::Frame&)>& onFrame);
};

bool HartMaster::Impl::Slice(api::OpenLine& port, Clock::time_point end,
                             const std::function<bool(const hart::Frame&)>& onFrame) {
    api::Transport& t = port.GetTransport();
    Clock& clock = api::ActiveBackend().GetClock();
    const api::LineSettings& line = port.Settings();
    // A frame under way at the end is waited for to its end (never past a whole frame's time
    // more): a request sent into it would collide with it.
    const Clock::time_point hard = end + api::LineTime(line, hart::kMaxFrameSize);
    std::array<std::uint8_t, 256> buffer;
    bool more = true;
    while (more && clock.Now() < end) {
        const std::size_t n = t.ReadSome(buffer, end);
        if (n == 0) break;
        state.decoder.Feed(std::span(buffer).first(n), [&](const hart::Frame& f) {
            if (more && f.checksumOk && f.type == hart::FrameType::Burst) more = onFrame(f);
        });
        if (!state.decoder.Idle())
            end = std::min(hard, std::max(end, clock.Now() +
                                                   api::LineTime(line, state.decoder.Missing() +
                                                                           api::kUnderWaySlackBytes) +
                                                   api::kUnderWaySlack));
    }
    return more;
}

HartMaster::HartMaster() : impl_(std::make_unique<Impl>(std::make_shared<Line::Impl>())) {}
HartMaster::HartMaster(Line& line) : impl_(std::make_unique<Impl>(line.Shared())) {}
HartMaster::~HartMaster() = default;

std::int32_t HartMaster::Open(std::int32_t port, std::int32_t baud, MasterOptions options) {
    MasterState& s = impl_->state;
    return impl_->core.Open(
        "HartMaster::Open", port, CoreOfMaster(options),
        [&](std::int32_t p, api::Completion completion, api::LineSettings& line, std::int32_t& waitMs) {
            s.master = options.master;
            s.preambles = options.preambles;
            s.baud = baud;
            s.decoder.Reset();
            return api::DigitalLine(p, baud, completion, line, waitMs);
        });
}

void HartMaster::Close() noexcept {
    impl_->core.Close();
}

bool HartMaster::IsOpen() const noexcept {
    return impl_->core.IsOpen();
}

void HartMaster::SetOptions(MasterOptions options) {
    impl_->core.Under([&] {
        impl_->core.OptionsOnTurn() = CoreOfMaster(options);
        impl_->state.master = options.master;
        impl_->state.preambles = options.preambles;
    });
}

MasterOptions HartMaster::GetOptions() const {
    return impl_->core.Under([&] {
        const CoreOptions& o = impl_->core.OptionsOnTurn();
        MasterOptions m;
        m.timeoutMs = o.timeoutMs;
        m.retries = o.retries;
        m.busyRetries = o.busyRetries;
        m.busyBackoffMs = o.busyBackoffMs;
        m.master = impl_->state.master;
        m.preambles = impl_->state.preambles;
        return m;
    });
}

void HartMaster::Learn(const hart::Address& address, const hart::Identity& identity) {
    impl_->core.Under([&] { impl_->state.Learn(address, identity); });
}

void HartMaster::SetBurstHandler(std::function<void(const hart::Frame&)> handler) {
    impl_->core.Under([&] { impl_->state.burstHandler = std::move(handler); });
}

HartReply HartMaster::Command(const hart::Address& address, std::uint8_t command,
                              std::span<const std::uint8_t> data) {
    return impl_->Run("HartMaster::Command", address, command, data, 0, false);
}

std::vector<FoundDevice>
HartMaster::Scan(std::uint8_t first, std::uint8_t last, std::int32_t perAddressMs,
                 const std::function<void(std::uint8_t polling, const FoundDevice* found)>& progress) {
    return ScanWhile(first, last, perAddressMs, [&](std::uint8_t polling, const FoundDevice* found) {
        if (progress) progress(polling, found);
        return true;
    });
}

std::vector<FoundDevice>
HartMaster::ScanWhile(std::uint8_t first, std::uint8_t last, std::int32_t perAddressMs,
                      const std::function<bool(std::uint8_t polling, const FoundDevice* found)>& progress) {
    std::vector<FoundDevice> found;
    last = std::min(last, hart::kMaxPollingAddress);
    for (std::uint32_t p = first; p <= last; ++p) {
        const auto polling = static_cast<std::uint8_t>(p);
        const hart::Address to = hart::Address::Polling(polling);
        const HartReply r =
            impl_->Run("HartMaster::Scan", to, hart::kCmdReadUniqueId, {}, std::max(0, perAddressMs), true);
        const FoundDevice* hit = nullptr;
        if (r.Success()) {
            FoundDevice d{polling, hart::DecodeIdentity(r.Data())};
            if (d.identity.complete) {
                Learn(to, d.identity);
                found.push_back(d);
                hit = &found.back();
            }
        }
        if (progress && !progress(polling, hit)) break;
    }
    return found;
}

std::int32_t HartMaster::Listen(std::int32_t durationMs,
                                const std::function<bool(const hart::Frame&)>& onFrame) {
    Impl& m = *impl_;
    return api::RunCall("HartMaster::Listen", [&]() -> std::int32_t {
        Clock& clock = api::ActiveBackend().GetClock();
        const Clock::time_point end = clock.Now() + milliseconds(std::max(0, durationMs));
        const auto reopened = [&m] { m.state.decoder.Reset(); };
        bool more = true;
        do {
            const Clock::time_point slice = std::min(end, clock.Now() + kListenSlice);
            const std::int32_t rc = m.core.Hold(reopened, [&](api::OpenLine& port) {
                more = m.Slice(port, slice, onFrame);
                return ResultOk;
            });
            if (rc != ResultOk) return rc;
        } while (more && clock.Now() < end);
        return ResultOk;
    });
}

} // namespace tarvik::link
