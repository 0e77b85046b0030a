// The fast link to the 0731 read-out unit: the exports' requests and reply rules (Protocol.h) over
// a port that stays open.
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "api/Pipeline.h"
#include "readout/Protocol.h"
#include "tarvik/Link.h"

namespace tarvik::link {

using namespace readout;

struct ReadoutLink::Impl {
    std::mutex mutex;
    api::OpenLine port;
    api::LineSettings line;
    std::int32_t openResult = ResultBadPort;
    Options options;
    std::string reply; // kept between requests: no allocation once it has grown
    // The length of the last complete reply to each command (by its name): the next reply is
    // likely as long, so the link rests through it instead of looking at the line for every byte.
    std::unordered_map<std::string_view, std::size_t> typical;

    std::int32_t Reopen() {
        if (openResult != ResultOk) return openResult;
        if (port.IsOpen()) return ResultOk;
        return port.Open(line, true);
    }

    // One command: its checks and request (`prepare(request)` returns 0 or the check's code), then
    // send, read until the line end, judge (`judge(reply, value)`); again when nothing or no line
    // end arrived while tries are left.
    template <class T, class Prepare, class Judge>
    UnitResult<T> Run(const char* name, Prepare&& prepare, Judge&& judge) {
        UnitResult<T> out;
        std::lock_guard lock(mutex);
        out.result = api::RunCall(name, [&]() -> std::int32_t {
            Request request;
            if (const std::int32_t rc = prepare(request)) return rc;
            const std::int32_t waitMs = options.timeoutMs > 0 ? options.timeoutMs : request.waitMs;
            if (api::TraceRecord* trace = api::TraceRecord::Current()) trace->Line(line, waitMs);
            try {
                if (const std::int32_t rc = Reopen(); rc != ResultOk) return rc;
                const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(request.line.data()),
                                             request.line.size());
                std::size_t& length = typical[name];
                const auto collect = [&](std::uint8_t b) {
                    reply += static_cast<char>(b);
                    return reply.size() >= kMaxReply ? ReplyRest{0, 0} : RestOfReply(reply, length);
                };
                std::int32_t result = ResultNoReply;
                for (std::int32_t attempt = 0; attempt <= std::max(0, options.retries); ++attempt) {
                    reply.clear();
                    result = api::Exchange(port, bytes, std::chrono::milliseconds(waitMs), collect,
                                           api::RemainingOf(RestOfReply(reply, length)));
                    const bool complete = LineComplete(reply);
                    if (complete) length = reply.size();
                    if (result == 0) result = judge(std::string_view(reply), out.value);
                    if (result != ResultNoReply && complete) break;
                }
                return result;
            } catch (...) {
                port.Close();
                throw;
            }
        });
        return out;
    }

    template <class T>
    UnitResult<T> ReadValue(const char* name, std::int32_t channel, const ValueRead& read) {
        return Run<T>(
            name, [&](Request& r) { return ValueReadRequest(channel, read, r); },
            [&](std::string_view text, T& value) { return JudgeValue(text, read, value); });
    }

    UnitResult<Done> WriteSource(const char* name, std::int32_t channel, bool serial) {
        return Run<Done>(
            name, [&](Request& r) { return SourceWriteRequest(channel, serial, r); },
            [&](std::string_view text, Done&) { return JudgeSourceWrite(text, serial); });
    }
};

ReadoutLink::ReadoutLink() : impl_(std::make_unique<Impl>()) {}
ReadoutLink::~ReadoutLink() = default;

std::int32_t ReadoutLink::Open(std::int32_t port, Options options) {
    return api::RunCall("ReadoutLink::Open", [&]() -> std::int32_t {
        std::lock_guard lock(impl_->mutex);
        impl_->port.Close();
        impl_->options = options;
        if (api::TraceRecord* trace = api::TraceRecord::Current()) trace->Port(port);
        impl_->openResult = api::ReadoutLine(port, api::Completion::FrameEnd, impl_->line);
        if (impl_->openResult == 0) impl_->openResult = impl_->port.Open(impl_->line, true);
        return impl_->openResult;
    });
}

void ReadoutLink::Close() noexcept {
    std::lock_guard lock(impl_->mutex);
    impl_->port.Close();
    impl_->openResult = ResultBadPort;
}

bool ReadoutLink::IsOpen() const noexcept {
    std::lock_guard lock(impl_->mutex);
    return impl_->port.IsOpen();
}

void ReadoutLink::SetOptions(Options options) {
    std::lock_guard lock(impl_->mutex);
    impl_->options = options;
}

Options ReadoutLink::GetOptions() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->options;
}

UnitResult<Done> ReadoutLink::TestComs() {
    return impl_->Run<Done>(
        "ReadoutLink::TestComs",
        [](Request& r) {
            LinkTestRequest(r);
            return 0;
        },
        [](std::string_view text, Done&) { return JudgeIdentity(text); });
}

UnitResult<std::uint8_t> ReadoutLink::ReadSetPointSource(std::int32_t channel) {
    return impl_->Run<std::uint8_t>(
        "ReadoutLink::ReadSetPointSource", [&](Request& r) { return SourceReadRequest(channel, r); },
        JudgeSource);
}

UnitResult<Done> ReadoutLink::WriteSerialSetPointSource(std::int32_t channel) {
    return impl_->WriteSource("ReadoutLink::WriteSerialSetPointSource", channel, true);
}

UnitResult<Done> ReadoutLink::WriteManualSetPointSource(std::int32_t channel) {
    return impl_->WriteSource("ReadoutLink::WriteManualSetPointSource", channel, false);
}

UnitResult<Done> ReadoutLink::WriteVORState(std::int32_t channel, std::int32_t state) {
    return impl_->Run<Done>(
        "ReadoutLink::WriteVORState", [&](Request& r) { return ValveWriteRequest(channel, state, r); },
        [&](std::string_view text, Done&) { return JudgeValveWrite(text, state); });
}

UnitResult<std::int32_t> ReadoutLink::ReadMeasureUnit(std::int32_t channel) {
    return impl_->ReadValue<std::int32_t>("ReadoutLink::ReadMeasureUnit", channel, kMeasureUnitRead);
}

UnitResult<std::int32_t> ReadoutLink::ReadTimeUnit(std::int32_t channel) {
    return impl_->ReadValue<std::int32_t>("ReadoutLink::ReadTimeUnit", channel, kTimeUnitRead);
}

UnitResult<float> ReadoutLink::ReadFullScale(std::int32_t channel) {
    return impl_->ReadValue<float>("ReadoutLink::ReadFullScale", channel, kFullScaleRead);
}

UnitResult<std::int32_t> ReadoutLink::ReadDecimalPlace(std::int32_t channel) {
    return impl_->ReadValue<std::int32_t>("ReadoutLink::ReadDecimalPlace", channel, kDecimalPlaceRead);
}

UnitResult<Done> ReadoutLink::WriteDecimalPlace(std::int32_t channel, std::int32_t places) {
    return impl_->Run<Done>(
        "ReadoutLink::WriteDecimalPlace",
        [&](Request& r) { return DecimalPlaceWriteRequest(channel, places, r); },
        [&](std::string_view text, Done&) { return JudgeDecimalPlaceWrite(text, places); });
}

UnitResult<float> ReadoutLink::ReadProcessVariable(std::int32_t channel) {
    return impl_->ReadValue<float>("ReadoutLink::ReadProcessVariable", channel, kProcessValueRead);
}

UnitResult<float> ReadoutLink::ReadSetPoint(std::int32_t channel) {
    return impl_->ReadValue<float>("ReadoutLink::ReadSetPoint", channel, kSetPointRead);
}

UnitResult<Done> ReadoutLink::WriteSetPoint(std::int32_t channel, std::int32_t digits, float setPoint) {
    return impl_->Run<Done>(
        "ReadoutLink::WriteSetPoint",
        [&](Request& r) { return SetPointWriteRequest(channel, digits, setPoint, r); },
        [](std::string_view text, Done&) { return JudgeSetPointWrite(text); });
}

} // namespace tarvik::link
