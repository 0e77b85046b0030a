// The device side of the HART long frame: a request parser that works on a byte stream, the reply
// builder, packed ASCII and big-endian floats.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kPreambleByte = 0xFF;
inline constexpr std::uint8_t kDelimiterRequest = 0x82; // long frame, master to device
inline constexpr std::uint8_t kDelimiterReply = 0x86;   // long frame, device to master
inline constexpr std::uint8_t kMasterBit = 0x80;        // first address byte: primary master
inline constexpr std::uint8_t kBurstBit = 0x40;         // first address byte: burst mode
inline constexpr std::uint8_t kManufacturerMask = 0x3F; // first address byte: manufacturer bits
inline constexpr std::size_t kAddressSize = 5;
inline constexpr std::size_t kMaxRequestData = 255;

struct HartRequest {
    std::array<std::uint8_t, kAddressSize> address{};
    std::uint8_t command = 0;
    Bytes data;
    bool checksumOk = false;
};

// Cuts a byte stream into requests: preamble bytes are skipped, anything before a request
// delimiter is dropped, a request ends after its byte count and checksum.
class HartRequestParser {
public:
    std::vector<HartRequest> Feed(std::span<const std::uint8_t> bytes);
    void Reset();
    bool Idle() const { return buffer_.empty(); }

private:
    Bytes buffer_; // from the delimiter on
};

std::uint8_t XorOf(std::span<const std::uint8_t> bytes);

// Preamble, 0x86, address, command, byte count (2 + data), the two status bytes, data, checksum.
Bytes BuildReply(const std::array<std::uint8_t, kAddressSize>& address, std::uint8_t command,
                 std::uint8_t status1, std::uint8_t status2, std::span<const std::uint8_t> data,
                 std::size_t preambles);

// HART packed ASCII: 4 characters of 6 bits in 3 bytes. Packing takes the low six bits of each
// character (text is padded with spaces to a multiple of 4); unpacking gives 0x20..0x5F.
Bytes PackAscii(std::string_view text);
std::string UnpackAscii(std::span<const std::uint8_t> packed);

// IEEE-754 single precision, most significant byte first.
void AppendFloat(Bytes& out, float value);
float FloatAt(std::span<const std::uint8_t> bytes, std::size_t pos);

std::string Hex(std::span<const std::uint8_t> bytes);

} // namespace tarvik::sim
