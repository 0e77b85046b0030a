// Every export against any reply: the first bytes choose the export and its arguments, the rest is
// what the device sends back. No crash, no sanitizer report, no result outside the export's
// documented set, and no output written on a result that must not write it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "FuzzLine.h"
#include "TarvikDLL.h"

namespace {

constexpr std::uint8_t kUntouched = 0xA5;

// Output storage with a known fill, to see what a call wrote.
struct Arena {
    alignas(8) std::uint8_t bytes[256];
    Arena() { std::memset(bytes, kUntouched, sizeof bytes); }
    template <class T>
    T* At(std::size_t offset) {
        return reinterpret_cast<T*>(bytes + offset);
    }
    // Offsets 248 and 249 hold Status1 and Status2 of the digital exports.
    std::uint8_t* S1() { return bytes + 248; }
    std::uint8_t* S2() { return bytes + 249; }
    bool UntouchedExcept(std::initializer_list<std::size_t> written) const {
        for (std::size_t i = 0; i < sizeof bytes; ++i) {
            bool allowed = false;
            for (std::size_t w : written)
                allowed |= w == i;
            if (!allowed && bytes[i] != kUntouched) return false;
        }
        return true;
    }
};

struct Args {
    std::int32_t port, baud, a, b, c;
};

using Export = std::function<int(const Args&, Arena&)>;

struct Entry {
    Export call;
    std::set<int> extra; // codes beyond the family's common set
    bool digital = true;
};

const std::set<int> kDigitalCommon{ResultOk,         ResultDeviceStatus,      ResultBadPort,
                                   ResultBadBaud,    ResultPortAbsent,        ResultPortBusy,
                                   ResultNoReply,    ResultBadLength,         ResultBadChecksum,
                                   ResultErrorReply, ResultErrorReplyChecksum};
const std::set<int> kReadoutCommon{ResultOk,       ResultBadPort, ResultPortAbsent,
                                   ResultPortBusy, ResultNoReply, ResultBadChannel};

std::vector<Entry> Exports() {
    using A = const Args&;
    return {
        {[](A x, Arena& o) {
             return ReadFlow(x.port, x.baud, 1, 2, 3, x.a, o.At<int32_t>(0), o.At<uint8_t>(8), o.S1(),
                             o.S2());
         },
         {}},
        {[](A x, Arena& o) {
             return ReadSetPoint(x.port, x.baud, 1, 2, 3, 4, o.At<int32_t>(0), o.At<uint8_t>(8),
                                 o.At<int32_t>(16), o.S1(), o.S2());
         },
         {}},
        {[](A x, Arena& o) { return WriteSetPoint(x.port, x.baud, 1, 2, 3, 4, x.a, x.b, o.S1(), o.S2()); },
         {ResultBadSetPointUnit}},
        {[](A x, Arena& o) {
             return ReadDeviceID(x.a % 3, x.port, x.baud, "TAGTAG00", x.b % 10, o.At<uint8_t>(0),
                                 o.At<uint8_t>(1), o.At<uint8_t>(2), o.At<uint8_t>(3), o.S1(), o.S2());
         },
         {ResultBadMode, ResultBadTextLength}},
        {[](A x, Arena& o) { return ReadTAG(x.port, x.baud, o.At<uint8_t>(0), o.S1(), o.S2()); }, {}},
        {[](A x, Arena& o) {
             return ReadAddStatus(x.port, x.baud, 1, 2, 3, 4, o.At<uint8_t>(0), o.At<uint8_t>(8),
                                  o.At<uint8_t>(16), o.At<uint8_t>(24), o.S1(), o.S2());
         },
         {}},
        {[](A x, Arena& o) {
             return ReadGasData(x.port, x.baud, 1, 2, 3, 4, x.a, o.At<uint8_t>(0), o.At<int32_t>(4),
                                o.At<uint8_t>(8), o.At<int32_t>(12), o.At<uint8_t>(16), o.At<int32_t>(20),
                                o.At<uint8_t>(24), o.At<int32_t>(28), o.S1(), o.S2());
         },
         {ResultBadGasNumber}},
        {[](A x, Arena& o) {
             return ReadProcessGasType(x.port, x.baud, 1, 2, 3, 4, x.a, o.At<char>(0), o.S1(), o.S2());
         },
         {ResultBadGasNumber}},
        {[](A x, Arena& o) {
             return ReadOperationalSettings(x.port, x.baud, 1, 2, 3, 4, o.At<uint8_t>(0), o.At<uint8_t>(1),
                                            o.At<uint8_t>(2), o.At<uint8_t>(3), o.S1(), o.S2());
         },
         {}},
        {[](A x, Arena& o) { return SelectFlowUnit(x.port, x.baud, 1, 2, 3, 4, x.a, x.b, o.S1(), o.S2()); },
         {}},
        {[](A x, Arena& o) { return SelectGasNumber(x.port, x.baud, 1, 2, 3, 4, x.a, o.S1(), o.S2()); },
         {ResultBadGasNumber}},
        {[](A x, Arena& o) {
             return ReadVORState(x.port, x.baud, 1, 2, 3, 4, o.At<uint8_t>(0), o.S1(), o.S2());
         },
         {}},
        {[](A x, Arena& o) { return WriteVORState(x.port, x.baud, 1, 2, 3, 4, x.a, o.S1(), o.S2()); },
         {ResultBadVORState}},
        {[](A x, Arena& o) {
             return ReadTotalizerState(x.port, x.baud, 1, 2, 3, 4, o.At<uint8_t>(0), o.S1(), o.S2());
         },
         {}},
        {[](A x, Arena& o) { return WriteTotalizerState(x.port, x.baud, 1, 2, 3, 4, x.a, o.S1(), o.S2()); },
         {ResultBadTotalizerState}},
        {[](A x, Arena& o) {
             return ReadTotalizer(x.port, x.baud, 1, 2, 3, 4, o.At<int32_t>(0), o.At<uint8_t>(8), o.S1(),
                                  o.S2());
         },
         {}},
        {[](A x, Arena& o) {
             return ReadPressure(x.port, x.baud, 1, 2, 3, 4, o.At<int32_t>(0), o.At<uint8_t>(8), o.S1(),
                                 o.S2());
         },
         {}},
        {[](A x, Arena& o) {
             return ReadFullScaleRangePressure(x.port, x.baud, 1, 2, 3, 4, x.a, o.At<uint8_t>(8),
                                               o.At<int32_t>(0), o.S1(), o.S2());
         },
         {ResultBadApplication}},
        {[](A x, Arena& o) { return SelectPressureUnit(x.port, x.baud, 1, 2, 3, 4, x.a, o.S1(), o.S2()); },
         {}},
        {[](A x, Arena& o) {
             return SelectPressureApplication(x.port, x.baud, 1, 2, 3, 4, x.a, o.S1(), o.S2());
         },
         {ResultBadApplication}},
        {[](A x, Arena& o) {
             return ReadOperationalSettingsPressure(x.port, x.baud, 1, 2, 3, 4, o.At<uint8_t>(0),
                                                    o.At<uint8_t>(1), o.At<uint8_t>(2), o.At<uint8_t>(3),
                                                    o.S1(), o.S2());
         },
         {}},
        {[](A x, Arena& o) {
             return WriteProtectS(x.port, x.baud, "PROTECT1", x.b % 10, 1, 2, 3, 4, x.a, o.S1(), o.S2());
         },
         {ResultBadTextLength, ResultEchoMismatch}},
        {[](A x, Arena& o) { return BackupDatabaseS(x.port, x.baud, 1, 2, 3, 4, o.S1(), o.S2()); },
         {ResultEchoMismatch}},
        {[](A x, Arena&) { return TestComs_0731(x.port); }, {ResultWrongIdentity}, false},
        {[](A x, Arena& o) { return ReadSetPointSource_0731(x.port, x.a % 6, o.At<uint8_t>(0)); },
         {ResultBadSourceReply},
         false},
        {[](A x, Arena&) { return WriteSerialSetPointSource_0731(x.port, x.a % 6); },
         {ResultSourceNotConfirmed},
         false},
        {[](A x, Arena&) { return WriteManualSetPointSource_0731(x.port, x.a % 6); },
         {ResultSourceNotConfirmed},
         false},
        {[](A x, Arena&) { return WriteVORState_0731(x.port, x.a % 6, x.b % 4); },
         {ResultBadValveState, ResultValveNotConfirmed},
         false},
        {[](A x, Arena& o) { return ReadMeasureUnit_0731(x.port, x.a % 6, o.At<int32_t>(0)); },
         {ResultBadMeasureUnitReply},
         false},
        {[](A x, Arena& o) { return ReadTimeUnit_0731(x.port, x.a % 6, o.At<int32_t>(0)); },
         {ResultBadTimeUnitReply},
         false},
        {[](A x, Arena& o) { return ReadFullScale_0731(x.port, x.a % 6, o.At<float>(0)); },
         {ResultBadFullScaleReply},
         false},
        {[](A x, Arena& o) { return ReadDecimalPlace_0731(x.port, x.a % 6, o.At<int32_t>(0)); },
         {ResultBadDecimalPlace},
         false},
        {[](A x, Arena&) { return WriteDecimalPlace_0731(x.port, x.a % 6, x.b % 5); },
         {ResultBadDecimalPlace, ResultDecimalPlaceNotConfirmed},
         false},
        {[](A x, Arena& o) { return ReadProcessVariable_0731(x.port, x.a % 6, o.At<float>(0)); },
         {ResultBadProcessValueReply},
         false},
        {[](A x, Arena& o) { return ReadSetPoint_0731(x.port, x.a % 6, o.At<float>(0)); },
         {ResultBadSetPointReply},
         false},
        {[](A x, Arena&) {
             float sp;
             std::int32_t bits = x.c;
             std::memcpy(&sp, &bits, sizeof sp);
             return WriteSetPoint_0731(x.port, x.a % 6, x.b % 5, sp);
         },
         {ResultBadDecimalPlace, ResultSetPointNotConfirmed},
         false},
    };
}

// Outputs a result may write: digital results write everything (Ok, DeviceStatus), the status
// bytes (ErrorReply, EchoMismatch) or nothing; read-out results write only after a reply came.
bool OutputsFollowTheRules(const Entry& e, int result, const Arena& o) {
    if (e.digital) {
        if (result == ResultOk || result == ResultDeviceStatus) return true;
        if (result == ResultErrorReply || result == ResultEchoMismatch) return o.UntouchedExcept({248, 249});
        return o.UntouchedExcept({});
    }
    const bool replyRead = result == ResultOk || e.extra.count(result) > 0;
    return replyRead || o.UntouchedExcept({});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<Entry> exports = Exports();
    if (size < 8) return 0;
    const Entry& e = exports[data[0] % exports.size()];
    constexpr std::int32_t kBauds[] = {1200, 2400, 3600, 4800, 7200, 9600, 19200, 38400, 14400, 0};
    Args args{};
    args.port = data[1] < 240 ? 1 : data[1] - 240; // mostly the fake COM1; sometimes absent or bad
    args.baud = kBauds[data[2] % std::size(kBauds)];
    args.a = static_cast<std::int8_t>(data[3]) * ((data[4] & 0x80) ? 257 : 1);
    args.b = data[4] & 0x7F;
    std::memcpy(&args.c, data + 4, sizeof args.c);
    tarvik::fuzz::SetReply(data + 8, size - 8);

    Arena out;
    const int result = e.call(args, out);
    const std::set<int>& common = e.digital ? kDigitalCommon : kReadoutCommon;
    if (!common.count(result) && !e.extra.count(result)) std::abort();
    if (!OutputsFollowTheRules(e, result, out)) std::abort();
    return 0;
}
