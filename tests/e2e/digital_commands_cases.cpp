// End to end: the digital exports in the standard argument order (set point, gas and flow unit,
// valve override and totalizer, pressure devices).
#include "e2e/DigitalRows.h"

namespace tarvik::e2e {

namespace {

using namespace digital;

// Address arguments of every call here: IdHigh 0x01, IdMid 0x02, IdLow 0x03, DeviceType 0x64.
#define ADDRESS port, baud, 0x01, 0x02, 0x03, 0x64

auto WritesStatus(uint8_t status1, uint8_t status2) {
    return [=](Outputs& o) {
        o.status1 = status1;
        o.status2 = status2;
    };
}

Bytes Short(uint8_t command, uint8_t status1) {
    return HartFrame(command, status1, 0x00, {});
}

// ---- set point -------------------------------------------------------------------------------

int32_t ReadSP(int32_t port, int32_t baud, Outputs& o) {
    return ReadSetPoint(ADDRESS, &o.word[0], &o.unit[0], &o.word[1], &o.status1, &o.status2);
}
// Unit code of the first value (not returned), 50.0, unit code 0x11, 10.0.
Bytes SetPointReply(uint8_t status2) {
    return HartFrame(0xEB, 0x00, status2, {0x39, 0x42, 0x48, 0x00, 0x00, 0x11, 0x41, 0x20, 0x00, 0x00});
}
auto WritesSetPoint(uint8_t status2) {
    return [=](Outputs& o) {
        o.word[0] = 0x42480000;
        o.unit[0] = 0x11;
        o.word[1] = 0x41200000;
        o.status1 = 0x00;
        o.status2 = status2;
    };
}

Call WriteSP(int32_t units, int32_t value) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return WriteSetPoint(ADDRESS, units, value, &o.status1, &o.status2);
    };
}
const Bytes kWriteSetPointReply =
    HartFrame(0xEC, 0x00, 0x00, {0x39, 0x42, 0x48, 0, 0, 0x39, 0x42, 0x48, 0, 0});

const Row kSetPointCases[] = {
    {"ReadSetPoint_BothValuesAndTheSecondUnit", ReadSP, OnLine(SetPointReply(0x00)), Request(0xEB), ResultOk,
     WritesSetPoint(0x00)},
    {"ReadSetPoint_TwentyTwoBytesAccepted", ReadSP, OnLine(WithTrailer(SetPointReply(0x40))), Request(0xEB),
     ResultOk, WritesSetPoint(0x40)},
    {"ReadSetPoint_BadChecksumWritesNothing", ReadSP, OnLine(BadChecksum(SetPointReply(0))), Request(0xEB),
     ResultBadChecksum, nullptr},
    {"WriteSetPoint_PercentAndValueSentAsGiven", WriteSP(57, 0x42480000), OnLine(kWriteSetPointReply),
     Request(0xEC, {0x39, 0x42, 0x48, 0x00, 0x00}), ResultOk, WritesStatus(0, 0)},
    {"WriteSetPoint_LowByteOfUnitAndNegativeValue", WriteSP(0x1FA, static_cast<int32_t>(0xC479C000u)),
     OnLine(Short(0xEC, 0x03)), Request(0xEC, {0xFA, 0xC4, 0x79, 0xC0, 0x00}), ResultErrorReply,
     WritesStatus(0x03, 0x00)},
    {"WriteSetPoint_BadUnitBeforeBadPortAndBaud",
     WriteSP(0, 0),
     {},
     {},
     ResultBadSetPointUnit,
     nullptr,
     0,
     1000},
    {"WriteSetPoint_Unit58Refused", WriteSP(58, 0), {}, {}, ResultBadSetPointUnit, nullptr},
};

// ---- gas and flow unit -----------------------------------------------------------------------

Call GasData(int32_t gas) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return ReadGasData(ADDRESS, gas, &o.unit[0], &o.word[0], &o.unit[1], &o.word[1], &o.unit[2],
                           &o.word[2], &o.unit[3], &o.word[3], &o.status1, &o.status2);
    };
}
// Byte 10 unused, then (0x11, 1.0), (0x12, 2.0), (0x13, 3.0), (0x14, 4.0).
Bytes GasDataReply(uint8_t status2) {
    return HartFrame(0x97, 0x00, status2, {0xEE, 0x11, 0x3F, 0x80, 0x00, 0x00, 0x12, 0x40, 0x00, 0x00, 0x00,
                                           0x13, 0x40, 0x40, 0x00, 0x00, 0x14, 0x40, 0x80, 0x00, 0x00});
}
auto WritesGasData(uint8_t status2) {
    return [=](Outputs& o) {
        o.unit = {0x11, 0x12, 0x13, 0x14};
        o.word = {0x3F800000, 0x40000000, 0x40400000, 0x40800000};
        o.status1 = 0x00;
        o.status2 = status2;
    };
}

Call GasType(int32_t gas) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return ReadProcessGasType(ADDRESS, gas, o.Text(), &o.status1, &o.status2);
    };
}
const std::string kGasName = "Nitrogen N2 ";
Bytes GasTypeReply() {
    Bytes data{0xEE};
    data.insert(data.end(), kGasName.begin(), kGasName.end());
    return HartFrame(0x96, 0x00, 0x00, data);
}

int32_t Settings(int32_t port, int32_t baud, Outputs& o) {
    return ReadOperationalSettings(ADDRESS, &o.byte[0], &o.byte[1], &o.byte[2], &o.byte[3], &o.status1,
                                   &o.status2);
}

Call FlowUnit(int32_t a, int32_t b) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return SelectFlowUnit(ADDRESS, a, b, &o.status1, &o.status2);
    };
}

Call SelectGas(int32_t gas) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return SelectGasNumber(ADDRESS, gas, &o.status1, &o.status2);
    };
}
Bytes SelectGasReply(uint8_t status2) {
    return HartFrame(0xC3, 0x00, status2, {0x0A});
}

const Row kGasCases[] = {
    {"ReadGasData_FourPairsWithDeviceStatus", GasData(10), OnLine(GasDataReply(0x10)), Request(0x97, {0x0A}),
     ResultDeviceStatus, WritesGasData(0x10)},
    {"ReadGasData_LowByteOfGasNumberAndTrailingByte", GasData(0x101), OnLine(WithTrailer(GasDataReply(0x40))),
     Request(0x97, {0x01}), ResultOk, WritesGasData(0x40)},
    {"ReadGasData_BadChecksumWritesNothing", GasData(1), OnLine(BadChecksum(GasDataReply(0))),
     Request(0x97, {0x01}), ResultBadChecksum, nullptr},
    {"ReadGasData_Gas0BeforeBadPortAndBaud", GasData(0), {}, {}, ResultBadGasNumber, nullptr, 0, 1000},
    {"ReadGasData_Gas11Refused", GasData(11), {}, {}, ResultBadGasNumber, nullptr},
    {"ReadProcessGasType_TwelveBytesNoTerminator", GasType(1), OnLine(GasTypeReply()), Request(0x96, {0x01}),
     ResultOk,
     [](Outputs& o) {
         std::copy(kGasName.begin(), kGasName.end(), o.text.begin());
         o.status1 = o.status2 = 0x00;
     }},
    {"ReadProcessGasType_ShortReply", GasType(10), OnLine(Short(0x96, 0x02)), Request(0x96, {0x0A}),
     ResultErrorReply, WritesStatus(0x02, 0x00)},
    {"ReadProcessGasType_Gas11BeforeBadBaud",
     GasType(0x10B),
     {},
     {},
     ResultBadGasNumber,
     nullptr,
     kPort,
     14400},
    {"ReadOperationalSettings_FourBytes", Settings,
     OnLine(HartFrame(0xC1, 0x00, 0x00, {0x01, 0x82, 0x03, 0xF4})), Request(0xC1), ResultOk,
     [](Outputs& o) {
         o.byte = {0x01, 0x82, 0x03, 0xF4};
         o.status1 = o.status2 = 0x00;
     }},
    {"ReadOperationalSettings_TwelveBytesIsShort", Settings, OnLine(WithTrailer(Short(0xC1, 0x40))),
     Request(0xC1), ResultErrorReply, WritesStatus(0x40, 0x00)},
    {"ReadOperationalSettings_FourteenBytesIsALengthError", Settings,
     OnLine(Cut(HartFrame(0xC1, 0, 0, {1, 2, 3, 4}), 14)), Request(0xC1), ResultBadLength, nullptr},
    {"SelectFlowUnit_AnyTwoBytes", FlowUnit(0x1FF, 0x00), OnLine(HartFrame(0xC4, 0x00, 0x00, {0xFF, 0x00})),
     Request(0xC4, {0xFF, 0x00}), ResultOk, WritesStatus(0, 0)},
    {"SelectFlowUnit_FourteenBytesWithDeviceStatus", FlowUnit(0x11, 0x22),
     OnLine(WithTrailer(HartFrame(0xC4, 0x00, 0x20, {0x11, 0x22}))), Request(0xC4, {0x11, 0x22}),
     ResultDeviceStatus, WritesStatus(0x00, 0x20)},
    {"SelectGasNumber_LowByteSent", SelectGas(0x10A), OnLine(SelectGasReply(0x00)), Request(0xC3, {0x0A}),
     ResultOk, WritesStatus(0, 0)},
    {"SelectGasNumber_ByteCount4IsALengthError", SelectGas(1), OnLine(WithByteCount(SelectGasReply(0), 4)),
     Request(0xC3, {0x01}), ResultBadLength, nullptr},
    {"SelectGasNumber_ShortReply", SelectGas(1), OnLine(Short(0xC3, 0x02)), Request(0xC3, {0x01}),
     ResultErrorReply, WritesStatus(0x02, 0x00)},
    {"SelectGasNumber_FourteenBytesIsALengthError", SelectGas(1),
     OnLine(WithTrailer(WithTrailer(SelectGasReply(0)))), Request(0xC3, {0x01}), ResultBadLength, nullptr},
    {"SelectGasNumber_Gas0Refused", SelectGas(0x100), {}, {}, ResultBadGasNumber, nullptr, 41, kBaud},
};

// ---- valve override and totalizer -----------------------------------------------------------

Call WriteVOR(int32_t state) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return WriteVORState(ADDRESS, state, &o.status1, &o.status2);
    };
}
int32_t ReadVOR(int32_t port, int32_t baud, Outputs& o) {
    return ReadVORState(ADDRESS, &o.byte[0], &o.status1, &o.status2);
}
Call WriteTotal(int32_t state) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return WriteTotalizerState(ADDRESS, state, &o.status1, &o.status2);
    };
}
int32_t ReadTotalState(int32_t port, int32_t baud, Outputs& o) {
    return ReadTotalizerState(ADDRESS, &o.byte[0], &o.status1, &o.status2);
}
int32_t ReadTotal(int32_t port, int32_t baud, Outputs& o) {
    return ReadTotalizer(ADDRESS, &o.word[0], &o.unit[0], &o.status1, &o.status2);
}
auto WritesState(uint8_t state, uint8_t status2) {
    return [=](Outputs& o) {
        o.byte[0] = state;
        o.status1 = 0x00;
        o.status2 = status2;
    };
}

const Bytes kWriteVORRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x8A, 0x64,
                             0x01, 0x02, 0x03, 0xE7, 0x01, 0x02, 0x88};
const Bytes kReadVORReply{0x86, 0x8A, 0x64, 0x01, 0x02, 0x03, 0xE6, 0x03, 0x00, 0x00, 0x01, 0x8C};

const Row kValveTotalizerCases[] = {
    {"WriteVORState_State2", WriteVOR(2), OnLine(HartFrame(0xE7, 0, 0, {0x02})), kWriteVORRequest, ResultOk,
     WritesStatus(0, 0)},
    {"WriteVORState_BadChecksumWinsOverByteCount", WriteVOR(257),
     OnLine(BadChecksum(WithByteCount(HartFrame(0xE7, 0, 0, {0x01}), 4))), Request(0xE7, {0x01}),
     ResultBadChecksum, nullptr},
    {"WriteVORState_FourteenBytesIsALengthError", WriteVOR(0),
     OnLine(WithTrailer(WithTrailer(HartFrame(0xE7, 0, 0, {0x00})))), Request(0xE7, {0x00}), ResultBadLength,
     nullptr},
    {"WriteVORState_State3BeforeBadBaud", WriteVOR(3), {}, {}, ResultBadVORState, nullptr, kPort, 1000},
    {"ReadVORState_WorkedReply", ReadVOR, OnLine(kReadVORReply, 5), Request(0xE6), ResultOk,
     WritesState(1, 0)},
    {"ReadVORState_ThirteenBytesWithDeviceStatus", ReadVOR,
     OnLine(WithTrailer(HartFrame(0xE6, 0, 0x10, {0x02}))), Request(0xE6), ResultDeviceStatus,
     WritesState(2, 0x10)},
    {"ReadVORState_ByteCount2InAFullReplyIsALengthError", ReadVOR,
     OnLine(WithByteCount(HartFrame(0xE6, 0, 0, {0x01}), 2)), Request(0xE6), ResultBadLength, nullptr},
    {"ReadTotalizerState_OnlyPosition10", ReadTotalState, OnLine(HartFrame(0xF0, 0, 0, {0x02, 0x77})),
     Request(0xF0), ResultOk, WritesState(2, 0)},
    {"ReadTotalizerState_TwelveBytesIsShort", ReadTotalState, OnLine(WithTrailer(Short(0xF0, 0x40))),
     Request(0xF0), ResultErrorReply, WritesStatus(0x40, 0x00)},
    {"ReadTotalizerState_FifteenBytesIsALengthError", ReadTotalState,
     OnLine(WithTrailer(WithTrailer(HartFrame(0xF0, 0, 0, {0x02, 0x77})))), Request(0xF0), ResultBadLength,
     nullptr},
    {"WriteTotalizerState_State0", WriteTotal(0), OnLine(HartFrame(0xF1, 0, 0x40, {0x00})),
     Request(0xF1, {0x00}), ResultOk, WritesStatus(0x00, 0x40)},
    {"WriteTotalizerState_ShortReply", WriteTotal(2), OnLine(Short(0xF1, 0x10)), Request(0xF1, {0x02}),
     ResultErrorReply, WritesStatus(0x10, 0x00)},
    {"WriteTotalizerState_ShortReplyBadChecksum", WriteTotal(1), OnLine(BadChecksum(Short(0xF1, 0x10))),
     Request(0xF1, {0x01}), ResultErrorReplyChecksum, nullptr},
    {"WriteTotalizerState_ShortReplyWithByteCount5", WriteTotal(1),
     OnLine(WithByteCount(Short(0xF1, 0x10), 5)), Request(0xF1, {0x01}), ResultBadLength, nullptr},
    {"WriteTotalizerState_State3BeforeBadPort",
     WriteTotal(3),
     {},
     {},
     ResultBadTotalizerState,
     nullptr,
     0,
     kBaud},
    {"ReadTotalizer_ValueAndUnitUnconverted", ReadTotal,
     OnLine(HartFrame(0xF2, 0, 0, {0x29, 0x41, 0x20, 0, 0})), Request(0xF2), ResultOk,
     [](Outputs& o) {
         o.word[0] = 0x41200000;
         o.unit[0] = 0x29;
         o.status1 = o.status2 = 0x00;
     }},
};

// ---- pressure devices ------------------------------------------------------------------------

int32_t Pressure(int32_t port, int32_t baud, Outputs& o) {
    return ReadPressure(ADDRESS, &o.word[0], &o.unit[0], &o.status1, &o.status2);
}
int32_t Flow(int32_t port, int32_t baud, Outputs& o) {
    return ReadFlow(ADDRESS, &o.word[0], &o.unit[0], &o.status1, &o.status2);
}
Call FullScale(int32_t application) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return ReadFullScaleRangePressure(ADDRESS, application, &o.unit[0], &o.word[0], &o.status1,
                                          &o.status2);
    };
}
Call PressureUnit(int32_t units) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return SelectPressureUnit(ADDRESS, units, &o.status1, &o.status2);
    };
}
Call Application(int32_t application) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return SelectPressureApplication(ADDRESS, application, &o.status1, &o.status2);
    };
}
int32_t PressureSettings(int32_t port, int32_t baud, Outputs& o) {
    return ReadOperationalSettingsPressure(ADDRESS, &o.byte[0], &o.byte[1], &o.byte[2], &o.byte[3],
                                           &o.status1, &o.status2);
}

const Bytes kPressureReply = HartFrame(0x01, 0x00, 0x00, {0x07, 0x3F, 0xC0, 0x00, 0x00}); // 1.5 bar
void WritesValue(Outputs& o) {
    o.word[0] = 0x3FC00000;
    o.unit[0] = 0x07;
    o.status1 = o.status2 = 0x00;
}
const Bytes kFullScaleRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x8A, 0x64,
                              0x01, 0x02, 0x03, 0x9F, 0x01, 0x03, 0xF1};
const Bytes kApplicationRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x8A, 0x64,
                                0x01, 0x02, 0x03, 0xC2, 0x01, 0x03, 0xAC};
const Bytes kApplicationReply{0x86, 0x8A, 0x64, 0x01, 0x02, 0x03, 0xC2, 0x03, 0x00, 0x00, 0x03, 0xAA};
const Bytes kSettingsReply = HartFrame(0xC0, 0x00, 0x00, {0x01, 0x82, 0x03, 0xF4, 0xEE});

const Row kPressureCases[] = {
    {"ReadPressure_IsCommand1", Pressure, OnLine(kPressureReply), Request(0x01), ResultOk, WritesValue},
    {"ReadFlow_SameRequestSameDecoding", Flow, OnLine(kPressureReply), Request(0x01), ResultOk, WritesValue},
    {"ReadFullScaleRangePressure_SeventeenBytes", FullScale(3),
     OnLine(WithTrailer(HartFrame(0x9F, 0x00, 0x00, {0x07, 0x3F, 0xC0, 0x00, 0x00}))), kFullScaleRequest,
     ResultOk, WritesValue},
    {"ReadFullScaleRangePressure_Application1ShortReply", FullScale(1), OnLine(Short(0x9F, 0x02)),
     Request(0x9F, {0x01}), ResultErrorReply, WritesStatus(0x02, 0x00)},
    {"ReadFullScaleRangePressure_FifteenBytesIsALengthError", FullScale(6),
     OnLine(Cut(HartFrame(0x9F, 0, 0, {0x07, 0x3F, 0xC0, 0, 0}), 15)), Request(0x9F, {0x06}), ResultBadLength,
     nullptr},
    {"ReadFullScaleRangePressure_Application0BeforeBadBaud",
     FullScale(0),
     {},
     {},
     ResultBadApplication,
     nullptr,
     kPort,
     1000},
    {"ReadFullScaleRangePressure_Application7Refused", FullScale(7), {}, {}, ResultBadApplication, nullptr},
    {"SelectPressureUnit_Unit0AnyByteCount", PressureUnit(0),
     OnLine(WithByteCount(HartFrame(0xC6, 0, 0, {0}), 9)), Request(0xC6, {0x00}), ResultOk,
     WritesStatus(0, 0)},
    {"SelectPressureUnit_Unit255WithDeviceStatus", PressureUnit(0x1FF),
     OnLine(HartFrame(0xC6, 0, 0x01, {0xFF})), Request(0xC6, {0xFF}), ResultDeviceStatus,
     WritesStatus(0x00, 0x01)},
    {"SelectPressureApplication_WorkedReply", Application(3), OnLine(kApplicationReply), kApplicationRequest,
     ResultOk, WritesStatus(0, 0)},
    {"SelectPressureApplication_Application6ShortReply", Application(6), OnLine(Short(0xC2, 0x03)),
     Request(0xC2, {0x06}), ResultErrorReply, WritesStatus(0x03, 0x00)},
    {"SelectPressureApplication_ByteCount5IsALengthError", Application(1),
     OnLine(WithByteCount(HartFrame(0xC2, 0, 0, {0x01}), 5)), Request(0xC2, {0x01}), ResultBadLength,
     nullptr},
    {"SelectPressureApplication_Application7BeforeBadPort",
     Application(7),
     {},
     {},
     ResultBadApplication,
     nullptr,
     0,
     1000},
    {"ReadOperationalSettingsPressure_SeventeenBytes", PressureSettings, OnLine(WithTrailer(kSettingsReply)),
     Request(0xC0), ResultOk,
     [](Outputs& o) {
         o.byte = {0x01, 0x82, 0x03, 0xF4};
         o.status1 = o.status2 = 0x00;
     }},
    {"ReadOperationalSettingsPressure_FifteenBytesIsALengthError", PressureSettings,
     OnLine(Cut(kSettingsReply, 15)), Request(0xC0), ResultBadLength, nullptr},
};

#undef ADDRESS

} // namespace

E2E_CASE(DigitalCommandsEndToEnd, SetPoint) {
    RunRows("SetPoint", kSetPointCases);
}

E2E_CASE(DigitalCommandsEndToEnd, Gas) {
    RunRows("Gas", kGasCases);
}

E2E_CASE(DigitalCommandsEndToEnd, ValveTotalizer) {
    RunRows("ValveTotalizer", kValveTotalizerCases);
}

E2E_CASE(DigitalCommandsEndToEnd, Pressure) {
    RunRows("Pressure", kPressureCases);
}

} // namespace tarvik::e2e
