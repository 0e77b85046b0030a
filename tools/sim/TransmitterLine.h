// A multidrop line of generic transmitters behind one port: requests are found in the received
// bytes with the codec's stream decoder and handed to the devices; the one addressed answers. Burst
// frames of devices in burst mode go out only while the line is quiet: never over a request that
// is arriving or a reply that is going out (the server says when its bytes end, paced at the line's
// rate or not), so two devices never talk at once.
#pragma once

#include <memory>
#include <vector>

#include "Endpoint.h"
#include "Transmitter.h"

namespace tarvik::sim {

class TransmitterLine : public Endpoint {
public:
    // `count` transmitters at polling addresses 0..count-1 on line `com` at `baud`.
    TransmitterLine(int com, std::uint32_t baud, int count, std::uint32_t seed);

    std::vector<Bytes> Feed(std::span<const std::uint8_t> bytes, double now) override;
    void Reset() override { decoder_.Reset(); }
    LineSettings Line() const override { return {baud_, Parity::Odd, 8, 1}; }
    Protocol Kind() const override { return Protocol::Hart; }
    std::string Describe() const override;
    bool SpeaksUnasked() const override { return true; }
    std::vector<Bytes> Unasked(double now) override;
    void SendsUntil(double until) override;

    std::size_t Size() const { return devices_.size(); }
    Transmitter& Device(std::size_t i) { return *devices_[i]; }

private:
    // Seconds `bytes` take on the line.
    double WireTime(std::size_t bytes) const;

    std::uint32_t baud_;
    hart::FrameDecoder decoder_;
    std::vector<std::unique_ptr<Transmitter>> devices_;
    double quietFrom_ = 0; // the line carries nothing from the device side after this
    double nextBurst_ = 0;
    std::size_t burstTurn_ = 0;
};

} // namespace tarvik::sim
