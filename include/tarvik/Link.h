// tarvik/Link.h - the fast link: a C++ interface for hosts that poll.
//
// The C exports of TarvikDLL.h are one complete transaction each: they open the port twice and
// always wait their fixed response delay. A link object instead opens its port once, with the
// family's line settings and for exclusive use, and keeps it open until Close or destruction. Each
// request ends as soon as the reply is complete:
//   - HART: after the preamble, the byte-count byte gives the frame's length;
//   - 0731 unit: when the reply holds both a carriage return and a line feed (the unit ends every
//     reply line with CR LF; rule B of the value reads needs both);
// or at the timeout, which by default is the matching export's fixed wait. A reply that is
// incomplete at the timeout is judged on what arrived, exactly as the export would judge it.
// While a reply comes in, the link sleeps through the bytes it likely still needs instead of
// waking for each one: it first looks at the line once the request and the command's full reply
// could have crossed it at the line's rate (never later than 2 ms after the shortest acceptable
// reply could have), and takes a reply within about a byte time of its last byte (an error reply,
// shorter than expected, within 2 ms more). A 0731 reply's length is not in the reply: the link
// expects one as long as the last complete reply to the same command (the unit's replies to a
// command vary by a few characters) and rests at most 2 ms past the moment the missing line end
// could have come. A peer that answers faster than a line can (a simulator without line timing) is
// therefore answered at line pace.
//
// The requests, reply classification, reply rules and decoders are the exports' own, and so are
// the result codes (TarvikDLL.h). Values come back typed: HART values as floats (the bit patterns
// the exports hand out, converted), unit codes and states as bytes.
//
// Calls on one link from several threads are serialised, and so are the calls of every link made
// on one Line (tarvik/Line.h: one port shared by several links, fair and bounded turns). A link is neither
// copied nor moved (hold it by pointer where it must travel). Calls never throw. Before each request the link
// drops any bytes still queued from an earlier reply. When the port fails during a request (unplugged, taken
// away) the request returns ResultPortBusy and the link closes its port; the next request opens it again.
// With TARVIK_TRACE set (see TarvikDLL.h) each link call writes a trace line as the exports do,
// named "HartLink::ReadFlow" and so on, its reply bytes with the offset at which each piece came.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../TarvikDLL.h"

#if defined(_WIN32) && !defined(TARVIK_LINK_STATIC)
#if defined(TARVIK_BUILDING_LINK)
#define TARVIK_LINK_API __declspec(dllexport)
#else
#define TARVIK_LINK_API __declspec(dllimport)
#endif
#elif defined(TARVIK_BUILDING_LINK)
#define TARVIK_LINK_API __attribute__((visibility("default")))
#else
#define TARVIK_LINK_API
#endif

namespace tarvik::link {

class Line; // tarvik/Line.h: one port shared by several links

struct Options {
    // Longest wait for a complete reply, in milliseconds, counted from the request; 0 takes the
    // matching export's fixed wait (HART: 115..586 ms by rate; 0731: 500 or 600 ms).
    std::int32_t timeoutMs = 0;
    // Further tries when a reply is missing (ResultNoReply) or damaged (HART: wrong checksum or
    // length; 0731: no line end by the timeout). Writes are repeated too: every write command of
    // both families sets a value, so a repeat is harmless.
    std::int32_t retries = 0;
};

// ---- HART devices ------------------------------------------------------------------------------

// A device's long address, as ReadDeviceId learns it.
struct DeviceAddress {
    std::uint8_t deviceType = 0;
    std::uint8_t idHigh = 0;
    std::uint8_t idMid = 0;
    std::uint8_t idLow = 0;
};

// The outcome of one HART request. `status1`/`status2` are valid when `hasStatus` (results
// ResultOk, ResultDeviceStatus and ResultErrorReply, as the exports write them); `value` is valid
// when `hasValue` (a full reply with a correct checksum: ResultOk, ResultDeviceStatus, and
// ResultEchoMismatch of the two echoing writes).
template <class T>
struct HartResult {
    std::int32_t result = ResultNoReply;
    bool hasStatus = false;
    std::uint8_t status1 = 0;
    std::uint8_t status2 = 0;
    bool hasValue = false;
    T value{};
    bool Ok() const { return result == ResultOk; }
};

struct Done {}; // the value of commands that return nothing but their status

struct Measurement {
    float value = 0; // flow, pressure, totalizer, full-scale range
    std::uint8_t units = 0;
};

struct SetPoint {
    float percent = 0; // the set point in percent of full scale
    std::uint8_t units = 0;
    float inUnits = 0; // the same in `units`
};

struct GasData {
    std::array<Measurement, 4> entries{};
};

struct TagRecord {
    std::string tag;        // 8 characters
    std::string descriptor; // 16 characters
    std::uint8_t day = 0, month = 0, yearSince1900 = 0;
};

class TARVIK_LINK_API HartLink {
public:
    HartLink();
    // A user of `line` (tarvik/Line.h): requests take their turns with the line's other users.
    explicit HartLink(Line& line);
    ~HartLink();
    HartLink(const HartLink&) = delete;
    HartLink& operator=(const HartLink&) = delete;

    // Opens port 1..40 with 8 data bits, odd parity, 1 stop bit at `baud` (one of the eight rates
    // of the exports). ResultOk, ResultBadPort, ResultBadBaud, ResultPortAbsent or ResultPortBusy.
    // A link that is open already closes its port first.
    std::int32_t Open(std::int32_t port, std::int32_t baud, Options options = {});
    void Close() noexcept;
    bool IsOpen() const noexcept;
    // Until the link is opened successfully every request returns the result of the last Open
    // (ResultBadPort when it never was).
    void SetOptions(Options options);
    Options GetOptions() const;

    // Broadcast commands.
    HartResult<DeviceAddress> ReadDeviceId();
    HartResult<DeviceAddress> ReadDeviceIdByTag(std::string_view tag); // 8 characters
    HartResult<TagRecord> ReadTag();

    // Addressed commands; argument checks and result codes as the export of the same name.
    HartResult<Measurement> ReadFlow(const DeviceAddress& device);
    HartResult<Measurement> ReadPressure(const DeviceAddress& device);
    HartResult<Measurement> ReadTotalizer(const DeviceAddress& device);
    HartResult<Measurement> ReadFullScaleRangePressure(const DeviceAddress& device, std::uint8_t application);
    HartResult<SetPoint> ReadSetPoint(const DeviceAddress& device);
    // `units`: 57 (percent) or 250 (the flow unit).
    HartResult<Done> WriteSetPoint(const DeviceAddress& device, std::uint8_t units, float setPoint);
    // The four additional status bytes (ReadAddStatus spreads their bits into flags).
    HartResult<std::array<std::uint8_t, 4>> ReadAddStatus(const DeviceAddress& device);
    HartResult<GasData> ReadGasData(const DeviceAddress& device, std::uint8_t gasNumber);
    HartResult<std::string> ReadProcessGasType(const DeviceAddress& device, std::uint8_t gasNumber);
    HartResult<std::array<std::uint8_t, 4>> ReadOperationalSettings(const DeviceAddress& device);
    HartResult<std::array<std::uint8_t, 4>> ReadOperationalSettingsPressure(const DeviceAddress& device);
    HartResult<Done> SelectFlowUnit(const DeviceAddress& device, std::uint8_t unitData1,
                                    std::uint8_t unitData2);
    HartResult<Done> SelectGasNumber(const DeviceAddress& device, std::uint8_t gasNumber);
    HartResult<Done> SelectPressureUnit(const DeviceAddress& device, std::uint8_t units);
    HartResult<Done> SelectPressureApplication(const DeviceAddress& device, std::uint8_t application);
    HartResult<std::uint8_t> ReadVORState(const DeviceAddress& device);
    HartResult<Done> WriteVORState(const DeviceAddress& device, std::uint8_t state);
    HartResult<std::uint8_t> ReadTotalizerState(const DeviceAddress& device);
    HartResult<Done> WriteTotalizerState(const DeviceAddress& device, std::uint8_t state);
    HartResult<Done> WriteProtect(const DeviceAddress& device, std::string_view text, std::uint8_t mode);
    HartResult<Done> BackupDatabase(const DeviceAddress& device);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// ---- the 0731 read-out unit --------------------------------------------------------------------

// The outcome of one request to the unit. `value` is the number read on ResultOk and the
// failure value of its kind (-1, -999.0, source 0) when the reply was unusable, as the exports
// write it; after any other result it is not valid.
template <class T>
struct UnitResult {
    std::int32_t result = ResultNoReply;
    T value{};
    bool Ok() const { return result == ResultOk; }
};

class TARVIK_LINK_API ReadoutLink {
public:
    ReadoutLink();
    explicit ReadoutLink(Line& line); // a user of `line` (tarvik/Line.h)
    ~ReadoutLink();
    ReadoutLink(const ReadoutLink&) = delete;
    ReadoutLink& operator=(const ReadoutLink&) = delete;

    // Opens port 1..40 with 9600 bit/s, 8 data bits, no parity, 1 stop bit. ResultOk,
    // ResultBadPort, ResultPortAbsent or ResultPortBusy.
    std::int32_t Open(std::int32_t port, Options options = {});
    void Close() noexcept;
    bool IsOpen() const noexcept;
    void SetOptions(Options options);
    Options GetOptions() const;

    UnitResult<Done> TestComs();
    UnitResult<std::uint8_t> ReadSetPointSource(std::int32_t channel); // 1 serial, 2 manual
    UnitResult<Done> WriteSerialSetPointSource(std::int32_t channel);
    UnitResult<Done> WriteManualSetPointSource(std::int32_t channel);
    UnitResult<Done> WriteVORState(std::int32_t channel, std::int32_t state);
    UnitResult<std::int32_t> ReadMeasureUnit(std::int32_t channel);
    UnitResult<std::int32_t> ReadTimeUnit(std::int32_t channel);
    UnitResult<float> ReadFullScale(std::int32_t channel);
    UnitResult<std::int32_t> ReadDecimalPlace(std::int32_t channel);
    UnitResult<Done> WriteDecimalPlace(std::int32_t channel, std::int32_t places);
    UnitResult<float> ReadProcessVariable(std::int32_t channel);
    UnitResult<float> ReadSetPoint(std::int32_t channel);
    UnitResult<Done> WriteSetPoint(std::int32_t channel, std::int32_t digits, float setPoint);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace tarvik::link
