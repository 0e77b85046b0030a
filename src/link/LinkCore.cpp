#include "LinkCore.h"

#include <array>

namespace tarvik::link {
namespace {

constexpr int kResyncWaits = 4; // the longest resynchronisation, in reply waits

} // namespace

void LinkCore::Close() noexcept {
    std::lock_guard lock(mutex_);
    line_.Close();
    unsettled_ = false;
    openResult_ = ResultBadPort;
}

bool LinkCore::IsOpen() const noexcept {
    std::lock_guard lock(mutex_);
    return line_.IsOpen();
}

void LinkCore::SetOptions(Options options) {
    std::lock_guard lock(mutex_);
    options_ = options;
}

Options LinkCore::GetOptions() const {
    std::lock_guard lock(mutex_);
    return options_;
}

std::int32_t LinkCore::Reopen() {
    if (openResult_ != ResultOk) return openResult_;
    if (line_.IsOpen()) return ResultOk;
    return line_.Open(settings_, true);
}

void LinkCore::Resync(std::int32_t waitMs) {
    api::Transport& t = line_.GetTransport();
    api::Clock& clock = api::ActiveBackend().GetClock();
    const auto quiet = std::chrono::milliseconds(std::max(1, waitMs));
    const auto end = clock.Now() + quiet * kResyncWaits;
    std::array<std::uint8_t, 256> dropped;
    // Quiet since the failure, or since the last byte dropped here.
    auto lastHeard = std::min(unsettledSince_, clock.Now());
    for (auto now = clock.Now(); now < end; now = clock.Now()) {
        if (t.Queued() == 0 && now >= lastHeard + quiet) break;
        if (t.ReadSome(dropped, std::min(end, std::max(now, lastHeard + quiet))) > 0) lastHeard = clock.Now();
    }
    unsettled_ = false;
}

} // namespace tarvik::link
