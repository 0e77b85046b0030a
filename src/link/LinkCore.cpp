#include "LinkCore.h"

#include <array>

namespace tarvik::link {
namespace {

constexpr int kResyncWaits = 4; // the longest resynchronisation, in reply waits

} // namespace

Line::Line() : impl_(std::make_shared<Impl>()) {}
Line::~Line() = default;

void Line::Close() noexcept {
    Turn turn(*impl_);
    impl_->Close();
}

bool Line::IsOpen() const noexcept {
    Turn turn(*impl_);
    return impl_->port.IsOpen();
}

void LinkCore::Close() noexcept {
    Turn turn(*line_);
    line_->Close();
    openResult_ = ResultBadPort;
}

bool LinkCore::IsOpen() const noexcept {
    Turn turn(*line_);
    return openResult_ == ResultOk && line_->port.IsOpen();
}

void LinkCore::SetOptions(CoreOptions options) {
    Turn turn(*line_);
    options_ = options;
}

CoreOptions LinkCore::GetOptions() const {
    Turn turn(*line_);
    return options_;
}

void LinkCore::Resync(std::int32_t waitMs) {
    Line::Impl& l = *line_;
    api::Transport& t = l.port.GetTransport();
    api::Clock& clock = api::ActiveBackend().GetClock();
    const auto quiet = std::chrono::milliseconds(std::max(1, waitMs));
    const auto end = clock.Now() + quiet * kResyncWaits;
    std::array<std::uint8_t, 256> dropped;
    // Quiet since the failure, or since the last byte dropped here.
    auto lastHeard = std::min(l.unsettledSince, clock.Now());
    for (auto now = clock.Now(); now < end; now = clock.Now()) {
        if (t.Queued() == 0 && now >= lastHeard + quiet) break;
        if (t.ReadSome(dropped, std::min(end, std::max(now, lastHeard + quiet))) > 0) lastHeard = clock.Now();
    }
    l.unsettled = false;
}

} // namespace tarvik::link
