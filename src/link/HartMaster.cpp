// The fast link to any HART device: frames of the HART codec (src/hart) over the pipeline's open
// line. Replies are found with the codec's stream decoder, so burst frames and stray bytes on a
// shared line neither end nor spoil a reply.
#include "tarvik/HartMaster.h"

#include <algorithm>
#include <mutex>

#include "api/Pipeline.h"
#include "hart/Frame.h"
#include "hart/Status.h"
#include "hart/Universal.h"

namespace tarvik::link {

namespace {

using Clock = api::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::size_t kPollingSlots = hart::kMaxPollingAddress + 1;
constexpr std::size_t kLongSlots = 64;     // long addresses whose preambles are remembered
constexpr std::size_t kSlackBytes = 2;     // a reply under way may pause this long between bytes
constexpr milliseconds kSlack{20};         // plus this much for a loaded host
constexpr std::int32_t kScanBitTimes = 60; // a device starts its reply within this (with margin)
constexpr std::size_t kBitsPerByte = 11;   // start, 8 data, parity, stop
constexpr std::size_t kShortestReply = hart::kMinPreambles + 7; // preambles, short frame with status

api::Remaining Bytes(std::size_t n) {
    return {n, n};
}

} // namespace

struct HartMaster::Impl {
    std::mutex mutex;
    api::OpenLine port;
    api::LineSettings line;
    std::int32_t delayMs = 0;
    std::int32_t openResult = ResultBadPort;
    MasterOptions options;
    hart::FrameDecoder decoder;
    hart::FrameBytes request;
    std::array<std::uint8_t, 256> buffer{};
    std::array<std::uint8_t, kPollingSlots> pollingPreambles{}; // 0: not learnt
    struct Learnt {
        std::array<std::uint8_t, hart::kLongAddressSize> address{};
        std::uint8_t preambles = 0;
    };
    std::array<Learnt, kLongSlots> longPreambles{};
    std::size_t longNext = 0;
    std::function<void(const hart::Frame&)> burstHandler;

    std::int32_t Reopen() {
        if (openResult != ResultOk) return openResult;
        if (port.IsOpen()) return ResultOk;
        decoder.Reset();
        return port.Open(line, true);
    }

    std::size_t PreamblesFor(const hart::Address& a) const {
        std::uint8_t n = 0;
        if (!a.isLong) {
            n = pollingPreambles[a.polling];
        } else {
            for (const Learnt& l : longPreambles)
                if (l.preambles && l.address == a.unique) n = l.preambles;
        }
        return std::clamp<std::size_t>(n ? n : options.preambles, hart::kMinPreambles, hart::kMaxPreambles);
    }

    void Learn(const hart::Address& asked, const hart::Identity& id) {
        if (!id.complete || id.preambles == 0) return;
        if (!asked.isLong) pollingPreambles[asked.polling] = id.preambles;
        const auto unique = id.LongAddress().unique;
        for (Learnt& l : longPreambles)
            if (l.preambles && l.address == unique) {
                l.preambles = id.preambles;
                return;
            }
        longPreambles[longNext] = {unique, id.preambles};
        longNext = (longNext + 1) % kLongSlots;
    }

    static bool Answers(const hart::Frame& f, const hart::Address& to, std::uint8_t command) {
        if (f.type != hart::FrameType::Reply || f.command != command || f.isLong != to.isLong) return false;
        // A look-up sent to the broadcast address is answered from the device's own address.
        if (to.isLong && to.unique == hart::Address::Long({}).unique) return true;
        return f.DeviceAddress() == to;
    }

    // One request and its reply: ResultOk (reply copied to `out`), ResultBadChecksum (only damaged
    // frames came) or ResultNoReply. `wait` bounds the wait for the reply to start; a reply under
    // way is waited for to its end (never past `wait` plus a whole frame's time).
    std::int32_t Exchange(const hart::Address& to, std::uint8_t command, milliseconds wait, HartReply& out);
    // `scan`: one short wait, tries again only on a damaged reply (silence is an empty address).
    HartReply Run(const char* name, const hart::Address& to, std::uint8_t command,
                  std::span<const std::uint8_t> data, std::int32_t waitMs, bool scan);
};

std::int32_t HartMaster::Impl::Exchange(const hart::Address& to, std::uint8_t command, milliseconds wait,
                                        HartReply& out) {
    api::Transport& t = port.GetTransport();
    Clock& clock = api::ActiveBackend().GetClock();
    api::TraceRecord* trace = api::TraceRecord::Current();
    bool found = false, damaged = false, stale = true;
    const auto onFrame = [&](const hart::Frame& f) {
        if (!f.checksumOk) {
            damaged = damaged || f.type == hart::FrameType::Reply;
            return;
        }
        if (f.type == hart::FrameType::Burst) {
            if (burstHandler) burstHandler(f);
            return;
        }
        if (stale || found || !Answers(f, to, command)) return;
        found = true;
        out.responseCode = f.ResponseCode();
        out.deviceStatus = f.DeviceStatus();
        const auto d = f.Data();
        std::copy(d.begin(), d.end(), out.data.begin());
        out.size = d.size();
    };
    // Bytes queued before the request: late replies, burst frames (handed on).
    for (std::size_t n; (n = t.ReadQueued(buffer)) > 0;)
        decoder.Feed(std::span(buffer).first(n), onFrame);
    stale = damaged = false;
    const std::uint64_t skippedBefore = decoder.SkippedBytes();

    const Clock::time_point sent = clock.Now();
    t.Write(request.Bytes());
    if (trace) trace->Request(request.Bytes(), sent);
    const auto requestTime = api::LineTime(line, request.size);
    Clock::time_point deadline = sent + std::max<microseconds>(wait, requestTime);
    const Clock::time_point hard = deadline + api::LineTime(line, hart::kMaxFrameSize);
    clock.SleepFor(api::RestOf(line, Bytes(request.size + kShortestReply), wait));
    while (!found) {
        const std::size_t n = t.ReadSome(buffer, deadline);
        if (n == 0) break;
        const Clock::time_point now = clock.Now();
        if (trace) trace->Reply(std::span(buffer).first(n), now);
        decoder.Feed(std::span(buffer).first(n), onFrame);
        if (found) break;
        // Bytes are coming: wait for the rest of the frame under way.
        const std::size_t missing = decoder.Missing();
        deadline =
            std::min(hard, std::max(deadline, now + api::LineTime(line, missing + kSlackBytes) + kSlack));
        const auto left = std::chrono::ceil<microseconds>(deadline - now);
        clock.SleepFor(api::RestOf(line, Bytes(missing), left));
    }
    if (found) return ResultOk;
    // Bytes that made no good frame (damaged, stray, or a frame cut short, even in its preamble)
    // tell of a damaged reply.
    const bool partial = !decoder.Idle();
    decoder.Reset();
    return damaged || partial || decoder.SkippedBytes() != skippedBefore ? ResultBadChecksum : ResultNoReply;
}

HartReply HartMaster::Impl::Run(const char* name, const hart::Address& to, std::uint8_t command,
                                std::span<const std::uint8_t> data, std::int32_t waitMs, bool scan) {
    HartReply out;
    std::lock_guard lock(mutex);
    out.result = api::RunCall(name, [&]() -> std::int32_t {
        if (!to.isLong && to.polling > hart::kMaxPollingAddress) return ResultBadLength;
        if (!hart::BuildRequest(to, options.master, command, data, PreamblesFor(to), request))
            return ResultBadLength;
        const std::int32_t wait = waitMs > 0 ? waitMs : (options.timeoutMs > 0 ? options.timeoutMs : delayMs);
        if (api::TraceRecord* trace = api::TraceRecord::Current()) trace->Line(line, wait);
        try {
            if (const std::int32_t rc = Reopen(); rc != ResultOk) return rc;
            std::int32_t result = ResultNoReply;
            std::int32_t damagedLeft = std::max(0, options.retries);
            std::int32_t busyLeft = scan ? 0 : std::max(0, options.busyRetries);
            milliseconds backoff{std::max(0, options.busyBackoffMs)};
            for (;;) {
                ++out.attempts;
                out.size = 0;
                result = Exchange(to, command, milliseconds(wait), out);
                const hart::FirstStatus first = hart::DecodeFirstStatus(out.responseCode);
                const bool damaged = result != ResultOk || first.commError;
                const bool silent = result == ResultNoReply;
                if (damaged && !(scan && silent) && damagedLeft-- > 0) continue;
                if (result == ResultOk && first.Busy() && busyLeft-- > 0) {
                    api::ActiveBackend().GetClock().SleepFor(backoff);
                    backoff *= 2;
                    continue;
                }
                return result;
            }
        } catch (...) {
            port.Close();
            throw;
        }
    });
    if (out.result != ResultOk) out.size = 0;
    return out;
}

HartMaster::HartMaster() : impl_(std::make_unique<Impl>()) {}
HartMaster::~HartMaster() = default;

std::int32_t HartMaster::Open(std::int32_t port, std::int32_t baud, MasterOptions options) {
    return api::RunCall("HartMaster::Open", [&]() -> std::int32_t {
        std::lock_guard lock(impl_->mutex);
        impl_->port.Close();
        impl_->options = options;
        impl_->decoder.Reset();
        if (api::TraceRecord* trace = api::TraceRecord::Current()) trace->Port(port);
        impl_->openResult =
            api::DigitalLine(port, baud, api::Completion::FrameEnd, impl_->line, impl_->delayMs);
        if (impl_->openResult == 0) impl_->openResult = impl_->port.Open(impl_->line, true);
        return impl_->openResult;
    });
}

void HartMaster::Close() noexcept {
    std::lock_guard lock(impl_->mutex);
    impl_->port.Close();
    impl_->openResult = ResultBadPort;
}

bool HartMaster::IsOpen() const noexcept {
    std::lock_guard lock(impl_->mutex);
    return impl_->port.IsOpen();
}

void HartMaster::SetOptions(MasterOptions options) {
    std::lock_guard lock(impl_->mutex);
    impl_->options = options;
}

MasterOptions HartMaster::GetOptions() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->options;
}

void HartMaster::Learn(const hart::Address& address, const hart::Identity& identity) {
    std::lock_guard lock(impl_->mutex);
    impl_->Learn(address, identity);
}

void HartMaster::SetBurstHandler(std::function<void(const hart::Frame&)> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->burstHandler = std::move(handler);
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
        std::int32_t wait = perAddressMs;
        if (wait <= 0) {
            // The request's time on the wire, then the time a device may take to start its reply.
            std::lock_guard lock(impl_->mutex);
            const std::size_t bytes = impl_->PreamblesFor(to) + hart::FrameLength(false, 0);
            const auto bits = static_cast<std::int64_t>(bytes * kBitsPerByte) + kScanBitTimes;
            const std::int32_t baud = std::max(1, impl_->line.baud);
            wait = static_cast<std::int32_t>(bits * 1000 / baud) + static_cast<std::int32_t>(kSlack.count());
        }
        const HartReply r = impl_->Run("HartMaster::Scan", to, hart::kCmdReadUniqueId, {}, wait, true);
        const FoundDevice* hit = nullptr;
        if (r.Success()) {
            FoundDevice d{polling, hart::DecodeIdentity(r.Data())};
            if (d.identity.complete) {
                std::lock_guard lock(impl_->mutex);
                impl_->Learn(to, d.identity);
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
    std::lock_guard lock(impl_->mutex);
    Impl& m = *impl_;
    return api::RunCall("HartMaster::Listen", [&]() -> std::int32_t {
        try {
            if (const std::int32_t rc = m.Reopen(); rc != ResultOk) return rc;
            api::Transport& t = m.port.GetTransport();
            Clock& clock = api::ActiveBackend().GetClock();
            Clock::time_point end = clock.Now() + milliseconds(std::max(0, durationMs));
            // A frame under way at the end is waited for to its end (never past a whole frame's
            // time more): a request sent into it would collide with it.
            const Clock::time_point hard = end + api::LineTime(m.line, hart::kMaxFrameSize);
            bool more = true;
            while (more && clock.Now() < end) {
                const std::size_t n = t.ReadSome(m.buffer, end);
                if (n == 0) break;
                m.decoder.Feed(std::span(m.buffer).first(n), [&](const hart::Frame& f) {
                    if (more && f.checksumOk && f.type == hart::FrameType::Burst) more = onFrame(f);
                });
                if (!m.decoder.Idle())
                    end = std::min(
                        hard,
                        std::max(end, clock.Now() + api::LineTime(m.line, m.decoder.Missing() + kSlackBytes) +
                                          kSlack));
            }
            return ResultOk;
        } catch (...) {
            m.port.Close();
            throw;
        }
    });
}

} // namespace tarvik::link
