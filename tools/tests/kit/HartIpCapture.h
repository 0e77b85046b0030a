// A pcap file of HART-IP exchanges on loopback port 5094, for an independent decoder (tshark) to
// read: what the tests sent and received, written as IPv4 TCP segments or UDP datagrams.
#pragma once

#include <stdio.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "hartip/Message.h"

namespace tarvik::testkit {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kClientPort = 40000;

inline void Put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
inline void Put32(Bytes& b, std::uint32_t v) {
    Put16(b, v >> 16);
    Put16(b, v & 0xFFFF);
}
inline void PutLe32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A pcap file (Ethernet link type) of IPv4 packets between two loopback ports.
class Capture {
public:
    Capture() {
        PutLe32(file_, 0xA1B2C3D4);              // magic, microsecond times
        file_.insert(file_.end(), {2, 0, 4, 0}); // version 2.4
        PutLe32(file_, 0);                       // time zone
        PutLe32(file_, 0);                       // accuracy
        PutLe32(file_, 65535);                   // snapshot length
        PutLe32(file_, 1);                       // Ethernet
    }
    // A TCP segment of `payload` (flags PSH ACK unless given), sequence numbers kept per side.
    void Tcp(bool fromClient, const Bytes& payload, std::uint8_t flags = 0x18) {
        Bytes t;
        Put16(t, fromClient ? kClientPort : hartip::kPort);
        Put16(t, fromClient ? hartip::kPort : kClientPort);
        Put32(t, fromClient ? clientSeq_ : serverSeq_);
        Put32(t, (flags & 0x10) ? (fromClient ? serverSeq_ : clientSeq_) : 0);
        t.insert(t.end(), {0x50, flags, 0xFF, 0xFF, 0, 0, 0, 0}); // offset 5 words, window, checksum, urgent
        t.insert(t.end(), payload.begin(), payload.end());
        const std::uint32_t used = static_cast<std::uint32_t>(payload.size()) + ((flags & 0x03) ? 1 : 0);
        (fromClient ? clientSeq_ : serverSeq_) += used;
        Ip(6, t);
    }
    void Udp(bool fromClient, const Bytes& payload) {
        Bytes u;
        Put16(u, fromClient ? kClientPort : hartip::kPort);
        Put16(u, fromClient ? hartip::kPort : kClientPort);
        Put16(u, static_cast<std::uint32_t>(8 + payload.size()));
        Put16(u, 0); // no checksum
        u.insert(u.end(), payload.begin(), payload.end());
        Ip(17, u);
    }
    bool Save(const std::string& path) const {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file_.data()), static_cast<std::streamsize>(file_.size()));
        return static_cast<bool>(out);
    }

private:
    void Ip(std::uint8_t protocol, const Bytes& segment) {
        Bytes p(12, 0); // destination and source MAC
        Put16(p, 0x0800);
        const std::size_t ip = p.size();
        p.insert(p.end(), {0x45, 0});
        Put16(p, static_cast<std::uint32_t>(20 + segment.size()));
        Put16(p, ++id_);
        p.insert(p.end(), {0x40, 0, 64, protocol, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1});
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < 20; i += 2)
            sum += static_cast<std::uint32_t>(p[ip + i] << 8 | p[ip + i + 1]);
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        p[ip + 10] = static_cast<std::uint8_t>(~sum >> 8);
        p[ip + 11] = static_cast<std::uint8_t>(~sum);
        p.insert(p.end(), segment.begin(), segment.end());
        PutLe32(file_, 1700000000 + id_);
        PutLe32(file_, 0);
        PutLe32(file_, static_cast<std::uint32_t>(p.size()));
        PutLe32(file_, static_cast<std::uint32_t>(p.size()));
        file_.insert(file_.end(), p.begin(), p.end());
    }

    Bytes file_;
    std::uint32_t clientSeq_ = 1000, serverSeq_ = 5000;
    std::uint16_t id_ = 0;
};

inline Bytes Of(const hartip::MessageBytes& m) {
    return Bytes(m.Bytes().begin(), m.Bytes().end());
}

// The standard output of a shell command.
inline std::string Output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        ::pclose(p);
    }
    return out;
}

} // namespace tarvik::testkit
