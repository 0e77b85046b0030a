// Minimal device models for the scripted peer: a HART device that answers every command with a
// well-formed full reply, and a 0731 unit that answers every request line in its reply format.
// Enough to drive every export to ResultOk with known outputs.
#pragma once

#include "HartFrames.h"
#include "ScriptedPeer.h"

namespace tarvik::test {

inline ScriptedReply Silence() {
    ScriptedReply r;
    r.silent = true;
    return r;
}

// Full reply length of each digital command (11 + data bytes after the status bytes).
inline int HartReplyLength(std::uint8_t command) {
    switch (command) {
    case 0:
    case 11:
        return 23;
    case 13:
        return 32;
    case 48:
        return 15;
    case 150:
        return 24;
    case 151:
        return 32;
    case 193:
        return 15;
    case 196:
        return 13;
    case 235:
    case 236:
        return 21;
    case 240:
        return 13;
    case 1:
    case 159:
    case 192:
    case 242:
        return 16;
    default:
        return 12; // the one-byte replies: 39, 128, 194, 195, 198, 230, 231, 241
    }
}

// Reply data: byte i is (command + i), except that one-byte replies echo the last request data
// byte (what write protection and backup check).
inline ScriptedReply HartModel(const Bytes& request) {
    std::size_t start = 0;
    while (start < request.size() && request[start] == 0xFF)
        ++start;
    if (request.size() < start + 9) return Silence();
    const std::uint8_t command = request[start + 6];
    const std::size_t n = request[start + 7];
    const int length = HartReplyLength(command);
    Bytes data(static_cast<std::size_t>(length - 11));
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(command + i);
    if (length == 12) data[0] = n > 0 ? request[start + 7 + n] : 0;
    Bytes address(request.begin() + static_cast<std::ptrdiff_t>(start + 1),
                  request.begin() + static_cast<std::ptrdiff_t>(start + 6));
    return {OnLine(HartFrame(command, 0x00, 0x00, data, address))};
}

// The 0731 unit: each parameter answers with its marker, a value in the fifth field (sixth for the
// process value), and CR LF; writes are confirmed by echoing "Pnn,v,".
inline ScriptedReply ReadoutModel(const Bytes& request) {
    const std::string line(request.begin(), request.end());
    std::string reply;
    if (line == "AZI\r") {
        reply = "Tarvik Instrument model 0731\r\n";
    } else if (line.size() >= 7 && line.compare(0, 3, "AZ.") == 0) {
        const std::string address = line.substr(3, 2);
        const std::string command = line.substr(5, line.size() - 6);
        if (command == "K") {
            reply = "AZ," + address + ",K,0,0,42.5,\r\n";
        } else if (command.size() >= 4 && command[3] == '?') {
            const std::string p = command.substr(0, 3);
            const std::string value = p == "P09" ? "100.0" : p == "P01" ? "12.50" : p == "P46" ? "1" : "2";
            reply = "AZ," + address + "," + p + "," + value + "," + value + ",\r\n";
        } else if (command.size() >= 5 && command[3] == '=') {
            reply = "AZ," + address + "," + command.substr(0, 3) + "," + command.substr(4) + ",\r\n";
        }
    }
    if (reply.empty()) return Silence();
    return {BytesOf(reply)};
}

} // namespace tarvik::test
