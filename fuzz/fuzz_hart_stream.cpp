// The HART stream decoder on arbitrary bytes, fed in pieces the input chooses: every frame it
// reports is whole (its body as long as its byte count said, the checksum as computed), frames with
// a good checksum decode as universal replies without harm, and a frame built again from a
// reported frame is found again alone.
#include <cstdint>
#include <cstdlib>

#include "hart/Frame.h"
#include "hart/Universal.h"

using namespace tarvik::hart;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void Rebuilt(const Frame& f) {
    FrameBytes bytes;
    const Address address = f.DeviceAddress();
    const Master master = f.FromPrimary() ? Master::Primary : Master::Secondary;
    Check(BuildFrame(f.type, address, master, f.BurstBit(), f.command, f.Body(), kDefaultPreambles, bytes));
    FrameDecoder again;
    int found = 0;
    again.Feed(bytes.Bytes(), [&](const Frame& g) {
        ++found;
        Check(g.checksumOk && g.command == f.command && g.bodySize == f.bodySize);
    });
    Check(found == 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + data[0] % 32;
    FrameDecoder decoder;
    std::uint64_t reported = 0;
    for (std::size_t i = 1; i < size; i += piece) {
        const std::span<const std::uint8_t> bytes(data + i, std::min(piece, size - i));
        decoder.Feed(bytes, [&](const Frame& f) {
            ++reported;
            Check(f.bodySize <= kMaxData);
            if (!f.checksumOk) return;
            Rebuilt(f);
            const auto d = f.Data();
            (void)DecodeIdentity(d);
            (void)DecodeDynamicVariables(d);
            (void)DecodeDeviceInfo(d);
            (void)DecodeTagDescriptorDate(d);
            (void)DecodeMessage(d);
            (void)DecodeLongTag(d);
            (void)DecodeAdditionalStatus(d);
        });
    }
    Check(reported == decoder.Frames() + decoder.Damaged());
    return 0;
}
