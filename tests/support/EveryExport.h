// Every export as a row: its name, family, the result codes it may give beyond its family's common
// set, a call that takes its arguments from a few integers and writes every output into one arena,
// and arguments that make a good request. The load test and the export fuzzer both run this table,
// so a new export or a changed argument list is one row.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "TarvikDLL.h"

namespace tarvik::test {

// Output storage with a known fill, to see what a call wrote.
struct Arena {
    static constexpr std::uint8_t kUntouched = 0xA5;
    alignas(8) std::uint8_t bytes[256];
    Arena() { std::memset(bytes, kUntouched, sizeof bytes); }
    template <class T>
    T* At(std::size_t offset) {
        return reinterpret_cast<T*>(bytes + offset);
    }
    // Offsets 248 and 249 hold Status1 and Status2 of the digital exports.
    static constexpr std::size_t kStatus1 = 248, kStatus2 = 249;
    std::uint8_t* S1() { return bytes + kStatus1; }
    std::uint8_t* S2() { return bytes + kStatus2; }
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

// `a`, `b`, `c`: the export's own arguments in order (a selector, a value, a float's bits); each
// row reduces them as the export's range needs, so any integers make a call.
struct ExportArgs {
    std::int32_t port = 1, baud = 38400, a = 0, b = 0, c = 0;
};

struct ExportRow {
    const char* name;
    std::int32_t (*call)(const ExportArgs&, Arena&);
    std::set<int> extra; // codes beyond the family's common set
    bool digital;
    ExportArgs good; // with the port replaced: a call a well-behaved device answers
};

// The digital devices' address in every row: 1 2 3, device type 0x64.
inline constexpr std::uint8_t kRowId0 = 1, kRowId1 = 2, kRowId2 = 3, kRowType = 0x64;

inline const std::vector<ExportRow>& EveryExport() {
    using A = const ExportArgs&;
    using O = Arena&;
    constexpr std::uint8_t i0 = kRowId0, i1 = kRowId1, i2 = kRowId2, t = kRowType;
    static const std::vector<ExportRow> rows{
        {"ReadFlow",
         [](A x, O o) {
             return ReadFlow(x.port, x.baud, i0, i1, i2, t, o.At<int32_t>(0), o.At<uint8_t>(8), o.S1(),
                             o.S2());
         },
         {},
         true,
         {}},
        {"ReadSetPoint",
         [](A x, O o) {
             return ReadSetPoint(x.port, x.baud, i0, i1, i2, t, o.At<int32_t>(0), o.At<uint8_t>(8),
                                 o.At<int32_t>(16), o.S1(), o.S2());
         },
         {},
         true,
         {}},
        {"WriteSetPoint",
         [](A x, O o) { return WriteSetPoint(x.port, x.baud, i0, i1, i2, t, x.a, x.b, o.S1(), o.S2()); },
         {ResultBadSetPointUnit},
         true,
         {.a = 57, .b = 0x42480000}},
        {"ReadDeviceID",
         [](A x, O o) {
             return ReadDeviceID(x.a % 3, x.port, x.baud, "FT-101  ", x.b % 10, o.At<uint8_t>(0),
                                 o.At<uint8_t>(1), o.At<uint8_t>(2), o.At<uint8_t>(3), o.S1(), o.S2());
         },
         {ResultBadMode, ResultBadTextLength},
         true,
         {}},
        {"ReadDeviceID by tag",
         [](A x, O o) {
             return ReadDeviceID(x.a % 3, x.port, x.baud, "FT-101  ", x.b % 10, o.At<uint8_t>(0),
                                 o.At<uint8_t>(1), o.At<uint8_t>(2), o.At<uint8_t>(3), o.S1(), o.S2());
         },
         {ResultBadMode, ResultBadTextLength},
         true,
         {.a = 1, .b = 8}},
        {"ReadTAG",
         [](A x, O o) { return ReadTAG(x.port, x.baud, o.At<uint8_t>(0), o.S1(), o.S2()); },
         {},
         true,
         {}},
        {"ReadAddStatus",
         [](A x, O o) {
             return ReadAddStatus(x.port, x.baud, i0, i1, i2, t, o.At<uint8_t>(0), o.At<uint8_t>(8),
                                  o.At<uint8_t>(16), o.At<uint8_t>(24), o.S1(), o.S2());
         },
         {},
         true,
         {}},
        {"ReadGasData",
         [](A x, O o) {
             return ReadGasData(x.port, x.baud, i0, i1, i2, t, x.a, o.At<uint8_t>(0), o.At<int32_t>(4),
                                o.At<uint8_t>(8), o.At<int32_t>(12), o.At<uint8_t>(16), o.At<int32_t>(20),
                                o.At<uint8_t>(24), o.At<int32_t>(28), o.S1(), o.S2());
         },
         {ResultBadGasNumber},
         true,
         {.a = 3}},
        {"ReadProcessGasType",
         [](A x, O o) {
             return ReadProcessGasType(x.port, x.baud, i0, i1, i2, t, x.a, o.At<char>(0), o.S1(), o.S2());
         },
         {ResultBadGasNumber},
         true,
         {.a = 2}},
        {"ReadOperationalSettings",
         [](A x, O o) {
             return ReadOperationalSettings(x.port, x.baud, i0, i1, i2, t, o.At<uint8_t>(0), o.At<uint8_t>(1),
                                            o.At<uint8_t>(2), o.At<uint8_t>(3), o.S1(), o.S2());
         },
         {},
         true,
         {}},
        {"SelectFlowUnit",
         [](A x, O o) { return SelectFlowUnit(x.port, x.baud, i0, i1, i2, t, x.a, x.b, o.S1(), o.S2()); },
         {},
         true,
         {.a = 17, .b = 57}},
        {"SelectGasNumber",
         [](A x, O o) { return SelectGasNumber(x.port, x.baud, i0, i1, i2, t, x.a, o.S1(), o.S2()); },
         {ResultBadGasNumber},
         true,
         {.a = 4}},
        {"ReadVORState",
         [](A x, O o) {
             return ReadVORState(x.port, x.baud, i0, i1, i2, t, o.At<uint8_t>(0), o.S1(), o.S2());
         },
         {},
         true,
         {}},
        {"WriteVORState",
         [](A x, O o) { return WriteVORState(x.port, x.baud, i0, i1, i2, t, x.a, o.S1(), o.S2()); },
         {ResultBadVORState},
         true,
         {.a = 2}},
        {"ReadTotalizerState",
         [](A x, O o) {
             return ReadTotalizerState(x.port, x.baud, i0, i1, i2, t, o.At<uint8_t>(0), o.S1(), o.S2());
         },
         {},
         true,
         {}},
        {"WriteTotalizerState",
         [](A x, O o) { return WriteTotalizerState(x.port, x.baud, i0, i1, i2, t, x.a, o.S1(), o.S2()); },
         {ResultBadTotalizerState},
         true,
         {.a = 1}},
        {"ReadTotalizer",
         [](A x, O o) {
             return ReadTotalizer(x.port, x.baud, i0, i1, i2, t, o.At<int32_t>(0), o.At<uint8_t>(8), o.S1(),
                                  o.S2());
         },
         {},
         true,
         {}},
        {"ReadPressure",
         [](A x, O o) {
             return ReadPressure(x.port, x.baud, i0, i1, i2, t, o.At<int32_t>(0), o.At<uint8_t>(8), o.S1(),
                                 o.S2());
         },
         {},
         true,
         {}},
        {"ReadFullScaleRangePressure",
         [](A x, O o) {
             return ReadFullScaleRangePressure(x.port, x.baud, i0, i1, i2, t, x.a, o.At<uint8_t>(8),
                                               o.At<int32_t>(0), o.S1(), o.S2());
         },
         {ResultBadApplication},
         true,
         {.a = 3}},
        {"SelectPressureUnit",
         [](A x, O o) { return SelectPressureUnit(x.port, x.baud, i0, i1, i2, t, x.a, o.S1(), o.S2()); },
         {},
         true,
         {.a = 7}},
        {"SelectPressureApplication",
         [](A x, O o) {
             return SelectPressureApplication(x.port, x.baud, i0, i1, i2, t, x.a, o.S1(), o.S2());
         },
         {ResultBadApplication},
         true,
         {.a = 6}},
        {"ReadOperationalSettingsPressure",
         [](A x, O o) {
             return ReadOperationalSettingsPressure(x.port, x.baud, i0, i1, i2, t, o.At<uint8_t>(0),
                                                    o.At<uint8_t>(1), o.At<uint8_t>(2), o.At<uint8_t>(3),
                                                    o.S1(), o.S2());
         },
         {},
         true,
         {}},
        {"WriteProtectS",
         [](A x, O o) {
             return WriteProtectS(x.port, x.baud, "PROTECT1", x.b % 10, i0, i1, i2, t, x.a, o.S1(), o.S2());
         },
         {ResultBadTextLength, ResultEchoMismatch},
         true,
         {.a = 1, .b = 8}},
        {"BackupDatabaseS",
         [](A x, O o) { return BackupDatabaseS(x.port, x.baud, i0, i1, i2, t, o.S1(), o.S2()); },
         {ResultEchoMismatch},
         true,
         {}},
        {"TestComs_0731", [](A x, O) { return TestComs_0731(x.port); }, {ResultWrongIdentity}, false, {}},
        {"ReadSetPointSource_0731",
         [](A x, O o) { return ReadSetPointSource_0731(x.port, x.a % 6, o.At<uint8_t>(0)); },
         {ResultBadSourceReply},
         false,
         {.a = 2}},
        {"WriteSerialSetPointSource_0731",
         [](A x, O) { return WriteSerialSetPointSource_0731(x.port, x.a % 6); },
         {ResultSourceNotConfirmed},
         false,
         {.a = 3}},
        {"WriteManualSetPointSource_0731",
         [](A x, O) { return WriteManualSetPointSource_0731(x.port, x.a % 6); },
         {ResultSourceNotConfirmed},
         false,
         {.a = 3}},
        {"WriteVORState_0731",
         [](A x, O) { return WriteVORState_0731(x.port, x.a % 6, x.b % 4); },
         {ResultBadValveState, ResultValveNotConfirmed},
         false,
         {.a = 4, .b = 2}},
        {"ReadMeasureUnit_0731",
         [](A x, O o) { return ReadMeasureUnit_0731(x.port, x.a % 6, o.At<int32_t>(0)); },
         {ResultBadMeasureUnitReply},
         false,
         {.a = 1}},
        {"ReadTimeUnit_0731",
         [](A x, O o) { return ReadTimeUnit_0731(x.port, x.a % 6, o.At<int32_t>(0)); },
         {ResultBadTimeUnitReply},
         false,
         {.a = 2}},
        {"ReadFullScale_0731",
         [](A x, O o) { return ReadFullScale_0731(x.port, x.a % 6, o.At<float>(0)); },
         {ResultBadFullScaleReply},
         false,
         {.a = 3}},
        {"ReadDecimalPlace_0731",
         [](A x, O o) { return ReadDecimalPlace_0731(x.port, x.a % 6, o.At<int32_t>(0)); },
         {ResultBadDecimalPlace},
         false,
         {.a = 4}},
        {"WriteDecimalPlace_0731",
         [](A x, O) { return WriteDecimalPlace_0731(x.port, x.a % 6, x.b % 5); },
         {ResultBadDecimalPlace, ResultDecimalPlaceNotConfirmed},
         false,
         {.a = 1, .b = 2}},
        {"ReadProcessVariable_0731",
         [](A x, O o) { return ReadProcessVariable_0731(x.port, x.a % 6, o.At<float>(0)); },
         {ResultBadProcessValueReply},
         false,
         {.a = 2}},
        {"ReadSetPoint_0731",
         [](A x, O o) { return ReadSetPoint_0731(x.port, x.a % 6, o.At<float>(0)); },
         {ResultBadSetPointReply},
         false,
         {.a = 3}},
        {"WriteSetPoint_0731",
         [](A x, O) {
             float sp;
             std::memcpy(&sp, &x.c, sizeof sp);
             return WriteSetPoint_0731(x.port, x.a % 6, x.b % 5, sp);
         },
         {ResultBadDecimalPlace, ResultSetPointNotConfirmed},
         false,
         {.a = 4, .b = 2, .c = 0x41480000}},
    };
    return rows;
}

} // namespace tarvik::test
