// The C surface of the HART master (include/tarvik/HartC.h): plain structs in, plain structs out,
// every failure a result code.
#include "tarvik/HartC.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "HartCInternal.h"
#include "api/Pipeline.h"
#include "hart/Frame.h"
#include "hart/Status.h"
#include "hart/Universal.h"
#include "tarvik/HartMaster.h"

struct TarvikHartMaster {
    tarvik::link::HartMaster master;
};

namespace {

namespace h = tarvik::hart;
using tarvik::api::Guarded;
using tarvik::link::HartReply;

constexpr std::uint8_t kAlarmingStatus = h::kStatusMalfunction | h::kStatusMoreStatus |
                                         h::kStatusCurrentSaturated | h::kStatusNonPvOutOfLimits |
                                         h::kStatusPvOutOfLimits;
constexpr std::int32_t kLastCommand = 255;

bool ToAddress(const TarvikHartAddress* in, h::Address& out) {
    if (!in) return false;
    if (in->isLong) {
        std::array<std::uint8_t, h::kLongAddressSize> bytes{};
        std::copy(std::begin(in->unique), std::end(in->unique), bytes.begin());
        out = h::Address::Long(bytes);
        return true;
    }
    if (in->polling > h::kMaxPollingAddress) return false;
    out = h::Address::Polling(in->polling);
    return true;
}

TarvikHartAddress FromAddress(const h::Address& a) {
    TarvikHartAddress out{};
    out.isLong = a.isLong ? 1 : 0;
    out.polling = a.polling;
    std::copy(a.unique.begin(), a.unique.end(), out.unique);
    return out;
}

std::int32_t Judge(const HartReply& r) {
    if (!r.Replied()) return r.result;
    if (r.responseCode != h::kRcSuccess) return ResultErrorReply;
    return (r.deviceStatus & kAlarmingStatus) != 0 ? ResultDeviceStatus : ResultOk;
}

std::int32_t Copy(const HartReply& r, TarvikHartReply* out) {
    *out = TarvikHartReply{};
    out->result = r.result;
    out->judged = Judge(r);
    out->attempts = r.attempts;
    out->responseCode = r.responseCode;
    out->deviceStatus = r.deviceStatus;
    const auto data = r.Data();
    out->size = static_cast<std::uint32_t>(data.size());
    std::copy(data.begin(), data.end(), out->data);
    return r.result;
}

// A call that needs an open master, an address and a reply buffer.
template <class F>
std::int32_t Addressed(TarvikHartMaster* m, const TarvikHartAddress* address, TarvikHartReply* reply,
                       F&& body) {
    return Guarded([&]() -> std::int32_t {
        if (!m) return ResultBadPort;
        h::Address to;
        if (!reply || !ToAddress(address, to)) return ResultBadLength;
        *reply = TarvikHartReply{};
        reply->result = reply->judged = ResultBadLength;
        return body(m->master, to);
    });
}

std::int32_t Refused(TarvikHartReply* reply, std::int32_t result) {
    reply->result = reply->judged = result;
    return result;
}

// The scans of both callbacks: `heard` gets each address and its identity fields (none: nothing
// found there) and says whether to go on.
template <class F>
std::int32_t ScanLine(TarvikHartMaster* m, int32_t first, int32_t last, int32_t perAddressMs, int32_t* found,
                      F&& heard) {
    return Guarded([&]() -> std::int32_t {
        if (!m) return ResultBadPort;
        const std::int32_t top = h::kMaxPollingAddress;
        if (first < 0 || last > top || first > last) return ResultBadLength;
        if (!m->master.IsOpen()) return ResultBadPort;
        const auto devices = m->master.ScanWhile(
            static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(last), std::max(0, perAddressMs),
            [&](std::uint8_t polling, const tarvik::link::FoundDevice* d) {
                TarvikHartField fields[TARVIK_HART_MAX_FIELDS];
                std::int32_t n = 0;
                if (d) tarvik::link::c::IdentityFields(d->identity, fields, std::size(fields), &n);
                return heard(static_cast<std::int32_t>(polling), d ? fields : nullptr, n);
            });
        if (found) *found = static_cast<std::int32_t>(devices.size());
        return ResultOk;
    });
}

} // namespace

extern "C" {

TarvikHartMaster* TARVIK_HART_CALL TarvikHartCreate(void) {
    try {
        return new TarvikHartMaster;
    } catch (...) {
        return nullptr;
    }
}

void TARVIK_HART_CALL TarvikHartDestroy(TarvikHartMaster* master) {
    delete master; // the master's destructor closes the port and cannot throw
}

int32_t TARVIK_HART_CALL TarvikHartDefaultOptions(TarvikHartOptions* options) {
    if (!options) return ResultBadLength;
    const tarvik::link::MasterOptions o;
    *options = {
        o.timeoutMs, o.retries, o.busyRetries, o.busyBackoffMs, o.master == h::Master::Secondary ? 1 : 0,
        o.preambles};
    return ResultOk;
}

int32_t TARVIK_HART_CALL TarvikHartOpen(TarvikHartMaster* m, int32_t port, int32_t baud,
                                        const TarvikHartOptions* options) {
    return Guarded([&]() -> std::int32_t {
        if (!m) return ResultBadPort;
        tarvik::link::MasterOptions o;
        if (options) {
            if (options->preambles < static_cast<std::int32_t>(h::kMinPreambles) ||
                options->preambles > static_cast<std::int32_t>(h::kMaxPreambles))
                return ResultBadLength;
            o.timeoutMs = std::max(0, options->timeoutMs);
            o.retries = std::max(0, options->retries);
            o.busyRetries = std::max(0, options->busyRetries);
            o.busyBackoffMs = std::max(0, options->busyBackoffMs);
            o.master = options->secondary ? h::Master::Secondary : h::Master::Primary;
            o.preambles = static_cast<std::uint8_t>(options->preambles);
        }
        return m->master.Open(port, baud, o);
    });
}

int32_t TARVIK_HART_CALL TarvikHartClose(TarvikHartMaster* m) {
    if (!m) return ResultBadPort;
    m->master.Close();
    return ResultOk;
}

int32_t TARVIK_HART_CALL TarvikHartCommand(TarvikHartMaster* m, const TarvikHartAddress* address,
                                           int32_t command, const uint8_t* data, int32_t size,
                                           TarvikHartReply* reply) {
    return Addressed(
        m, address, reply, [&](tarvik::link::HartMaster& master, const h::Address& to) -> std::int32_t {
            if (command < 0 || command > kLastCommand || size < 0 ||
                size > static_cast<std::int32_t>(h::kMaxData) || (size > 0 && !data))
                return ResultBadLength;
            const std::span<const std::uint8_t> bytes(data, data ? static_cast<std::size_t>(size) : 0);
            return Copy(master.Command(to, static_cast<std::uint8_t>(command), bytes), reply);
        });
}

int32_t TARVIK_HART_CALL TarvikHartDecode(int32_t command, const uint8_t* data, int32_t size,
                                          TarvikHartField* fields, int32_t capacity, int32_t* count) {
    return Guarded([&]() -> std::int32_t {
        if (!count || !fields || capacity < 0 || command < 0 || command > kLastCommand || size < 0 ||
            size > static_cast<std::int32_t>(h::kMaxData) || (size > 0 && !data))
            return ResultBadLength;
        *count = 0;
        const std::span<const std::uint8_t> bytes(data, data ? static_cast<std::size_t>(size) : 0);
        return tarvik::link::c::DecodeFields(static_cast<std::uint8_t>(command), bytes, fields,
                                             static_cast<std::size_t>(capacity), count);
    });
}

int32_t TARVIK_HART_CALL TarvikHartScan(TarvikHartMaster* m, int32_t first, int32_t last,
                                        int32_t perAddressMs, TarvikHartScanCallback progress, void* context,
                                        int32_t* found) {
    return ScanLine(m, first, last, perAddressMs, found,
                    [&](std::int32_t polling, const TarvikHartField* identity, std::int32_t n) {
                        if (progress) progress(context, polling, identity, n);
                        return true;
                    });
}

int32_t TARVIK_HART_CALL TarvikHartScanUntil(TarvikHartMaster* m, int32_t first, int32_t last,
                                             int32_t perAddressMs, TarvikHartScanStopCallback progress,
                                             void* context, int32_t* found) {
    if (!progress) return ResultBadLength;
    return ScanLine(m, first, last, perAddressMs, found,
                    [&](std::int32_t polling, const TarvikHartField* identity, std::int32_t n) {
                        return progress(context, polling, identity, n) != 0;
                    });
}

int32_t TARVIK_HART_CALL TarvikHartListen(TarvikHartMaster* m, int32_t durationMs,
                                          TarvikHartFrameCallback onFrame, void* context) {
    return Guarded([&]() -> std::int32_t {
        if (!m) return ResultBadPort;
        if (!onFrame) return ResultBadLength;
        return m->master.Listen(durationMs, [&](const h::Frame& f) {
            TarvikHartFrame out{};
            out.address = FromAddress(f.DeviceAddress());
            out.command = f.command;
            out.responseCode = f.ResponseCode();
            out.deviceStatus = f.DeviceStatus();
            const auto data = f.Data();
            out.size = static_cast<std::uint32_t>(data.size());
            std::copy(data.begin(), data.end(), out.data);
            return onFrame(context, &out) != 0;
        });
    });
}

int32_t TARVIK_HART_CALL TarvikHartWriteTag(TarvikHartMaster* m, const TarvikHartAddress* address,
                                            const char* tag, const char* descriptor, TarvikHartReply* reply) {
    return Addressed(m, address, reply,
                     [&](tarvik::link::HartMaster& master, const h::Address& to) -> std::int32_t {
                         if (!tag || !h::Packable(tag, h::kTagChars) ||
                             (descriptor && !h::Packable(descriptor, h::kDescriptorChars)))
                             return Refused(reply, ResultBadTextLength);
                         const auto now = master.ReadTagDescriptorDate(to);
                         if (!now.Ok()) return Copy(now.reply, reply);
                         h::TagDescriptorDate record = now.value;
                         record.tag = tag;
                         if (descriptor) record.descriptor = descriptor;
                         return Copy(master.WriteTagDescriptorDate(to, record).reply, reply);
                     });
}

int32_t TARVIK_HART_CALL TarvikHartWriteMessage(TarvikHartMaster* m, const TarvikHartAddress* address,
                                                const char* message, TarvikHartReply* reply) {
    return Addressed(m, address, reply,
                     [&](tarvik::link::HartMaster& master, const h::Address& to) -> std::int32_t {
                         if (!message || !h::Packable(message, h::kMessageChars))
                             return Refused(reply, ResultBadTextLength);
                         return Copy(master.WriteMessage(to, message).reply, reply);
                     });
}

int32_t TARVIK_HART_CALL TarvikHartWritePollingAddress(TarvikHartMaster* m, const TarvikHartAddress* address,
                                                       int32_t polling, TarvikHartReply* reply) {
    return Addressed(
        m, address, reply, [&](tarvik::link::HartMaster& master, const h::Address& to) -> std::int32_t {
            if (polling < 0 || polling > h::kMaxPollingAddress) return Refused(reply, ResultBadLength);
            return Copy(master.WritePollingAddress(to, static_cast<std::uint8_t>(polling)).reply, reply);
        });
}

} // extern "C"
