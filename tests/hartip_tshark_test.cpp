// An independent decoder reads what the HART-IP codec writes: a session over TCP (initiate,
// keep-alive, pass-through of long-frame commands 0, 1, 3, 13, 9 and 33, close) and a keep-alive over UDP,
// written into a pcap file on loopback port 5094 and decoded by tshark. Its header fields, command
// numbers and response codes must be the ones sent, with no malformed or unexpected packet.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/tests/kit/HartIpCapture.h"
#include "hart/Configure.h"
#include "hart/Frame.h"
#include "hart/Universal.h"
#include "hartip/Message.h"

using namespace tarvik;
using Bytes = std::vector<std::uint8_t>;
using testkit::Capture;
using testkit::Output;

namespace {

using testkit::Of;
Bytes Of(const hart::RequestData& r) {
    return {r.Data().begin(), r.Data().end()};
}

const std::array<std::uint8_t, hart::kLongAddressSize> kUnique{0x21, 0xE1, 0x00, 0x00, 0x2A};

Bytes Pdu(hart::FrameType type, std::uint8_t command, std::uint8_t responseCode, const Bytes& data) {
    hart::FrameBytes f;
    const auto address = hart::Address::Long(kUnique);
    if (type == hart::FrameType::Request)
        hart::BuildRequest(address, hart::Master::Primary, command, data, 0, f);
    else
        hart::BuildReply(type, address, hart::Master::Primary, command, responseCode, 0, data, 0, f);
    return Bytes(f.Bytes().begin(), f.Bytes().end());
}

// One decoded packet, as tshark's fields give it.
struct Seen {
    std::string type, id, status, sequence, length, timer, command, responseCode;
};

} // namespace

TEST(HartIpTshark, AnIndependentDecoderReadsWhatTheCodecWrites) {
    if (Output("command -v tshark").empty())
        GTEST_SKIP() << "tshark is not installed: the independent check is skipped";
    char dirTemplate[] = "/tmp/hartip-pcap-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate, path = dir + "/session.pcap";

    // Identity (command 0, revision 7), PV (1), dynamic variables (3), tag/descriptor/date (13).
    const Bytes identity{254,  0xE1, 0x00, 5, 7, 1, 1,    0x08, 0,    0x00, 0x00,
                         0x2A, 5,    0,    0, 0, 0, 0x60, 0x00, 0x60, 0x00, 0};
    const Bytes pv{12, 0x42, 0x48, 0x00, 0x00}; // kPa 50.0
    const Bytes dynamic{0x41, 0x40, 0, 0, 12, 0x42, 0x48, 0, 0, 32, 0x41, 0xC8, 0, 0};
    Bytes tagDate(hart::kTagDescriptorDateBytes, 0);
    ASSERT_TRUE(hart::PackText("GW", hart::kTagChars, std::span(tagDate).first(hart::kPackedTagBytes)));
    ASSERT_TRUE(
        hart::PackText("GATEWAY", hart::kDescriptorChars,
                       std::span(tagDate).subspan(hart::kPackedTagBytes, hart::kPackedDescriptorBytes)));
    tagDate[18] = 8, tagDate[19] = 12, tagDate[20] = 126;
    // Device variables 0 and 1 with status (9: kPa 50.0, degC 25.0, then the time) and without (33).
    const std::uint8_t codes[] = {0, 1};
    const Bytes withStatus{0,  0,    65,   12, 0x42, 0x48, 0, 0, 0xC0, 1,    64,
                           32, 0x41, 0xC8, 0,  0,    0xC0, 0, 0, 0x7D, 0x00, 0x00};
    const Bytes variables{0, 12, 0x42, 0x48, 0, 0, 1, 32, 0x41, 0xC8, 0, 0};

    struct Exchange {
        std::uint8_t id;
        Bytes request, response;
        std::uint8_t status;
    };
    const auto initiateBody = hartip::EncodeSessionInitiate({hartip::kMasterPrimary, 30000});
    const Bytes initiate(initiateBody.begin(), initiateBody.end());
    const std::vector<Exchange> exchanges{
        {hartip::kIdSessionInitiate, initiate, initiate, hartip::kStatusSuccess},
        {hartip::kIdKeepAlive, {}, {}, hartip::kStatusSuccess},
        {hartip::kIdPassThrough, Pdu(hart::FrameType::Request, 0, 0, {}),
         Pdu(hart::FrameType::Reply, 0, 0, identity), hartip::kStatusSuccess},
        {hartip::kIdPassThrough, Pdu(hart::FrameType::Request, 1, 0, {}),
         Pdu(hart::FrameType::Reply, 1, 0, pv), hartip::kStatusSuccess},
        {hartip::kIdPassThrough, Pdu(hart::FrameType::Request, 3, 0, {}),
         Pdu(hart::FrameType::Reply, 3, 0, dynamic), hartip::kStatusSuccess},
        {hartip::kIdPassThrough, Pdu(hart::FrameType::Request, 13, 0, {}),
         Pdu(hart::FrameType::Reply, 13, 0, tagDate), hartip::kStatusSuccess},
        {hartip::kIdPassThrough, Pdu(hart::FrameType::Request, 9, 0, Of(hart::VariablesRequest(codes, 8))),
         Pdu(hart::FrameType::Reply, 9, 0, withStatus), hartip::kStatusSuccess},
        {hartip::kIdPassThrough, Pdu(hart::FrameType::Request, 33, 0, Of(hart::VariablesRequest(codes, 4))),
         Pdu(hart::FrameType::Reply, 33, 0, variables), hartip::kStatusSuccess},
        {hartip::kIdSessionClose, {}, {}, hartip::kStatusSuccess},
    };
    Capture capture;
    capture.Tcp(true, {}, 0x02);  // SYN
    capture.Tcp(false, {}, 0x12); // SYN ACK
    capture.Tcp(true, {}, 0x10);  // ACK
    std::vector<Seen> expected;
    std::uint16_t sequence = 100;
    const auto add = [&](bool udp, const Exchange& e) {
        hartip::MessageBytes request, response;
        ASSERT_TRUE(hartip::BuildRequest(e.id, sequence, e.request, request));
        hartip::Header h;
        ASSERT_EQ(hartip::DecodeHeader(request.Bytes(), h), hartip::Verdict::Ok);
        ASSERT_TRUE(hartip::BuildAnswer(h, hartip::kTypeResponse, e.status, e.response, response));
        udp ? capture.Udp(true, Of(request)) : capture.Tcp(true, Of(request));
        udp ? capture.Udp(false, Of(response)) : capture.Tcp(false, Of(response));
        const bool pt = e.id == hartip::kIdPassThrough;
        const std::string timer = e.id == hartip::kIdSessionInitiate ? "30000" : "";
        const std::string command = pt ? std::to_string(e.request[6]) : "";
        expected.push_back({"0", std::to_string(e.id), "0", std::to_string(sequence),
                            std::to_string(request.size), timer, command, ""});
        expected.push_back({"1", std::to_string(e.id), std::to_string(e.status), std::to_string(sequence),
                            std::to_string(response.size), timer, command, pt ? "0" : ""});
        ++sequence;
    };
    for (const Exchange& e : exchanges)
        add(false, e);
    add(true, exchanges[1]); // a keep-alive over UDP
    ASSERT_TRUE(capture.Save(path));

    const std::string tshark =
        "tshark -n -r " + path + " -d tcp.port==5094,hart_ip -d udp.port==5094,hart_ip ";
    const std::string fields =
        Output(tshark + "-Y hart_ip -T fields -E separator=/t -e hart_ip.message_type -e hart_ip.message_id "
                        "-e hart_ip.status -e hart_ip.transaction_id -e hart_ip.msg_length "
                        "-e hart_ip.session_init.inactivity_close_timer -e hart_ip.pt.command "
                        "-e hart_ip.pt.response_code 2>/dev/null");
    std::vector<Seen> seen;
    std::istringstream lines(fields);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            f.push_back(cell);
        f.resize(8);
        seen.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]});
    }
    ASSERT_EQ(seen.size(), expected.size()) << fields;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const Seen &s = seen[i], &e = expected[i];
        EXPECT_EQ(std::tie(s.type, s.id, s.status, s.sequence, s.length, s.timer, s.command, s.responseCode),
                  std::tie(e.type, e.id, e.status, e.sequence, e.length, e.timer, e.command, e.responseCode))
            << "packet " << i << ": " << fields;
    }
    const std::string verbose = Output(tshark + "-V 2>&1");
    EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
    EXPECT_EQ(verbose.find("Unexpected"), std::string::npos) << verbose;
    // The values inside the replies, as the decoder names them.
    for (const char* text : {"Expanded Device Type: 0xe100", "PV: 50", "Descriptor: GATEWAY"})
        EXPECT_NE(verbose.find(text), std::string::npos) << text << "\n" << verbose;
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
}
