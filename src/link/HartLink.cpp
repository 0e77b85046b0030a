// The fast link to HART devices: the exports' commands (Commands.h), request data and decoders
// (Replies.h) and reply judgement (Hart.h) over a port that stays open.
#include <bit>
#include <mutex>

#include "Exchange.h"
#include "digital/Replies.h"
#include "tarvik/Link.h"

namespace tarvik::link {

using namespace digital;
using api::DigitalReply;

namespace {

Address AddressOf(const DeviceAddress& d) {
    return Address::Device(d.deviceType, d.idHigh, d.idMid, d.idLow);
}

float FloatOf(std::int32_t pattern) {
    return std::bit_cast<float>(pattern);
}

std::int32_t PatternOf(float value) {
    return std::bit_cast<std::int32_t>(value);
}

Measurement MeasurementOf(const UnitValue& v) {
    return {FloatOf(v.value), v.units};
}

std::string TextOf(const std::uint8_t* begin, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(begin), n);
}

constexpr std::size_t kTagChars = 8;

} // namespace

struct HartLink::Impl {
    std::mutex mutex;
    LinkPort port;
    std::string device;
    comport::TBaudRate baud = comport::brDefault;
    std::int32_t delayMs = 0;
    std::int32_t openResult = ResultBadPort; // of the last Open; ResultOk once configured
    Options options;

    std::int32_t Reopen() {
        if (openResult != ResultOk) return openResult;
        if (port.IsOpen()) return ResultOk;
        return port.Open(device, comport::paOdd, baud);
    }

    // One command: open if needed, send, collect until complete, judge; again on a missing or
    // damaged reply while tries are left. `decode(reply, result, value)` is the command's decoder.
    template <class T, class Decode>
    HartResult<T> Run(const Address& address, const CommandSpec& desc, std::span<const std::uint8_t> data,
                      Decode&& decode) {
        HartResult<T> out;
        std::lock_guard lock(mutex);
        const RequestFrame frame = BuildFrame(address, desc.command, data);
        out.result = api::Guarded([&]() -> std::int32_t {
            try {
                if (const std::int32_t rc = Reopen(); rc != ResultOk) return rc;
                const auto wait =
                    std::chrono::milliseconds(options.timeoutMs > 0 ? options.timeoutMs : delayMs);
                std::int32_t result = ResultNoReply;
                for (std::int32_t attempt = 0; attempt <= std::max(0, options.retries); ++attempt) {
                    DigitalReply reply;
                    out.hasStatus = out.hasValue = false;
                    result = HartExchange(port, frame.Bytes(), desc, LinkPort::Clock::now() + wait, reply);
                    if (result == 0)
                        result = JudgeReply(
                            reply, desc, &out.status1, &out.status2,
                            [&](const DigitalReply& r, std::int32_t res) {
                                out.hasValue = true;
                                return decode(r, res, out.value);
                            },
                            &out.hasStatus);
                    if (!HartRetryable(result)) break;
                }
                return result;
            } catch (...) {
                // The port failed under the request: let the next request open it again.
                port.Close();
                out.hasStatus = out.hasValue = false;
                throw;
            }
        });
        return out;
    }

    template <class T, class Decode>
    HartResult<T> Run(const DeviceAddress& device, const CommandSpec& desc,
                      std::span<const std::uint8_t> data, Decode&& decode) {
        return Run<T>(AddressOf(device), desc, data, decode);
    }

    HartResult<Done> RunPlain(const DeviceAddress& device, const CommandSpec& desc,
                              std::span<const std::uint8_t> data) {
        return Run<Done>(device, desc, data,
                         [](const DigitalReply&, std::int32_t res, Done&) { return res; });
    }

    HartResult<Measurement> RunMeasurement(const DeviceAddress& device, const CommandSpec& desc,
                                           std::span<const std::uint8_t> data) {
        return Run<Measurement>(device, desc, data,
                                [](const DigitalReply& r, std::int32_t res, Measurement& m) {
                                    UnitValue v;
                                    res = DecodeUnitValue(r, res, v);
                                    m = MeasurementOf(v);
                                    return res;
                                });
    }

    HartResult<DeviceAddress> RunIdentity(const CommandSpec& desc, std::span<const std::uint8_t> data) {
        return Run<DeviceAddress>(Address::Broadcast(), desc, data,
                                  [](const DigitalReply& r, std::int32_t res, DeviceAddress& a) {
                                      IdentityRecord id;
                                      res = DecodeIdentity(r, res, id);
                                      a = {id.deviceType, id.idHigh, id.idMid, id.idLow};
                                      return res;
                                  });
    }

    HartResult<std::array<std::uint8_t, 4>> RunFourBytes(const DeviceAddress& device,
                                                         const CommandSpec& desc) {
        return Run<std::array<std::uint8_t, 4>>(device, desc, {}, DecodeSettings);
    }

    template <class T>
    static HartResult<T> Refused(std::int32_t code) {
        HartResult<T> out;
        out.result = code;
        return out;
    }
};

HartLink::HartLink() : impl_(std::make_unique<Impl>()) {}
HartLink::~HartLink() = default;

std::int32_t HartLink::Open(std::int32_t port, std::int32_t baud, Options options) {
    return api::Guarded([&]() -> std::int32_t {
        std::lock_guard lock(impl_->mutex);
        impl_->port.Close();
        impl_->options = options;
        const auto device = api::DeviceName(port);
        const auto code = api::BaudCode(baud);
        if (!device)
            impl_->openResult = ResultBadPort;
        else if (!code)
            impl_->openResult = ResultBadBaud;
        else {
            impl_->device = *device;
            impl_->baud = *code;
            impl_->delayMs = api::ResponseDelayMs(baud);
            impl_->openResult = impl_->port.Open(impl_->device, comport::paOdd, impl_->baud);
        }
        return impl_->openResult;
    });
}

void HartLink::Close() noexcept {
    std::lock_guard lock(impl_->mutex);
    impl_->port.Close();
    impl_->openResult = ResultBadPort;
}

bool HartLink::IsOpen() const noexcept {
    std::lock_guard lock(impl_->mutex);
    return impl_->port.IsOpen();
}

void HartLink::SetOptions(Options options) {
    std::lock_guard lock(impl_->mutex);
    impl_->options = options;
}

Options HartLink::GetOptions() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->options;
}

HartResult<DeviceAddress> HartLink::ReadDeviceId() {
    return impl_->RunIdentity(kReadUniqueIdentifier, {});
}

HartResult<DeviceAddress> HartLink::ReadDeviceIdByTag(std::string_view tag) {
    if (tag.size() != static_cast<std::size_t>(kTextLength))
        return Impl::Refused<DeviceAddress>(ResultBadTextLength);
    const auto data = TagData(tag.data());
    return impl_->RunIdentity(kReadUniqueIdentifierByTag, data);
}

HartResult<TagRecord> HartLink::ReadTag() {
    return impl_->Run<TagRecord>(Address::Broadcast(), kReadTagDescriptorDate, {},
                                 [](const DigitalReply& r, std::int32_t res, TagRecord& t) {
                                     digital::TagRecord raw{};
                                     res = DecodeTag(r, res, raw);
                                     t.tag = TextOf(raw.data(), kTagChars);
                                     t.descriptor =
                                         TextOf(raw.data() + kTagChars, kTagDescriptorChars - kTagChars);
                                     t.day = raw[kTagDescriptorChars];
                                     t.month = raw[kTagDescriptorChars + 1];
                                     t.yearSince1900 = raw[kTagDescriptorChars + 2];
                                     return res;
                                 });
}

HartResult<Measurement> HartLink::ReadFlow(const DeviceAddress& device) {
    return impl_->RunMeasurement(device, kReadFlow, {});
}

HartResult<Measurement> HartLink::ReadPressure(const DeviceAddress& device) {
    return impl_->RunMeasurement(device, kReadPressure, {});
}

HartResult<Measurement> HartLink::ReadTotalizer(const DeviceAddress& device) {
    return impl_->RunMeasurement(device, kReadTotalizer, {});
}

HartResult<Measurement> HartLink::ReadFullScaleRangePressure(const DeviceAddress& device,
                                                             std::uint8_t application) {
    if (!IsApplication(application)) return Impl::Refused<Measurement>(ResultBadApplication);
    const std::uint8_t data[] = {application};
    return impl_->RunMeasurement(device, kReadFullScaleRangePressure, data);
}

HartResult<SetPoint> HartLink::ReadSetPoint(const DeviceAddress& device) {
    return impl_->Run<SetPoint>(device, kReadSetPoint, {},
                                [](const DigitalReply& r, std::int32_t res, SetPoint& s) {
                                    SetPointRecord raw;
                                    res = DecodeSetPoint(r, res, raw);
                                    s = {FloatOf(raw.setPoint), raw.units, FloatOf(raw.setPointInUnits)};
                                    return res;
                                });
}

HartResult<Done> HartLink::WriteSetPoint(const DeviceAddress& device, std::uint8_t units, float setPoint) {
    if (!IsSetPointUnit(units)) return Impl::Refused<Done>(ResultBadSetPointUnit);
    return impl_->RunPlain(device, kWriteSetPoint, SetPointData(units, PatternOf(setPoint)));
}

HartResult<std::array<std::uint8_t, 4>> HartLink::ReadAddStatus(const DeviceAddress& device) {
    return impl_->Run<std::array<std::uint8_t, 4>>(device, kReadAdditionalStatus, {}, DecodeAdditionalStatus);
}

HartResult<GasData> HartLink::ReadGasData(const DeviceAddress& device, std::uint8_t gasNumber) {
    if (!IsGasNumber(gasNumber)) return Impl::Refused<GasData>(ResultBadGasNumber);
    const std::uint8_t data[] = {gasNumber};
    return impl_->Run<GasData>(device, kReadGasData, data,
                               [](const DigitalReply& r, std::int32_t res, GasData& g) {
                                   GasDataRecord raw;
                                   res = DecodeGasData(r, res, raw);
                                   for (std::size_t i = 0; i < g.entries.size(); ++i)
                                       g.entries[i] = {FloatOf(raw.values[i]), raw.units[i]};
                                   return res;
                               });
}

HartResult<std::string> HartLink::ReadProcessGasType(const DeviceAddress& device, std::uint8_t gasNumber) {
    if (!IsGasNumber(gasNumber)) return Impl::Refused<std::string>(ResultBadGasNumber);
    const std::uint8_t data[] = {gasNumber};
    return impl_->Run<std::string>(device, kReadProcessGasType, data,
                                   [](const DigitalReply& r, std::int32_t res, std::string& text) {
                                       GasTypeText raw;
                                       res = DecodeGasTypeText(r, res, raw);
                                       text.assign(raw.begin(), raw.end());
                                       return res;
                                   });
}

HartResult<std::array<std::uint8_t, 4>> HartLink::ReadOperationalSettings(const DeviceAddress& device) {
    return impl_->RunFourBytes(device, kReadOperationalSettings);
}

HartResult<std::array<std::uint8_t, 4>>
HartLink::ReadOperationalSettingsPressure(const DeviceAddress& device) {
    return impl_->RunFourBytes(device, kReadOperationalSettingsPressure);
}

HartResult<Done> HartLink::SelectFlowUnit(const DeviceAddress& device, std::uint8_t unitData1,
                                          std::uint8_t unitData2) {
    const std::uint8_t data[] = {unitData1, unitData2};
    return impl_->RunPlain(device, kSelectFlowUnit, data);
}

HartResult<Done> HartLink::SelectGasNumber(const DeviceAddress& device, std::uint8_t gasNumber) {
    if (!IsGasNumber(gasNumber)) return Impl::Refused<Done>(ResultBadGasNumber);
    const std::uint8_t data[] = {gasNumber};
    return impl_->RunPlain(device, kSelectGasNumber, data);
}

HartResult<Done> HartLink::SelectPressureUnit(const DeviceAddress& device, std::uint8_t units) {
    const std::uint8_t data[] = {units};
    return impl_->RunPlain(device, kSelectPressureUnit, data);
}

HartResult<Done> HartLink::SelectPressureApplication(const DeviceAddress& device, std::uint8_t application) {
    if (!IsApplication(application)) return Impl::Refused<Done>(ResultBadApplication);
    const std::uint8_t data[] = {application};
    return impl_->RunPlain(device, kSelectPressureApplication, data);
}

HartResult<std::uint8_t> HartLink::ReadVORState(const DeviceAddress& device) {
    return impl_->Run<std::uint8_t>(device, kReadVORState, {}, DecodeState);
}

HartResult<Done> HartLink::WriteVORState(const DeviceAddress& device, std::uint8_t state) {
    if (!IsState(state)) return Impl::Refused<Done>(ResultBadVORState);
    const std::uint8_t data[] = {state};
    return impl_->RunPlain(device, kWriteVORState, data);
}

HartResult<std::uint8_t> HartLink::ReadTotalizerState(const DeviceAddress& device) {
    return impl_->Run<std::uint8_t>(device, kReadTotalizerState, {}, DecodeState);
}

HartResult<Done> HartLink::WriteTotalizerState(const DeviceAddress& device, std::uint8_t state) {
    if (!IsState(state)) return Impl::Refused<Done>(ResultBadTotalizerState);
    const std::uint8_t data[] = {state};
    return impl_->RunPlain(device, kWriteTotalizerState, data);
}

HartResult<Done> HartLink::WriteProtect(const DeviceAddress& device, std::string_view text,
                                        std::uint8_t mode) {
    if (text.size() != static_cast<std::size_t>(kTextLength)) return Impl::Refused<Done>(ResultBadTextLength);
    return impl_->Run<Done>(
        device, kWriteProtect, ProtectData(text.data(), mode),
        [mode](const DigitalReply& r, std::int32_t res, Done&) { return DecodeProtectEcho(r, res, mode); });
}

HartResult<Done> HartLink::BackupDatabase(const DeviceAddress& device) {
    const std::uint8_t data[] = {kEepromBurn};
    return impl_->Run<Done>(device, kEepromControl, data, [](const DigitalReply& r, std::int32_t res, Done&) {
        return DecodeBackupEcho(r, res);
    });
}

} // namespace tarvik::link
