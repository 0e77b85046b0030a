// The HART-IP stream decoder on arbitrary bytes, fed in pieces the input chooses: every message it
// hands over is whole and within bounds, built again it decodes as the same datagram, and a
// stream it stops on stays stopped. The datagram decoder and the PDU decoder see the same bytes.
#include <cstdint>
#include <cstdlib>

#include "hartip/Message.h"
#include "hartip/Stream.h"

using namespace tarvik::hartip;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void Whole(const Message& m) {
    Check(m.header.byteCount == kHeaderSize + m.bodySize && m.bodySize <= kMaxBody);
    MessageBytes again;
    Check(Build(m.header, m.Body(), again));
    Message back;
    Check(DecodeDatagram(again.Bytes(), back) == Verdict::Ok && back.header == m.header &&
          back.bodySize == m.bodySize);
    tarvik::hart::Frame f;
    if (DecodePdu(m.Body(), f)) Check(f.bodySize + 4 + (f.isLong ? 5 : 1) == m.bodySize);
    (void)DecodeSessionInitiate(m.Body());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    Message datagram;
    if (DecodeDatagram(input, datagram) == Verdict::Ok) Whole(datagram);

    const std::size_t piece = 1 + data[0] % 64;
    StreamDecoder decoder;
    std::size_t taken = 0;
    for (std::size_t i = 0; i < input.size(); i += piece) {
        const auto bytes = input.subspan(i, std::min(piece, input.size() - i));
        const Verdict before = decoder.State();
        const Verdict v = decoder.Feed(bytes, [&](const Message& m) {
            Whole(m);
            taken += m.header.byteCount;
        });
        if (before != Verdict::Ok) Check(v == before);
        Check(decoder.Held() <= kMaxMessage);
    }
    Check(taken + decoder.Held() <= input.size());
    if (decoder.State() == Verdict::Ok) Check(taken + decoder.Held() == input.size());
    return 0;
}
