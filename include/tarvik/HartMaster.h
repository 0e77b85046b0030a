// tarvik/HartMaster.h - the fast link to any HART device: a master on an open line.
//
// Where HartLink (Link.h) speaks the long frames of the library's own flow and pressure devices, a
// HartMaster speaks to any HART field device, on a point-to-point loop or a multidrop line:
//   - Command(address, number, data) sends any command and returns the response code, the
//     field-device status and the reply data (no allocation per call);
//   - typed calls decode the universal commands (HartTypes.h);
//   - a device is addressed by its polling address (short frames) or by the long address that
//     command 0 gives (long frames); requests carry as many preambles as the device asked for in
//     its command-0 reply, and the master bit of the configured master;
//   - a missing or damaged reply (nothing, bad checksum, or a communication error the device
//     reports for a damaged request) is tried again `retries` times; a busy device (response code
//     32) again after a back-off that doubles; any other answer is the device's and is returned;
//   - Scan looks for devices at polling addresses with command 0 and a short time-out;
//   - Listen hands each frame that devices in burst mode send to the caller; burst frames that
//     come during a command go to the burst handler, if one is set.
// Calls on one master from several threads are serialised (and with the other users of its Line,
// tarvik/Line.h); calls never throw. Results are the
// library's codes (TarvikDLL.h): ResultOk when a reply came (look at its response code),
// ResultNoReply, ResultBadChecksum (bytes came but no good reply: damaged, cut short or stray),
// ResultPortBusy (the port failed; it is opened again by the next call), ResultBadTextLength (a text that
// does not fit its field, refused before the wire), or the result of a failed Open.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../TarvikDLL.h"
#include "HartTypes.h"
#include "Link.h"

namespace tarvik::link {

struct MasterOptions {
    // Longest wait for a reply, counted from the request, in ms; 0: the exports' wait for the
    // rate (115..586 ms). A reply whose bytes are still arriving is waited for to its end.
    std::int32_t timeoutMs = 0;
    std::int32_t retries = 2;        // further tries on a missing or damaged reply
    std::int32_t busyRetries = 3;    // further tries while the device answers busy (32)
    std::int32_t busyBackoffMs = 50; // the first back-off; doubled each time
    hart::Master master = hart::Master::Primary;
    std::uint8_t preambles = 5; // for devices whose command-0 reply has not been seen
};

// The outcome of one command.
struct HartReply {
    std::int32_t result = ResultNoReply;
    std::uint8_t responseCode = 0; // first status byte, as sent (bit 7: communication error)
    std::uint8_t deviceStatus = 0; // second status byte
    std::array<std::uint8_t, hart::kMaxData> data{};
    std::size_t size = 0;
    std::int32_t attempts = 0; // requests sent

    std::span<const std::uint8_t> Data() const { return std::span(data).first(size); }
    bool Replied() const { return result == ResultOk; }
    bool CommError() const { return Replied() && (responseCode & hart::kCommErrorBit) != 0; }
    // A reply with response code 0 (success).
    bool Success() const { return Replied() && responseCode == 0; }
};

// A typed call: the reply, and its data decoded (as far as the device sent it) when it Replied
// without a communication error.
template <class T>
struct HartCall {
    HartReply reply;
    T value{};
    bool Ok() const { return reply.Success(); }
};

// A device found by Scan.
struct FoundDevice {
    std::uint8_t polling = 0;
    hart::Identity identity;
};

class TARVIK_LINK_API HartMaster {
public:
    HartMaster();
    // A user of `line` (tarvik/Line.h): commands, scans and listening take their turns with the
    // line's other users.
    explicit HartMaster(Line& line);
    ~HartMaster();
    HartMaster(const HartMaster&) = delete;
    HartMaster& operator=(const HartMaster&) = delete;

    // Opens port 1..40 at `baud` (one of the eight rates), 8 data bits, odd parity, 1 stop bit.
    std::int32_t Open(std::int32_t port, std::int32_t baud, MasterOptions options = {});
    void Close() noexcept;
    bool IsOpen() const noexcept;
    void SetOptions(MasterOptions options);
    MasterOptions GetOptions() const;

    // Any command. `data` holds at most 255 bytes.
    HartReply Command(const hart::Address& address, std::uint8_t command,
                      std::span<const std::uint8_t> data = {});

    // Universal commands. Reading the identity (0, 11, 21) also learns the preambles the device wants.
    HartCall<hart::Identity> ReadIdentity(const hart::Address& address);
    HartCall<hart::Identity> ReadIdentityByTag(std::string_view tag);         // broadcast, 8 characters
    HartCall<hart::Identity> ReadIdentityByLongTag(std::string_view longTag); // broadcast, 32
    HartCall<hart::PrimaryVariable> ReadPrimaryVariable(const hart::Address& address);
    HartCall<hart::LoopCurrent> ReadLoopCurrent(const hart::Address& address);
    HartCall<hart::DynamicVariables> ReadDynamicVariables(const hart::Address& address);
    HartCall<std::string> ReadMessage(const hart::Address& address);
    HartCall<hart::TagDescriptorDate> ReadTagDescriptorDate(const hart::Address& address);
    HartCall<hart::TransducerInfo> ReadTransducerInfo(const hart::Address& address);
    HartCall<hart::DeviceInfo> ReadDeviceInfo(const hart::Address& address);
    HartCall<std::uint32_t> ReadFinalAssembly(const hart::Address& address);
    HartCall<std::string> ReadLongTag(const hart::Address& address);
    HartCall<hart::AdditionalStatus> ReadAdditionalStatus(const hart::Address& address);
    // Writes return what the device echoes: what it now holds. WritePollingAddress reads command 0
    // first: from revision 6 the request also carries the loop current mode (hart/Universal.h).
    HartCall<hart::PollingAddressReply> WritePollingAddress(const hart::Address& address,
                                                            std::uint8_t polling);
    HartCall<std::string> WriteMessage(const hart::Address& address, std::string_view message);
    HartCall<hart::TagDescriptorDate> WriteTagDescriptorDate(const hart::Address& address,
                                                             const hart::TagDescriptorDate& record);
    HartCall<std::string> WriteLongTag(const hart::Address& address, std::string_view longTag);
    HartReply ResetConfigChanged(const hart::Address& address);
    HartCall<std::uint8_t> WriteBurstCommand(const hart::Address& address, std::uint8_t command);
    HartCall<std::uint8_t> SetBurstMode(const hart::Address& address, bool on);

    // Scans polling addresses first..last with command 0 in short frames, waiting `perAddressMs`
    // for a reply to start (0: the request's wire time plus 60 bit times and 20 ms); `progress`, if
    // given, hears each address as it is done (found or not). Silence means no device there: only a
    // damaged reply is tried again (`retries` times).
    std::vector<FoundDevice>
    Scan(std::uint8_t first, std::uint8_t last, std::int32_t perAddressMs = 0,
         const std::function<void(std::uint8_t polling, const FoundDevice* found)>& progress = {});
    // The same, but `progress` returns false to end the scan after that address (a caller that was
    // interrupted). `progress` runs outside the master's lock and may call the master.
    std::vector<FoundDevice>
    ScanWhile(std::uint8_t first, std::uint8_t last, std::int32_t perAddressMs,
              const std::function<bool(std::uint8_t polling, const FoundDevice* found)>& progress);

    // Hands every burst frame to `onFrame` for `durationMs` (or until it returns false); a frame
    // under way when the time is up is waited for to its end (at most a whole frame's time). The
    // line is held in slices of at most 100 ms: other users of a shared Line take turns between. Returns
    // ResultOk, or the result of a failed port. `onFrame` runs inside the call and must not call
    // the master.
    std::int32_t Listen(std::int32_t durationMs, const std::function<bool(const hart::Frame&)>& onFrame);
    // Burst frames seen during commands go here (none: dropped). The handler runs inside the call
    // and must not call the master.
    void SetBurstHandler(std::function<void(const hart::Frame&)> handler);

    struct Impl;

private:
    // Remembers the preambles the device at `address` wants.
    void Learn(const hart::Address& address, const hart::Identity& identity);

    std::unique_ptr<Impl> impl_;
};

} // namespace tarvik::link
