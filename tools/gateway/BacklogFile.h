// The backlog's file format: a log of framed records, each checked on its own, so that damage costs
// only the records it touches and a cut tail only the record being written.
//
// A record: magic (4 bytes) | body length (u32 LE) | CRC-32 of length and body (u32 LE) | body.
// Bodies: 'H' text (the header, first in a file); 'R' seq (u64 LE), topic length (u16 LE), topic,
// payload (a reading that starts to wait); 'L' seq (u64 LE): every reading up to that seq has left
// (sent or dropped). Sequence numbers only grow within a file, so a damaged record never shifts the
// meaning of the records after it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::gateway::backlogfile {

constexpr std::size_t kFrameSize = 12;          // magic, length, CRC
constexpr std::size_t kReadingOverhead = 11;    // type, seq, topic length
constexpr std::size_t kMaxBody = 64 * 1024 + 1; // a longer length field is damage

struct Reading {
    std::uint64_t seq = 0;
    std::string topic, payload;
};

// A stretch of the file that holds no intact record. `cut`: it is the last one and looks like a
// record whose writing was cut short (a crash or a power cut), not like damage.
struct Damage {
    std::size_t offset = 0, bytes = 0;
    bool cut = false;
};

struct Contents {
    std::vector<Reading> readings; // waiting, oldest first
    std::vector<Damage> damage;
    std::uint64_t nextSeq = 0; // above every seq the file names
};

std::string HeaderRecord();
std::string ReadingRecord(std::uint64_t seq, std::string_view topic, std::string_view payload);
std::string LeftRecord(std::uint64_t upTo);
inline std::size_t ReadingRecordSize(std::string_view topic, std::string_view payload) {
    return kFrameSize + kReadingOverhead + topic.size() + payload.size();
}

// Every intact record of `bytes`; the stretches between them are reported, not fatal.
Contents Parse(std::string_view bytes);

// "2 damaged stretches (37 bytes at 120, 9 bytes at 400)"; "a cut last record (5 bytes at 311)".
std::string Describe(const std::vector<Damage>& damage);

} // namespace tarvik::gateway::backlogfile
