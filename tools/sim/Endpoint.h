// One simulated instrument behind one port: the protocol's request framing and the device model.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Faults.h"
#include "FlowDevice.h"
#include "HartLink.h"
#include "LineSettings.h"
#include "PressureDevice.h"
#include "ReadoutUnit.h"

namespace tarvik::sim {

class Endpoint {
public:
    virtual ~Endpoint() = default;
    // Takes received bytes; returns one reply per complete request that the device answers.
    virtual std::vector<Bytes> Feed(std::span<const std::uint8_t> bytes, double now) = 0;
    // Drops a partly received request.
    virtual void Reset() = 0;
    // Frames the device sends unasked at `now` (burst mode); the server asks every few ms when
    // SpeaksUnasked.
    virtual bool SpeaksUnasked() const { return false; }
    virtual std::vector<Bytes> Unasked(double /*now*/) { return {}; }
    // The server tells when the last byte it holds for the line will have gone out (seconds).
    virtual void SendsUntil(double /*until*/) {}
    virtual LineSettings Line() const = 0;
    virtual Protocol Kind() const = 0;
    // One line for the start-up table: "HART flow device  address 64:010203  tag FT-103".
    virtual std::string Describe() const = 0;
};

class HartEndpoint : public Endpoint {
public:
    explicit HartEndpoint(std::unique_ptr<HartDevice> device) : device_(std::move(device)) {}
    std::vector<Bytes> Feed(std::span<const std::uint8_t> bytes, double now) override;
    void Reset() override { parser_.Reset(); }
    LineSettings Line() const override { return device_->Line(); }
    Protocol Kind() const override { return Protocol::Hart; }
    std::string Describe() const override;
    HartDevice& Device() { return *device_; }

private:
    HartRequestParser parser_;
    std::unique_ptr<HartDevice> device_;
};

class ReadoutEndpoint : public Endpoint {
public:
    explicit ReadoutEndpoint(std::uint32_t seed) : unit_(seed) {}
    std::vector<Bytes> Feed(std::span<const std::uint8_t> bytes, double now) override;
    void Reset() override { pending_.clear(); }
    LineSettings Line() const override { return unit_.Line(); }
    Protocol Kind() const override { return Protocol::Readout; }
    std::string Describe() const override { return unit_.Kind(); }
    ReadoutUnit& Unit() { return unit_; }

private:
    std::string pending_;
    ReadoutUnit unit_;
};

} // namespace tarvik::sim
