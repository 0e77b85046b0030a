// What the HART-IP server needs of the gateway's serial lines: which HART devices sit on which
// port, and one HART command run on a port's line in its turn, between the gateway's own polls and
// writes. The server hands a LineCall over and goes on serving; the line runs it and says so. A call
// still waiting when the server gives it up is never sent (a host repeating it must not write twice).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hart/Frame.h"

namespace tarvik::gateway {

// A HART device the gateway polls (kind hart, flow or pressure), as configured.
struct LineDevice {
    std::string name;
    int port = 0;
    int baud = 0;
    hart::Address address; // its polling address, or its long address
};

struct LineReply {
    bool answered = false; // a reply came (with or without a communication error)
    std::uint8_t responseCode = 0, deviceStatus = 0;
    std::vector<std::uint8_t> data;
};

// One command for one device on one line, shared by the server (which waits for it or gives it up)
// and the line (which runs it).
class LineCall {
public:
    LineCall(int port, int baud, hart::Address address, hart::Master master, std::uint8_t command,
             std::vector<std::uint8_t> data, std::function<void()> finished)
        : port(port), baud(baud), address(address), master(master), command(command), data(std::move(data)),
          finished_(std::move(finished)) {}

    const int port, baud;
    const hart::Address address;
    const hart::Master master;
    const std::uint8_t command;
    const std::vector<std::uint8_t> data;

    // The line: true when it may send the call (the server has not given it up).
    bool Start() { return Move(State::Queued, State::Running); }
    // The line: the outcome; the server hears of it.
    void Finish(LineReply reply) {
        {
            std::lock_guard lock(mutex_);
            reply_ = std::move(reply);
            state_ = State::Done;
        }
        if (finished_) finished_();
    }
    // The server: gives up a call that has not started; false when the line already has it.
    bool Abandon() { return Move(State::Queued, State::Abandoned); }
    bool Done(LineReply& reply) {
        std::lock_guard lock(mutex_);
        if (state_ != State::Done) return false;
        reply = reply_;
        return true;
    }

private:
    enum class State { Queued, Running, Done, Abandoned };
    bool Move(State from, State to) {
        std::lock_guard lock(mutex_);
        if (state_ != from) return false;
        state_ = to;
        return true;
    }
    std::mutex mutex_;
    State state_ = State::Queued;
    LineReply reply_;
    std::function<void()> finished_;
};

class HartIpLines {
public:
    virtual ~HartIpLines() = default;
    // The HART devices the gateway polls, in the order of its configuration.
    virtual std::vector<LineDevice> LineDevices() const = 0;
    // Queues `call` on its port's line; false when the port has no line here or its queue is full.
    virtual bool Submit(std::shared_ptr<LineCall> call) = 0;
};

} // namespace tarvik::gateway
