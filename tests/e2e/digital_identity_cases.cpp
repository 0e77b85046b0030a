// End to end: the digital exports with their own argument order or reply rules (identity, tag,
// additional status, write protection, backup).
#include "e2e/DigitalRows.h"

namespace tarvik::e2e {

namespace {

using namespace digital;

// ---- ReadDeviceID ----------------------------------------------------------------------------

Call DeviceId(int32_t mode, const char* tag, int32_t length) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return ReadDeviceID(mode, port, baud, tag, length, &o.byte[0], &o.byte[1], &o.byte[2], &o.byte[3],
                            &o.status1, &o.status2);
    };
}

// Identity reply data: 0xFE, manufacturer, device type (byte 12), revisions and flags, then the
// device identifier (bytes 19 to 21).
Bytes Identity(uint8_t command, uint8_t status2) {
    return HartFrame(command, 0x00, status2,
                     {0xFE, 0x26, 0x64, 0x05, 0x05, 0x01, 0x0C, 0x08, 0x00, 0x11, 0x22, 0x33}, kBroadcast);
}

auto WritesIdentity(uint8_t status2) {
    return [=](Outputs& o) {
        o.byte = {0x11, 0x22, 0x33, 0x64};
        o.status1 = 0x00;
        o.status2 = status2;
    };
}

auto WritesStatus(uint8_t status1, uint8_t status2) {
    return [=](Outputs& o) {
        o.status1 = status1;
        o.status2 = status2;
    };
}

const Bytes kIdentityRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x80,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
const Bytes kIdentityByTagRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x80, 0x00, 0x00, 0x00,
                                  0x00, 0x0B, 0x06, 0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8, 0x52};

const Row kDeviceIdCases[] = {
    {"BroadcastNeverReadsTheTagNorReportsTheDeviceStatus", DeviceId(0, nullptr, 3), OnLine(Identity(0, 0x80)),
     kIdentityRequest, ResultOk, WritesIdentity(0x80)},
    {"ByTagAcceptsATrailingByte", DeviceId(1, "ABCDEFGH", 8), OnLine(WithTrailer(Identity(0x0B, 0x00))),
     kIdentityByTagRequest, ResultOk, WritesIdentity(0x00)},
    {"LowerCaseTagIsSentAsIsAndShortReplyWritesStatus", DeviceId(1, "abcdefgh", 8),
     OnLine(HartFrame(0x0B, 0x05, 0x00, {}, kBroadcast)),
     Request(0x0B, {0x86, 0x28, 0xE4, 0x96, 0x69, 0xE8}, kBroadcast), ResultErrorReply,
     WritesStatus(0x05, 0x00)},
    {"TwentyTwoBytesIsALengthError", DeviceId(0, nullptr, 0), OnLine(Cut(Identity(0, 0), 22)),
     kIdentityRequest, ResultBadLength, nullptr},
    {"BadChecksumWritesNothing", DeviceId(0, nullptr, 0), OnLine(BadChecksum(Identity(0, 0))),
     kIdentityRequest, ResultBadChecksum, nullptr},
    {"BadModeOnAPresentPortSendsNothing", DeviceId(2, "ABCDEFGH", 8), {}, {}, ResultBadMode, nullptr},
    {"TagLengthSevenSendsNothing", DeviceId(1, "ABCDEFGH", 7), {}, {}, ResultBadTextLength, nullptr},
    {"AbsentPortComesBeforeBadMode", DeviceId(2, nullptr, 0), {}, {}, ResultPortAbsent, nullptr, kAbsentPort},
    {"BadPortComesBeforeBadMode", DeviceId(-1, nullptr, 0), {}, {}, ResultBadPort, nullptr, 0, 1000},
    {"BadBaudComesBeforeBadTagLength",
     DeviceId(1, "ABCDEFGH", 9),
     {},
     {},
     ResultBadBaud,
     nullptr,
     kPort,
     14400},
};

// ---- ReadTAG ---------------------------------------------------------------------------------

int32_t Tag(int32_t port, int32_t baud, Outputs& o) {
    return ReadTAG(port, baud, o.text.data(), &o.status1, &o.status2);
}

// Packed "    ABCD", packed "FT-101  ABCDEFGH", date 7 December 2026 (day, month, year - 1900).
Bytes TagReply(uint8_t status2) {
    return HartFrame(0x0D, 0x00, status2, {0x82, 0x08, 0x20, 0x04, 0x20, 0xC4, 0x19, 0x4B, 0x71, 0xC3, 0x18,
                                           0x20, 0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8, 0x07, 0x0C, 0x7E},
                     kBroadcast);
}

void WritesTagRecord(Outputs& o) {
    const std::string text = "    ABCDFT-101  ABCDEFGH";
    std::copy(text.begin(), text.end(), o.text.begin());
    o.text[24] = 0x07;
    o.text[25] = 0x0C;
    o.text[26] = 0x7E;
}

const Bytes kTagRequest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x80, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x0F};

const Row kTagCases[] = {
    {"RecordOnlyEvenWithADeviceStatus", Tag, OnLine(TagReply(0x80)), kTagRequest, ResultDeviceStatus,
     WritesTagRecord},
    {"ThirtyThreeBytesAccepted", Tag, OnLine(WithTrailer(TagReply(0x40))), kTagRequest, ResultOk,
     WritesTagRecord},
    {"ShortReplyWritesStatus", Tag, OnLine(HartFrame(0x0D, 0x40, 0x00, {}, kBroadcast)), kTagRequest,
     ResultErrorReply, WritesStatus(0x40, 0x00)},
    {"BadChecksumWritesNothing", Tag, OnLine(BadChecksum(TagReply(0))), kTagRequest, ResultBadChecksum,
     nullptr},
    {"ThirtyOneBytesIsALengthError", Tag, OnLine(Cut(TagReply(0), 31)), kTagRequest, ResultBadLength,
     nullptr},
};

// ---- ReadAddStatus ---------------------------------------------------------------------------

int32_t AddStatus(int32_t port, int32_t baud, Outputs& o) {
    return ReadAddStatus(port, baud, 0x01, 0x02, 0x03, 0x64, o.flags[0].data(), o.flags[1].data(),
                         o.flags[2].data(), o.flags[3].data(), &o.status1, &o.status2);
}

const Bytes kAddStatusRequest = Request(0x30);

const Row kAddStatusCases[] = {
    {"FlagsPerBitAndNoDeviceStatus", AddStatus, OnLine(HartFrame(0x30, 0x00, 0x80, {0x01, 0x80, 0x00, 0xFF})),
     kAddStatusRequest, ResultOk,
     [](Outputs& o) {
         o.flags[0] = {1, 0, 0, 0, 0, 0, 0, 0};
         o.flags[1] = {0, 0, 0, 0, 0, 0, 0, 1};
         o.flags[2] = {0, 0, 0, 0, 0, 0, 0, 0};
         o.flags[3] = {1, 1, 1, 1, 1, 1, 1, 1};
         o.status1 = 0x00;
         o.status2 = 0x80;
     }},
    {"SixteenBytesAccepted", AddStatus,
     OnLine(WithTrailer(HartFrame(0x30, 0x20, 0x00, {0x55, 0xAA, 0x0F, 0xF0}))), kAddStatusRequest, ResultOk,
     [](Outputs& o) {
         o.flags[0] = {1, 0, 1, 0, 1, 0, 1, 0};
         o.flags[1] = {0, 1, 0, 1, 0, 1, 0, 1};
         o.flags[2] = {1, 1, 1, 1, 0, 0, 0, 0};
         o.flags[3] = {0, 0, 0, 0, 1, 1, 1, 1};
         o.status1 = 0x20;
         o.status2 = 0x00;
     }},
    {"SeventeenBytesIsALengthError", AddStatus,
     OnLine(WithTrailer(WithTrailer(HartFrame(0x30, 0, 0, {1, 2, 3, 4})))), kAddStatusRequest,
     ResultBadLength, nullptr},
    {"TwelveBytesIsAShortReply", AddStatus, OnLine(WithTrailer(HartFrame(0x30, 0x40, 0x00, {}))),
     kAddStatusRequest, ResultErrorReply, WritesStatus(0x40, 0x00)},
};

// ---- WriteProtectS ---------------------------------------------------------------------------

Call Protect(const char* text, int32_t length, int32_t mode) {
    return [=](int32_t port, int32_t baud, Outputs& o) {
        return WriteProtectS(port, baud, text, length, 0x01, 0x02, 0x03, 0x64, mode, &o.status1, &o.status2);
    };
}

const Bytes kProtectRequest = Request(0x80, {0x04, 0x20, 0xC4, 0x14, 0x61, 0xC8, 0x02});
Bytes ProtectReply(uint8_t echo, uint8_t status2) {
    return HartFrame(0x80, 0x00, status2, {echo});
}

const Row kProtectCases[] = {
    {"EchoWithStatus40IsOk", Protect("ABCDEFGH", 8, 0x102), OnLine(ProtectReply(0x02, 0x40)), kProtectRequest,
     ResultOk, WritesStatus(0x00, 0x40)},
    {"EchoWithStatus02IsDeviceStatus", Protect("ABCDEFGH", 8, 2),
     OnLine(WithTrailer(ProtectReply(0x02, 0x02))), kProtectRequest, ResultDeviceStatus,
     WritesStatus(0x00, 0x02)},
    {"OtherEchoIsAMismatchWithStatusWritten", Protect("ABCDEFGH", 8, 2), OnLine(ProtectReply(0x00, 0x00)),
     kProtectRequest, ResultEchoMismatch, WritesStatus(0x00, 0x00)},
    {"FullReplyWithByteCount2IsALengthError", Protect("ABCDEFGH", 8, 2),
     OnLine(WithByteCount(ProtectReply(0x02, 0x00), 2)), kProtectRequest, ResultBadLength, nullptr},
    {"ShortReplyWritesStatus", Protect("ABCDEFGH", 8, 2), OnLine(HartFrame(0x80, 0x07, 0x00, {})),
     kProtectRequest, ResultErrorReply, WritesStatus(0x07, 0x00)},
    {"ShortReplyWithBadChecksum", Protect("ABCDEFGH", 8, 2),
     OnLine(BadChecksum(HartFrame(0x80, 0x07, 0x00, {}))), kProtectRequest, ResultErrorReplyChecksum,
     nullptr},
    {"FourteenBytesIsALengthError", Protect("ABCDEFGH", 8, 2),
     OnLine(WithTrailer(WithTrailer(ProtectReply(0x02, 0x00)))), kProtectRequest, ResultBadLength, nullptr},
    {"TextLength7BeforeBadPortAndBaud",
     Protect("ABCDEFGH", 7, 2),
     {},
     {},
     ResultBadTextLength,
     nullptr,
     0,
     1000},
    {"TextLength9OpensNoPort", Protect("ABCDEFGHI", 9, 2), {}, {}, ResultBadTextLength, nullptr},
};

// ---- BackupDatabaseS -------------------------------------------------------------------------

int32_t Backup(int32_t port, int32_t baud, Outputs& o) {
    return BackupDatabaseS(port, baud, 0x01, 0x02, 0x03, 0x64, &o.status1, &o.status2);
}

const Bytes kBackupRequest = Request(0x27, {0x00});
Bytes BackupReply(uint8_t echo, uint8_t status2) {
    return HartFrame(0x27, 0x00, status2, {echo});
}

const Row kBackupCases[] = {
    {"EchoOfZeroIsOk", Backup, OnLine(BackupReply(0x00, 0x00)), kBackupRequest, ResultOk, WritesStatus(0, 0)},
    {"ThirteenBytesWithStatus40IsOk", Backup, OnLine(WithTrailer(BackupReply(0x00, 0x40))), kBackupRequest,
     ResultOk, WritesStatus(0x00, 0x40)},
    {"DeviceStatusOutranksTheEcho", Backup, OnLine(BackupReply(0x05, 0x10)), kBackupRequest,
     ResultDeviceStatus, WritesStatus(0x00, 0x10)},
    {"OtherEchoIsAMismatchWithStatusWritten", Backup, OnLine(BackupReply(0x05, 0x00)), kBackupRequest,
     ResultEchoMismatch, WritesStatus(0x00, 0x00)},
    {"ShortReplyWritesStatus", Backup, OnLine(HartFrame(0x27, 0x10, 0x00, {})), kBackupRequest,
     ResultErrorReply, WritesStatus(0x10, 0x00)},
    {"ShortReplyWithByteCount3IsALengthError", Backup,
     OnLine(WithByteCount(HartFrame(0x27, 0x10, 0x00, {}), 3)), kBackupRequest, ResultBadLength, nullptr},
    {"FourteenBytesIsALengthError", Backup, OnLine(WithTrailer(WithTrailer(BackupReply(0x00, 0x00)))),
     kBackupRequest, ResultBadLength, nullptr},
};

} // namespace

E2E_PTY_CASE(DigitalIdentityEndToEnd, ReadDeviceID) {
    RunRows("ReadDeviceID", kDeviceIdCases);
}

E2E_CASE(DigitalIdentityEndToEnd, ReadTAG) {
    RunRows("ReadTAG", kTagCases);
}

E2E_CASE(DigitalIdentityEndToEnd, ReadAddStatus) {
    RunRows("ReadAddStatus", kAddStatusCases);
}

E2E_CASE(DigitalIdentityEndToEnd, WriteProtectS) {
    RunRows("WriteProtectS", kProtectCases);
}

E2E_CASE(DigitalIdentityEndToEnd, BackupDatabaseS) {
    RunRows("BackupDatabaseS", kBackupCases);
}

} // namespace tarvik::e2e
