// The fast link to the 0731 read-out unit: the exports' requests and reply rules (Protocol.h) over
// a port that stays open.
#include <functional>
#include <string_view>
#include <unordered_map>

#include "LinkCore.h"
#include "readout/Protocol.h"

namespace tarvik::link {

using namespace readout;

struct ReadoutLink::Impl {
    explicit Impl(std::shared_ptr<Line::Impl> line) : core(std::move(line)) {}
    LinkCore core;
    std::string reply; // kept between requests: no allocation once it has grown (both on the line's turn)
    // The length of the last complete reply to each command (by its name): the next reply is
    // likely as long, so the link rests through it instead of looking at the line for every byte.
    std::unordered_map<std::string_view, std::size_t> typical;

    // One command: its checks and request (`prepare(request)` returns 0 or the check's code), then
    // send, read until the line end, judge (`judge(reply, value)`); again when nothing or no line
    // end arrived while tries are left.
    template <class T, class Prepare, class Judge>
    UnitResult<T> Run(const char* name, Prepare&& prepare, Judge&& judge) {
        UnitResult<T> out;
        const auto judgeInto = [&](std::string_view text) { return judge(text, out.value); };
        // Asked on the line's turn, as the call is prepared.
        const auto typicalOf = [this, name] { return &typical[name]; };
        api::ReadoutCall call(std::ref(prepare), judgeInto, reply, typicalOf);
        out.result = core.Run(name, call, [] {});
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

ReadoutLink::ReadoutLink() : impl_(std::make_unique<Impl>(std::make_shared<Line::Impl>())) {}
ReadoutLink::ReadoutLink(Line& line) : impl_(std::make_unique<Impl>(line.Shared())) {}
ReadoutLink::~ReadoutLink() = default;

std::int32_t ReadoutLink::Open(std::int32_t port, Options options) {
    return impl_->core.Open("ReadoutLink::Open", port, CoreOf(options), api::ReadoutLineOf);
}

void ReadoutLink::Close() noexcept {
    impl_->core.Close();
}

bool ReadoutLink::IsOpen() const noexcept {
    return impl_->core.IsOpen();
}

void ReadoutLink::SetOptions(Options options) {
    impl_->core.SetOptions(CoreOf(options));
}

Options ReadoutLink::GetOptions() const {
    return LinkOf(impl_->core.GetOptions());
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
