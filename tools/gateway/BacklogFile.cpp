#include "BacklogFile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <zlib.h>

namespace tarvik::gateway::backlogfile {

namespace {

// Not text: a topic or a JSON payload does not start a false record while the reader resynchronises.
constexpr std::array<unsigned char, 4> kMagic = {0xB5, 0xA7, 0x3C, 0xE1};
constexpr char kHeader = 'H';
constexpr char kReading = 'R';
constexpr char kLeft = 'L';
constexpr std::string_view kHeaderText = "tarvik-gateway backlog 2";
constexpr std::size_t kLengthAt = 4, kCrcAt = 8;

void PutLe(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint64_t GetLe(std::string_view in, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return v;
}

// CRC-32 of the length field and the body (the CRC field between them left out).
std::uint32_t Crc(std::string_view length, std::string_view body) {
    const auto crc =
        ::crc32(0L, reinterpret_cast<const Bytef*>(length.data()), static_cast<uInt>(length.size()));
    return static_cast<std::uint32_t>(
        ::crc32(crc, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
}

std::string Frame(std::string_view body) {
    std::string r(reinterpret_cast<const char*>(kMagic.data()), kMagic.size());
    PutLe(r, body.size(), 4);
    PutLe(r, Crc(std::string_view(r).substr(kLengthAt, 4), body), 4);
    return r.append(body);
}

bool MagicAt(std::string_view bytes, std::size_t at) {
    return bytes.size() - at >= kMagic.size() &&
           std::memcmp(bytes.data() + at, kMagic.data(), kMagic.size()) == 0;
}

// The body of an intact record at `at` (its whole size in `size`), or false.
bool RecordAt(std::string_view bytes, std::size_t at, std::string_view& body, std::size_t& size) {
    if (bytes.size() - at < kFrameSize || !MagicAt(bytes, at)) return false;
    const std::size_t length = GetLe(bytes, at + kLengthAt, 4);
    if (length == 0 || length > kMaxBody || bytes.size() - at - kFrameSize < length) return false;
    if (Crc(bytes.substr(at + kLengthAt, 4), bytes.substr(at + kFrameSize, length)) !=
        GetLe(bytes, at + kCrcAt, 4))
        return false;
    body = bytes.substr(at + kFrameSize, length);
    size = kFrameSize + length;
    switch (body[0]) {
    case kHeader:
        return true;
    case kLeft:
        return length == 9;
    case kReading:
        return length >= kReadingOverhead && GetLe(body, 9, 2) > 0 &&
               GetLe(body, 9, 2) <= length - kReadingOverhead;
    default:
        return false;
    }
}

// A last stretch that is the beginning of a record cut short: the magic (or its start) and less
// than the record its length field announces.
bool LooksCut(std::string_view tail) {
    const std::size_t n = std::min(tail.size(), kMagic.size());
    if (std::memcmp(tail.data(), kMagic.data(), n) != 0) return false;
    if (tail.size() < kCrcAt) return true;
    return tail.size() < kFrameSize + GetLe(tail, kLengthAt, 4);
}

} // namespace

std::string HeaderRecord() {
    return Frame(std::string(1, kHeader) + std::string(kHeaderText));
}

std::string ReadingRecord(std::uint64_t seq, std::string_view topic, std::string_view payload) {
    std::string body(1, kReading);
    PutLe(body, seq, 8);
    PutLe(body, topic.size(), 2);
    body.append(topic).append(payload);
    return Frame(body);
}

std::string LeftRecord(std::uint64_t upTo) {
    std::string body(1, kLeft);
    PutLe(body, upTo, 8);
    return Frame(body);
}

Contents Parse(std::string_view bytes) {
    Contents c;
    bool anyLeft = false;
    std::uint64_t leftUpTo = 0;
    std::size_t damagedFrom = std::string_view::npos;
    for (std::size_t at = 0; at < bytes.size();) {
        std::string_view body;
        std::size_t size = 0;
        if (!RecordAt(bytes, at, body, size)) {
            if (damagedFrom == std::string_view::npos) damagedFrom = at;
            // Resynchronise on the next magic; a false one fails its CRC.
            const auto next = bytes.find(reinterpret_cast<const char*>(kMagic.data()), at + 1, kMagic.size());
            at = next == std::string_view::npos ? bytes.size() : next;
            continue;
        }
        if (damagedFrom != std::string_view::npos) c.damage.push_back({damagedFrom, at - damagedFrom, false});
        damagedFrom = std::string_view::npos;
        const std::uint64_t seq = body.size() >= 9 ? GetLe(body, 1, 8) : 0;
        if (body[0] == kLeft) {
            leftUpTo = anyLeft ? std::max(leftUpTo, seq) : seq;
            anyLeft = true;
        } else if (body[0] == kReading) {
            const std::size_t topicSize = GetLe(body, 9, 2);
            c.readings.push_back({seq, std::string(body.substr(kReadingOverhead, topicSize)),
                                  std::string(body.substr(kReadingOverhead + topicSize))});
        }
        if (body[0] != kHeader) c.nextSeq = std::max(c.nextSeq, seq + 1);
        at += size;
    }
    if (damagedFrom != std::string_view::npos)
        c.damage.push_back({damagedFrom, bytes.size() - damagedFrom, LooksCut(bytes.substr(damagedFrom))});
    std::erase_if(c.readings, [&](const Reading& r) { return anyLeft && r.seq <= leftUpTo; });
    std::stable_sort(c.readings.begin(), c.readings.end(),
                     [](const Reading& a, const Reading& b) { return a.seq < b.seq; });
    c.readings.erase(std::unique(c.readings.begin(), c.readings.end(),
                                 [](const Reading& a, const Reading& b) { return a.seq == b.seq; }),
                     c.readings.end());
    return c;
}

std::string Describe(const std::vector<Damage>& damage) {
    if (damage.size() == 1 && damage[0].cut)
        return "a cut last record (" + std::to_string(damage[0].bytes) + " bytes at " +
               std::to_string(damage[0].offset) + ")";
    std::string text =
        std::to_string(damage.size()) + (damage.size() == 1 ? " damaged stretch (" : " damaged stretches (");
    for (std::size_t i = 0; i < damage.size(); ++i) {
        if (i == 3) {
            text += ", ...";
            break;
        }
        text += (i ? ", " : "") + std::to_string(damage[i].bytes) + " bytes at " +
                std::to_string(damage[i].offset);
    }
    return text + ")";
}

} // namespace tarvik::gateway::backlogfile
