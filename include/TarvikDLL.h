/*
 * TarvikDLL.h - C interface of the Tarvik instrument library.
 *
 * Two families of plain C functions talk to process instruments over a serial port:
 *   - digital gas-flow and pressure devices speaking the HART long frame (23 functions), and
 *   - the four-channel model 0731 read-out and control unit (13 functions, suffix _0731).
 *
 * Every function is one complete, synchronous transaction: it checks its arguments, maps the
 * port number to a device name, checks that the port exists and can be opened, opens it with the
 * family's fixed line settings, sends one request, waits a fixed time, collects what arrived,
 * closes the port, decodes the reply into the caller's outputs and returns a result code.
 * Nothing survives between calls.
 *
 * Conventions
 *   - Calling convention: cdecl on 32-bit Windows, undecorated export names; the platform's C
 *     convention elsewhere. One 32-bit slot per argument, a signed 32-bit result.
 *   - Port: 1 to 40. On Windows, ports 1-9 open "COM1".."COM9" and 10-40 "\\.\COM10".."\\.\COM40".
 *     On Linux, see the README: COM<n> lives in the directory $TARVIK_PORT_DIR, or is /dev/ttyS<n-1>.
 *   - Baud (digital family): 1200, 2400, 3600, 4800, 7200, 9600, 19200 or 38400 bit/s.
 *   - Byte arguments of the digital family (address bytes, unit codes, states, selectors) are passed
 *     in a 32-bit slot of which only the low 8 bits are used: 0x1FF is taken as 0xFF.
 *   - Raw values of the digital family are 32-bit integers holding the bit pattern of an IEEE-754
 *     single-precision float (most significant byte first on the wire); they are never converted.
 *   - Output pointers are written only on the results each function names below; on every other
 *     result they keep their contents. The library never tests pointers: pass writable storage.
 *   - Threads: calls on different ports may run at once. Two calls on one port exclude each other
 *     through the exclusive open: the later one gets ResultPortBusy.
 *   - Wire trace: when the environment variable TARVIK_TRACE names a file (appended to), or is "-"
 *     for standard error, every call writes one line: UTC time, function, port, line settings
 *     (device, baud, framing, wait), the request bytes in hex, the reply bytes in hex with their
 *     arrival in milliseconds after the request, and the result name. The variable is read once,
 *     at the first call of the process (on Windows from the process environment, so a host may set
 *     it with SetEnvironmentVariable before its first call). Unset, the trace costs nothing.
 *
 * Outputs of the digital family, unless a function says otherwise:
 *   ResultOk, ResultDeviceStatus: every output written.
 *   ResultErrorReply:             only Status1 and Status2 written.
 *   any other result:             nothing written.
 */
#ifndef TARVIK_DLL_H
#define TARVIK_DLL_H

#include <stdint.h>

#if defined(_WIN32)
#define TARVIK_CALL __cdecl
#if defined(TARVIK_BUILDING_LIBRARY)
#define TARVIK_API __declspec(dllexport)
#else
#define TARVIK_API __declspec(dllimport)
#endif
#else
#define TARVIK_CALL
#if defined(TARVIK_BUILDING_LIBRARY)
#define TARVIK_API __attribute__((visibility("default")))
#else
#define TARVIK_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------------
 * Result codes
 * ---------------------------------------------------------------------------------------------- */
enum TarvikResult {
    /* Shared by both families */
    ResultOk = 1,             /* the exchange succeeded and the reply was decoded */
    ResultDeviceStatus = 2,   /* digital: reply decoded, but Status2 is neither 0 nor 0x40 */
    ResultBadPort = -1,       /* Port is outside 1..40 */
    ResultBadBaud = -2,       /* Baud is not one of the eight supported rates */
    ResultPortAbsent = -3,    /* the port is not among the system's serial ports */
    ResultBadTextLength = -4, /* ReadDeviceID / WriteProtectS: the text length is not 8 */
    ResultBadLength = -5,     /* bytes came back, but not a length the command accepts (also: a
                                 byte-count byte that does not fit the reply) */
    ResultBadChecksum = -6,   /* a reply of full length with a wrong checksum */
    ResultBadSetPointUnit = -7,     /* WriteSetPoint: unit code neither 57 (percent) nor 250 */
    ResultNoReply = -11,            /* nothing waiting in the input queue when the wait was over */
    ResultBadVORState = -12,        /* WriteVORState: State above 2 */
    ResultBadTotalizerState = -13,  /* WriteTotalizerState: State above 2 */
    ResultErrorReply = -14,         /* the device answered with a short (status-only) reply */
    ResultErrorReplyChecksum = -15, /* a short reply with a wrong checksum */
    ResultBadMode = -16,            /* ReadDeviceID: LookupMode neither 0 nor 1 */
    ResultBadGasNumber = -17,       /* gas number outside 1..10 */
    ResultPortBusy = -18,      /* the port is listed but could not be opened or used (held by another) */
    ResultBadApplication = -19, /* pressure application outside 1..6 */
    ResultEchoMismatch = -20,  /* WriteProtectS / BackupDatabaseS: the device answered but did not
                                  repeat the value sent (Status1 and Status2 are written) */

    /* Read-out unit family (model 0731) */
    ResultWrongIdentity = -7311,            /* identity reply lacks the maker text or the model number */
    ResultBadChannel = -7312,               /* Channel is not 1..4 */
    ResultBadSourceReply = -7313,           /* reply names neither set-point source */
    ResultSourceNotConfirmed = -7314,       /* reply lacks the confirmation of the new source */
    ResultBadValveState = -7315,            /* State is not 0..2 */
    ResultValveNotConfirmed = -7316,        /* reply lacks the confirmation of the new valve state */
    ResultBadMeasureUnitReply = -7317,      /* measure-unit reply unusable */
    ResultBadTimeUnitReply = -7318,         /* time-unit reply unusable */
    ResultBadFullScaleReply = -7319,        /* full-scale reply unusable */
    ResultBadProcessValueReply = -7320,     /* process-value reply unusable */
    ResultSetPointNotConfirmed = -7321,     /* set-point reply lacks marker, CR or LF */
    ResultBadSetPointReply = -7322,         /* set-point reply unusable */
    ResultBadDecimalPlace = -7323,          /* decimal-places reply unusable, or Digits/Places not 0..3 */
    ResultDecimalPlaceNotConfirmed = -7325  /* reply lacks the confirmation of the new places */
};

/* ------------------------------------------------------------------------------------------------
 * Digital devices (HART long frame, 8 data bits, odd parity, 1 stop bit at Baud).
 * The response delay is round((583 / Baud + 0.1) * 1000) ms: 586 ms at 1200 down to 115 ms at 38400.
 * Address bytes: IdHigh, IdMid, IdLow (device identifier, most significant first) and DeviceType,
 * as ReadDeviceID returns them.
 * ---------------------------------------------------------------------------------------------- */

/* Command 1: the primary variable (flow) and its unit code.
 * Results: Ok/DeviceStatus, BadPort, BadBaud, PortAbsent, PortBusy, NoReply, BadLength,
 * BadChecksum, ErrorReply, ErrorReplyChecksum. */
TARVIK_API int32_t TARVIK_CALL ReadFlow(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                        int32_t IdLow, int32_t DeviceType, int32_t* Value, uint8_t* Units,
                                        uint8_t* Status1, uint8_t* Status2);

/* Command 235: the set point in percent (SetPoint) and in units (SetPointInUnits, unit code Units). */
TARVIK_API int32_t TARVIK_CALL ReadSetPoint(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                            int32_t IdLow, int32_t DeviceType, int32_t* SetPoint,
                                            uint8_t* Units, int32_t* SetPointInUnits, uint8_t* Status1,
                                            uint8_t* Status2);

/* Command 236: write the set point. SetPointUnits must be 57 (percent) or 250, else
 * ResultBadSetPointUnit before any other check. SetPoint is a raw float pattern, sent unchanged. */
TARVIK_API int32_t TARVIK_CALL WriteSetPoint(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                             int32_t IdLow, int32_t DeviceType, int32_t SetPointUnits,
                                             int32_t SetPoint, uint8_t* Status1, uint8_t* Status2);

/* Command 0 (LookupMode 0, broadcast) or 11 (LookupMode 1, by the 8-character Tag): the long
 * address of the device that answers. Port and Baud are checked first, then the port; only then
 * LookupMode (ResultBadMode) and TagLength (ResultBadTextLength). Never returns ResultDeviceStatus. */
TARVIK_API int32_t TARVIK_CALL ReadDeviceID(int32_t LookupMode, int32_t Port, int32_t Baud, const char* Tag,
                                            int32_t TagLength, uint8_t* IdHigh, uint8_t* IdMid,
                                            uint8_t* IdLow, uint8_t* DeviceType, uint8_t* Status1,
                                            uint8_t* Status2);

/* Command 13 to the broadcast address: tag (8 chars), descriptor (16 chars) and date (day, month,
 * year - 1900) into a 27-byte TagRecord without terminating zero. On Ok/DeviceStatus only TagRecord
 * is written; Status1/Status2 are written only on ResultErrorReply. */
TARVIK_API int32_t TARVIK_CALL ReadTAG(int32_t Port, int32_t Baud, uint8_t* TagRecord, uint8_t* Status1,
                                       uint8_t* Status2);

/* Command 48: the four additional status bytes, each as 8 flag bytes (element i = bit i).
 * Never returns ResultDeviceStatus. */
TARVIK_API int32_t TARVIK_CALL ReadAddStatus(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                             int32_t IdLow, int32_t DeviceType, uint8_t* AddStatus0,
                                             uint8_t* AddStatus1, uint8_t* AddStatus2, uint8_t* AddStatus3,
                                             uint8_t* Status1, uint8_t* Status2);

/* Command 151: four unit/value pairs of gas entry GasNumber (1..10, else ResultBadGasNumber first). */
TARVIK_API int32_t TARVIK_CALL ReadGasData(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                           int32_t IdLow, int32_t DeviceType, int32_t GasNumber,
                                           uint8_t* Units1, int32_t* Value1, uint8_t* Units2, int32_t* Value2,
                                           uint8_t* Units3, int32_t* Value3, uint8_t* Units4, int32_t* Value4,
                                           uint8_t* Status1, uint8_t* Status2);

/* Command 150: the 12-character name of gas entry GasNumber (1..10), no terminating zero. */
TARVIK_API int32_t TARVIK_CALL ReadProcessGasType(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                                  int32_t IdLow, int32_t DeviceType, int32_t GasNumber,
                                                  char* GasTypeText, uint8_t* Status1, uint8_t* Status2);

/* Command 193: four operational setting bytes. */
TARVIK_API int32_t TARVIK_CALL ReadOperationalSettings(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                       int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                       uint8_t* Setting1, uint8_t* Setting2,
                                                       uint8_t* Setting3, uint8_t* Setting4,
                                                       uint8_t* Status1, uint8_t* Status2);

/* Command 196: select the flow unit with two device-specific bytes (no range check). */
TARVIK_API int32_t TARVIK_CALL SelectFlowUnit(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                              int32_t IdLow, int32_t DeviceType, int32_t UnitData1,
                                              int32_t UnitData2, uint8_t* Status1, uint8_t* Status2);

/* Command 195: make gas entry GasNumber (1..10) the active one. A reply whose byte count does not
 * fit its length gives ResultBadLength. */
TARVIK_API int32_t TARVIK_CALL SelectGasNumber(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                               int32_t IdLow, int32_t DeviceType, int32_t GasNumber,
                                               uint8_t* Status1, uint8_t* Status2);

/* Command 230: the valve-override state. Byte-count test as SelectGasNumber. */
TARVIK_API int32_t TARVIK_CALL ReadVORState(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                            int32_t IdLow, int32_t DeviceType, uint8_t* State,
                                            uint8_t* Status1, uint8_t* Status2);

/* Command 231: write the valve-override state (0..2, else ResultBadVORState first). */
TARVIK_API int32_t TARVIK_CALL WriteVORState(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                             int32_t IdLow, int32_t DeviceType, int32_t State,
                                             uint8_t* Status1, uint8_t* Status2);

/* Command 240: the totalizer state. */
TARVIK_API int32_t TARVIK_CALL ReadTotalizerState(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                                  int32_t IdLow, int32_t DeviceType, uint8_t* State,
                                                  uint8_t* Status1, uint8_t* Status2);

/* Command 241: write the totalizer state (0..2, else ResultBadTotalizerState first). */
TARVIK_API int32_t TARVIK_CALL WriteTotalizerState(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                                   int32_t IdLow, int32_t DeviceType, int32_t State,
                                                   uint8_t* Status1, uint8_t* Status2);

/* Command 242: the totalizer value (raw float pattern) and its unit code. */
TARVIK_API int32_t TARVIK_CALL ReadTotalizer(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                             int32_t IdLow, int32_t DeviceType, int32_t* Value,
                                             uint8_t* Units, uint8_t* Status1, uint8_t* Status2);

/* Command 1 on a pressure device: the pressure (raw float pattern) and its unit code. */
TARVIK_API int32_t TARVIK_CALL ReadPressure(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                            int32_t IdLow, int32_t DeviceType, int32_t* Value,
                                            uint8_t* Units, uint8_t* Status1, uint8_t* Status2);

/* Command 159: unit code and full-scale value of pressure application 1..6 (else
 * ResultBadApplication first). Note the order: Units before Value. */
TARVIK_API int32_t TARVIK_CALL ReadFullScaleRangePressure(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                          int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                          int32_t Application, uint8_t* Units,
                                                          int32_t* Value, uint8_t* Status1,
                                                          uint8_t* Status2);

/* Command 198: select the pressure unit (any code 0..255). */
TARVIK_API int32_t TARVIK_CALL SelectPressureUnit(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                                  int32_t IdLow, int32_t DeviceType, int32_t Units,
                                                  uint8_t* Status1, uint8_t* Status2);

/* Command 194: select pressure application 1..6 (else ResultBadApplication first). */
TARVIK_API int32_t TARVIK_CALL SelectPressureApplication(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                         int32_t IdMid, int32_t IdLow, int32_t DeviceType,
                                                         int32_t Application, uint8_t* Status1,
                                                         uint8_t* Status2);

/* Command 192: four operational setting bytes of a pressure device. */
TARVIK_API int32_t TARVIK_CALL ReadOperationalSettingsPressure(int32_t Port, int32_t Baud, int32_t IdHigh,
                                                               int32_t IdMid, int32_t IdLow,
                                                               int32_t DeviceType, uint8_t* Setting1,
                                                               uint8_t* Setting2, uint8_t* Setting3,
                                                               uint8_t* Setting4, uint8_t* Status1,
                                                               uint8_t* Status2);

/* Command 128: write protection with an 8-character text (ProtectTextLength must be 8, else
 * ResultBadTextLength before any other check) and a mode byte that the device echoes. An echo that
 * differs gives ResultEchoMismatch (Status1/Status2 written). Note the argument order. */
TARVIK_API int32_t TARVIK_CALL WriteProtectS(int32_t Port, int32_t Baud, const char* ProtectText,
                                             int32_t ProtectTextLength, int32_t IdHigh, int32_t IdMid,
                                             int32_t IdLow, int32_t DeviceType, int32_t ProtectMode,
                                             uint8_t* Status1, uint8_t* Status2);

/* Command 39 with code 0: save the working data to non-volatile memory. An echo other than 0 gives
 * ResultEchoMismatch, unless Status2 makes it ResultDeviceStatus. */
TARVIK_API int32_t TARVIK_CALL BackupDatabaseS(int32_t Port, int32_t Baud, int32_t IdHigh, int32_t IdMid,
                                               int32_t IdLow, int32_t DeviceType, uint8_t* Status1,
                                               uint8_t* Status2);

/* ------------------------------------------------------------------------------------------------
 * Model 0731 read-out unit (ASCII lines, 9600 bit/s, 8 data bits, no parity, 1 stop bit).
 * Channel 1..4 (compared as a whole 32-bit value). Waits 500 ms, 600 ms for the two set-point
 * calls. Numbers travel with a full stop as decimal separator, whatever the host's locale.
 * On an unusable reply a numeric output gets its failure value (-1 for integers, -999.0 for
 * floats) and the source byte 0; on argument, port and no-reply results outputs are untouched.
 * A port that fails after the port check passed gives ResultPortBusy.
 * ---------------------------------------------------------------------------------------------- */

/* "AZI\r": the reply must contain "Tarvik Instrument" and "0731" (any case, any order). */
TARVIK_API int32_t TARVIK_CALL TestComs_0731(int32_t Port);

/* Parameter 46: Source = 1 serial, 2 manual, 0 when the reply names neither (ResultBadSourceReply). */
TARVIK_API int32_t TARVIK_CALL ReadSetPointSource_0731(int32_t Port, int32_t Channel, uint8_t* Source);
TARVIK_API int32_t TARVIK_CALL WriteSerialSetPointSource_0731(int32_t Port, int32_t Channel);
TARVIK_API int32_t TARVIK_CALL WriteManualSetPointSource_0731(int32_t Port, int32_t Channel);

/* Parameter 29: valve override State 0..2 (checked before Channel). */
TARVIK_API int32_t TARVIK_CALL WriteVORState_0731(int32_t Port, int32_t Channel, int32_t State);

/* Parameters 4, 10, 9 and 3 of the channel's measurement address. */
TARVIK_API int32_t TARVIK_CALL ReadMeasureUnit_0731(int32_t Port, int32_t Channel, int32_t* Units);
TARVIK_API int32_t TARVIK_CALL ReadTimeUnit_0731(int32_t Port, int32_t Channel, int32_t* Units);
TARVIK_API int32_t TARVIK_CALL ReadFullScale_0731(int32_t Port, int32_t Channel, float* Value);
TARVIK_API int32_t TARVIK_CALL ReadDecimalPlace_0731(int32_t Port, int32_t Channel, int32_t* Places);
/* Places 0..3 (checked after Channel). */
TARVIK_API int32_t TARVIK_CALL WriteDecimalPlace_0731(int32_t Port, int32_t Channel, int32_t Places);

/* The measured process value of the channel. */
TARVIK_API int32_t TARVIK_CALL ReadProcessVariable_0731(int32_t Port, int32_t Channel, float* Value);
/* Parameter 1: the set point (600 ms wait). */
TARVIK_API int32_t TARVIK_CALL ReadSetPoint_0731(int32_t Port, int32_t Channel, float* Value);
/* Write the set point with Digits 0..3 decimals (checked after Channel); ties round away from zero,
 * NAN/INF/-INF are sent as such, magnitudes of 1e10 and more in exponent form (d.dddddddddE+XX). */
TARVIK_API int32_t TARVIK_CALL WriteSetPoint_0731(int32_t Port, int32_t Channel, int32_t Digits,
                                                  float SetPoint);

#ifdef __cplusplus
}
#endif

#endif /* TARVIK_DLL_H */
