// The fast link to HART devices: the exports' commands (Commands.h), request data and decoders
// (Replies.h) and reply judgement (Hart.h) over a port that stays open.
#include <bit>

#include "LinkCore.h"
#include "digital/Replies.h"

namespace tarvik::link {

using namespace digital;

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
    explicit Impl(std::shared_ptr<Line::Impl> line) : core(std::move(line)) {}
    LinkCore core;

    // One command: open if needed, send, collect until complete, judge; again on a missing or
    // damaged reply while tries are left. `decode(reply, result, value)` is the command's decoder.
    template <class T, class Decode>
    HartResult<T> Run(const char* name, const Address& address, const CommandSpec& desc,
                      std::span<const std::uint8_t> data, Decode&& decode) {
        HartResult<T> out;
        api::DigitalCall call(
            address, desc, data, &out.status1, &out.status2,
            [&](const Reply& r, std::int32_t res) { return decode(r, res, out.value); }, &out.hasStatus,
            &out.hasValue);
        out.result = core.Run(name, call, [&out] { out.hasStatus = out.hasValue = false; });
        return out;
    }

    template <class T, class Decode>
    HartResult<T> Run(const char* name, const DeviceAddress& device, const CommandSpec& desc,
                      std::span<const std::uint8_t> data, Decode&& decode) {
        return Run<T>(name, AddressOf(device), desc, data, decode);
    }

    HartResult<Done> RunPlain(const char* name, const DeviceAddress& device, const CommandSpec& desc,
                              std::span<const std::uint8_t> data) {
        return Run<Done>(name, device, desc, data, [](const Reply&, std::int32_t res, Done&) { return res; });
    }

    HartResult<Measurement> RunMeasurement(const char* name, const DeviceAddress& device,
                                           const CommandSpec& desc, std::span<const std::uint8_t> data) {
        return Run<Measurement>(name, device, desc, data,
                                [](const Reply& r, std::int32_t res, Measurement& m) {
                                    UnitValue v;
                                    res = DecodeUnitValue(r, res, v);
                                    m = MeasurementOf(v);
                                    return res;
                                });
    }

    HartResult<DeviceAddress> RunIdentity(const char* name, const CommandSpec& desc,
                                          std::span<const std::uint8_t> data) {
        return Run<DeviceAddress>(name, Address::Broadcast(), desc, data,
                                  [](const Reply& r, std::int32_t res, DeviceAddress& a) {
                                      IdentityRecord id;
                                      res = DecodeIdentity(r, res, id);
                                      a = {id.deviceType, id.idHigh, id.idMid, id.idLow};
                                      return res;
                                  });
    }

    HartResult<std::array<std::uint8_t, 4>> RunFourBytes(const char* name, const DeviceAddress& device,
                                                         const CommandSpec& desc) {
        return Run<std::array<std::uint8_t, 4>>(name, device, desc, {}, DecodeSettings);
    }

    // A call refused by its own argument checks (traced like any other).
    template <class T>
    static HartResult<T> Refused(const char* name, std::int32_t code) {
        HartResult<T> out;
        out.result = api::RunCall(name, [code] { return code; });
        return out;
    }
};

HartLink::HartLink() : impl_(std::make_unique<Impl>(std::make_shared<Line::Impl>())) {}
HartLink::HartLink(Line& line) : impl_(std::make_unique<Impl>(line.Shared())) {}
HartLink::~HartLink() = default;

std::int32_t HartLink::Open(std::int32_t port, std::int32_t baud, Options options) {
    return impl_->core.Open("HartLink::Open", port, CoreOf(options), api::DigitalLineOf(baud));
}

void HartLink::Close() noexcept {
    impl_->core.Close();
}

bool HartLink::IsOpen() const noexcept {
    return impl_->core.IsOpen();
}

void HartLink::SetOptions(Options options) {
    impl_->core.SetOptions(CoreOf(options));
}

Options HartLink::GetOptions() const {
    return LinkOf(impl_->core.GetOptions());
}

HartResult<DeviceAddress> HartLink::ReadDeviceId() {
    return impl_->RunIdentity("HartLink::ReadDeviceId", kReadUniqueIdentifier, {});
}

HartResult<DeviceAddress> HartLink::ReadDeviceIdByTag(std::string_view tag) {
    constexpr const char* kName = "HartLink::ReadDeviceIdByTag";
    RequestData data;
    if (const std::int32_t rc = TagRequest(tag.data(), static_cast<std::int64_t>(tag.size()), data))
        return Impl::Refused<DeviceAddress>(kName, rc);
    return impl_->RunIdentity(kName, kReadUniqueIdentifierByTag, data.Bytes());
}

HartResult<TagRecord> HartLink::ReadTag() {
    return impl_->Run<TagRecord>("HartLink::ReadTag", Address::Broadcast(), kReadTagDescriptorDate, {},
                                 [](const Reply& r, std::int32_t res, TagRecord& t) {
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
    return impl_->RunMeasurement("HartLink::ReadFlow", device, kReadFlow, {});
}

HartResult<Measurement> HartLink::ReadPressure(const DeviceAddress& device) {
    return impl_->RunMeasurement("HartLink::ReadPressure", device, kReadPressure, {});
}

HartResult<Measurement> HartLink::ReadTotalizer(const DeviceAddress& device) {
    return impl_->RunMeasurement("HartLink::ReadTotalizer", device, kReadTotalizer, {});
}

HartResult<Measurement> HartLink::ReadFullScaleRangePressure(const DeviceAddress& device,
                                                             std::uint8_t application) {
    constexpr const char* kName = "HartLink::ReadFullScaleRangePressure";
    RequestData data;
    if (const std::int32_t rc = ApplicationRequest(application, data))
        return Impl::Refused<Measurement>(kName, rc);
    return impl_->RunMeasurement(kName, device, kReadFullScaleRangePressure, data.Bytes());
}

HartResult<SetPoint> HartLink::ReadSetPoint(const DeviceAddress& device) {
    return impl_->Run<SetPoint>("HartLink::ReadSetPoint", device, kReadSetPoint, {},
                                [](const Reply& r, std::int32_t res, SetPoint& s) {
                                    SetPointRecord raw;
                                    res = DecodeSetPoint(r, res, raw);
                                    s = {FloatOf(raw.setPoint), raw.units, FloatOf(raw.setPointInUnits)};
                                    return res;
                                });
}

HartResult<Done> HartLink::WriteSetPoint(const DeviceAddress& device, std::uint8_t units, float setPoint) {
    constexpr const char* kName = "HartLink::WriteSetPoint";
    RequestData data;
    if (const std::int32_t rc = SetPointWriteRequest(units, PatternOf(setPoint), data))
        return Impl::Refused<Done>(kName, rc);
    return impl_->RunPlain(kName, device, kWriteSetPoint, data.Bytes());
}

HartResult<std::array<std::uint8_t, 4>> HartLink::ReadAddStatus(const DeviceAddress& device) {
    return impl_->Run<std::array<std::uint8_t, 4>>("HartLink::ReadAddStatus", device, kReadAdditionalStatus,
                                                   {}, DecodeAdditionalStatus);
}

HartResult<GasData> HartLink::ReadGasData(const DeviceAddress& device, std::uint8_t gasNumber) {
    constexpr const char* kName = "HartLink::ReadGasData";
    RequestData data;
    if (const std::int32_t rc = GasNumberRequest(gasNumber, data)) return Impl::Refused<GasData>(kName, rc);
    return impl_->Run<GasData>(kName, device, kReadGasData, data.Bytes(),
                               [](const Reply& r, std::int32_t res, GasData& g) {
                                   GasDataRecord raw;
                                   res = DecodeGasData(r, res, raw);
                                   for (std::size_t i = 0; i < g.entries.size(); ++i)
                                       g.entries[i] = {FloatOf(raw.values[i]), raw.units[i]};
                                   return res;
                               });
}

HartResult<std::string> HartLink::ReadProcessGasType(const DeviceAddress& device, std::uint8_t gasNumber) {
    constexpr const char* kName = "HartLink::ReadProcessGasType";
    RequestData data;
    if (const std::int32_t rc = GasNumberRequest(gasNumber, data))
        return Impl::Refused<std::string>(kName, rc);
    return impl_->Run<std::string>(kName, device, kReadProcessGasType, data.Bytes(),
                                   [](const Reply& r, std::int32_t res, std::string& text) {
                                       GasTypeText raw;
                                       res = DecodeGasTypeText(r, res, raw);
                                       text.assign(raw.begin(), raw.end());
                                       return res;
                                   });
}

HartResult<std::array<std::uint8_t, 4>> HartLink::ReadOperationalSettings(const DeviceAddress& device) {
    return impl_->RunFourBytes("HartLink::ReadOperationalSettings", device, kReadOperationalSettings);
}

HartResult<std::array<std::uint8_t, 4>>
HartLink::ReadOperationalSettingsPressure(const DeviceAddress& device) {
    return impl_->RunFourBytes("HartLink::ReadOperationalSettingsPressure", device,
                               kReadOperationalSettingsPressure);
}

HartResult<Done> HartLink::SelectFlowUnit(const DeviceAddress& device, std::uint8_t unitData1,
                                          std::uint8_t unitData2) {
    const std::uint8_t data[] = {unitData1, unitData2};
    return impl_->RunPlain("HartLink::SelectFlowUnit", device, kSelectFlowUnit, data);
}

HartResult<Done> HartLink::SelectGasNumber(const DeviceAddress& device, std::uint8_t gasNumber) {
    constexpr const char* kName = "HartLink::SelectGasNumber";
    RequestData data;
    if (const std::int32_t rc = GasNumberRequest(gasNumber, data)) return Impl::Refused<Done>(kName, rc);
    return impl_->RunPlain(kName, device, kSelectGasNumber, data.Bytes());
}

HartResult<Done> HartLink::SelectPressureUnit(const DeviceAddress& device, std::uint8_t units) {
    const std::uint8_t data[] = {units};
    return impl_->RunPlain("HartLink::SelectPressureUnit", device, kSelectPressureUnit, data);
}

HartResult<Done> HartLink::SelectPressureApplication(const DeviceAddress& device, std::uint8_t application) {
    constexpr const char* kName = "HartLink::SelectPressureApplication";
    RequestData data;
    if (const std::int32_t rc = ApplicationRequest(application, data)) return Impl::Refused<Done>(kName, rc);
    return impl_->RunPlain(kName, device, kSelectPressureApplication, data.Bytes());
}

HartResult<std::uint8_t> HartLink::ReadVORState(const DeviceAddress& device) {
    return impl_->Run<std::uint8_t>("HartLink::ReadVORState", device, kReadVORState, {}, DecodeState);
}

HartResult<Done> HartLink::WriteVORState(const DeviceAddress& device, std::uint8_t state) {
    constexpr const char* kName = "HartLink::WriteVORState";
    RequestData data;
    if (const std::int32_t rc = VORStateRequest(state, data)) return Impl::Refused<Done>(kName, rc);
    return impl_->RunPlain(kName, device, kWriteVORState, data.Bytes());
}

HartResult<std::uint8_t> HartLink::ReadTotalizerState(const DeviceAddress& device) {
    return impl_->Run<std::uint8_t>("HartLink::ReadTotalizerState", device, kReadTotalizerState, {},
                                    DecodeState);
}

HartResult<Done> HartLink::WriteTotalizerState(const DeviceAddress& device, std::uint8_t state) {
    constexpr const char* kName = "HartLink::WriteTotalizerState";
    RequestData data;
    if (const std::int32_t rc = TotalizerStateRequest(state, data)) return Impl::Refused<Done>(kName, rc);
    return impl_->RunPlain(kName, device, kWriteTotalizerState, data.Bytes());
}

HartResult<Done> HartLink::WriteProtect(const DeviceAddress& device, std::string_view text,
                                        std::uint8_t mode) {
    constexpr const char* kName = "HartLink::WriteProtect";
    RequestData data;
    if (const std::int32_t rc =
            ProtectRequest(text.data(), static_cast<std::int64_t>(text.size()), mode, data))
        return Impl::Refused<Done>(kName, rc);
    return impl_->Run<Done>(
        kName, device, kWriteProtect, data.Bytes(),
        [mode](const Reply& r, std::int32_t res, Done&) { return DecodeProtectEcho(r, res, mode); });
}

HartResult<Done> HartLink::BackupDatabase(const DeviceAddress& device) {
    const std::uint8_t data[] = {kEepromBurn};
    return impl_->Run<Done>("HartLink::BackupDatabase", device, kEepromControl, data,
                            [](const Reply& r, std::int32_t res, Done&) { return DecodeBackupEcho(r, res); });
}

} // namespace tarvik::link
