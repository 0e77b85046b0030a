// The backlog file under damage: flipped bytes, cut tails, garbage, a full disk, paths that are not
// regular files, and the bound in bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "Backlog.h"
#include "BacklogFile.h"

namespace tarvik::gateway {
namespace {

namespace bf = backlogfile;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void Spit(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void RemoveAll(const std::string& path) {
    for (const char* suffix : {"", ".bad", ".bad.2", ".bad.3", ".new"})
        std::remove((path + suffix).c_str());
}

struct Start {
    std::vector<std::string> readings; // topic=payload, in order
    std::uint64_t damaged = 0;
    std::vector<std::string> warnings;
};

// What a backlog starting on `path` takes over.
Start StartOn(const std::string& path, std::size_t capacity = 10) {
    Start s;
    Backlog b(capacity, path, [&](const std::string& w) { s.warnings.push_back(w); });
    s.damaged = b.DamagedCount();
    b.Drain([&](std::string_view t, std::string_view p, bool) {
        s.readings.push_back(std::string(t) + "=" + std::string(p));
        return true;
    });
    return s;
}

// t1 went out (the 'L' record), t2..t4 wait: header, R1, R2, L, R3, R4.
struct Sample {
    std::string bytes;
    std::vector<std::size_t> ends; // where each record ends
    Sample() {
        for (const std::string& r :
             {bf::HeaderRecord(), bf::ReadingRecord(1, "t1", "1"), bf::ReadingRecord(2, "t2", "2"),
              bf::LeftRecord(1), bf::ReadingRecord(3, "t3", "3"), bf::ReadingRecord(4, "t4", "4")}) {
            bytes += r;
            ends.push_back(bytes.size());
        }
    }
    std::size_t RecordOf(std::size_t offset) const {
        std::size_t k = 0;
        while (ends[k] <= offset)
            ++k;
        return k;
    }
};
const std::vector<std::string> kWaiting = {"t2=2", "t3=3", "t4=4"};

// One flipped byte anywhere costs the record it is in, nothing more; a damaged 'L' record brings
// back the reading that had gone out (sent twice rather than lost).
TEST(GatewayBacklogFile, AFlippedByteCostsOnlyItsRecord) {
    const std::string path = testing::TempDir() + "/tarvik-backlog-flip";
    const Sample sample;
    for (std::size_t at = 0; at < sample.bytes.size(); ++at) {
        SCOPED_TRACE("byte " + std::to_string(at));
        RemoveAll(path);
        std::string bytes = sample.bytes;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
        Spit(path, bytes);
        const std::size_t k = sample.RecordOf(at);
        std::vector<std::string> expected = kWaiting;
        if (k == 2 || k == 4 || k == 5) std::erase(expected, kWaiting[k == 2 ? 0 : k - 3]);
        if (k == 3) expected.insert(expected.begin(), "t1=1");
        const Start s = StartOn(path);
        EXPECT_EQ(s.readings, expected);
        EXPECT_EQ(s.damaged, 1u);
        ASSERT_EQ(s.warnings.size(), 1u);
        // A flip that makes the last record's length larger looks like a cut, and is taken as one.
        const bool cut = s.warnings[0].find("dropped a cut last record") != std::string::npos;
        EXPECT_TRUE(cut ? k == 5 : s.warnings[0].find("dropped 1 damaged stretch") != std::string::npos)
            << s.warnings[0];
        EXPECT_EQ(Slurp(path + ".bad"), cut ? "" : bytes); // the evidence
    }
    RemoveAll(path);
}

// A tail cut anywhere in the last record (a crash while writing it) costs that record alone; it is
// said, and the file is not kept aside (a cut is no damage).
TEST(GatewayBacklogFile, ACutTailCostsOnlyTheLastRecord) {
    const std::string path = testing::TempDir() + "/tarvik-backlog-cut";
    const Sample sample;
    const std::size_t lastStart = sample.ends[sample.ends.size() - 2];
    for (std::size_t cut = lastStart + 1; cut < sample.bytes.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        RemoveAll(path);
        Spit(path, sample.bytes.substr(0, cut));
        const Start s = StartOn(path);
        EXPECT_EQ(s.readings, (std::vector<std::string>{"t2=2", "t3=3"}));
        EXPECT_EQ(s.damaged, 1u);
        ASSERT_EQ(s.warnings.size(), 1u);
        EXPECT_NE(s.warnings[0].find("a cut last record"), std::string::npos) << s.warnings[0];
        EXPECT_NE(::access((path + ".bad").c_str(), F_OK), 0);
    }
    RemoveAll(path);
}

// Garbage keeps what is intact in it (nothing, or the records between); damaged files are kept aside,
// never one over another, and no more than three of them.
TEST(GatewayBacklogFile, GarbageIsDroppedAndKeptAsideBounded) {
    const std::string path = testing::TempDir() + "/tarvik-backlog-garbage";
    RemoveAll(path);
    std::string noise;
    for (std::uint32_t x = 12345; noise.size() < 5000;)
        noise += static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    const Sample sample;
    const std::string magicRun =
        sample.bytes.substr(0, 4) + sample.bytes.substr(0, 4) + sample.bytes.substr(0, 6);
    struct Case {
        std::string bytes;
        std::vector<std::string> kept;
    };
    const std::vector<Case> cases = {
        {noise, {}},
        {"root:x:0:0:root:/root:/bin/bash\n", {}},
        {magicRun + sample.bytes + noise.substr(0, 100), {"t2=2", "t3=3", "t4=4"}},
        {sample.bytes.substr(0, sample.ends[2]) + noise.substr(0, 40) + sample.bytes.substr(sample.ends[2]),
         kWaiting},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        Spit(path, cases[i].bytes);
        const Start s = StartOn(path);
        EXPECT_EQ(s.readings, cases[i].kept);
        EXPECT_GE(s.damaged, 1u);
        ASSERT_EQ(s.warnings.size(), 1u);
        EXPECT_NE(s.warnings[0].find("damaged stretch"), std::string::npos) << s.warnings[0];
        EXPECT_NE(s.warnings[0].find(i < 3 ? "kept as" : "not kept aside"), std::string::npos)
            << s.warnings[0];
    }
    EXPECT_EQ(Slurp(path + ".bad"), cases[0].bytes);
    EXPECT_EQ(Slurp(path + ".bad.2"), cases[1].bytes);
    EXPECT_EQ(Slurp(path + ".bad.3"), cases[2].bytes);
    RemoveAll(path);
}

// A full disk: the readings stay in memory, the trouble is said once, and once there is room the
// file is written whole again; a restart then finds every reading.
TEST(GatewayBacklogFile, FullDiskThenRoomUsesTheFileAgain) {
    const std::string path = testing::TempDir() + "/tarvik-backlog-full";
    RemoveAll(path);
    bool full = false;
    std::size_t partial = 0;
    std::vector<std::string> warnings;
    Backlog::Options o;
    o.capacity = 100;
    o.path = path;
    o.warn = [&](const std::string& w) { warnings.push_back(w); };
    o.retry = std::chrono::milliseconds(0);
    o.write = [&](int fd, const char* data, std::size_t size) -> long {
        if (full && partial++ > 0) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, data, full ? std::min<std::size_t>(size, 5) : size); // the first cut short
    };
    const auto refuse = [](std::string_view, std::string_view, bool) { return false; };
    {
        Backlog b(o);
        for (int i = 0; i < 3; ++i)
            b.Offer(std::string("a").append(std::to_string(i)), "x", refuse);
        full = true;
        for (int i = 3; i < 6; ++i)
            b.Offer(std::string("a").append(std::to_string(i)), "x", refuse);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(std::strerror(ENOSPC)), std::string::npos) << warnings[0];
        EXPECT_EQ(b.Size(), 6u);
        EXPECT_NE(::access((path + ".new").c_str(), F_OK), 0); // failed rewrites leave nothing behind
        // A power cut now: the file holds what was written before the disk was full, and a cut record.
        Spit(path + "-copy", Slurp(path));
        const Start cut = StartOn(path + "-copy");
        EXPECT_EQ(cut.readings, (std::vector<std::string>{"a0=x", "a1=x", "a2=x"}));
        EXPECT_EQ(cut.damaged, 1u);
        RemoveAll(path + "-copy");
        full = false;
        b.Offer("a6", "x", refuse);
        ASSERT_EQ(warnings.size(), 2u);
        EXPECT_NE(warnings[1].find("written again"), std::string::npos) << warnings[1];
    }
    const Start s = StartOn(path);
    EXPECT_EQ(s.readings.size(), 7u);
    EXPECT_EQ(s.damaged, 0u);
    EXPECT_EQ(s.readings.back(), "a6=x");
    RemoveAll(path);
}

// The file stays within buffer_max_bytes, the waiting readings within half of it (oldest dropped).
TEST(GatewayBacklogFile, BoundInBytes) {
    const std::string path = testing::TempDir() + "/tarvik-backlog-bytes";
    RemoveAll(path);
    Backlog::Options o;
    o.capacity = 100000;
    o.maxBytes = 65536;
    o.path = path;
    const std::string payload(200, 'v');
    {
        Backlog b(o);
        for (int i = 0; i < 1000; ++i) {
            b.Offer(std::string("t").append(std::to_string(i)), payload,
                    [](auto, auto, bool) { return false; });
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            ASSERT_LE(static_cast<std::size_t>(st.st_size), o.maxBytes) << i;
        }
        EXPECT_LE(b.Size() * bf::ReadingRecordSize("t999", payload), o.maxBytes / 2);
        EXPECT_EQ(b.Size() + b.DroppedCount(), 1000u);
    }
    const Start s = StartOn(path, 100000);
    EXPECT_EQ(s.readings.back(), "t999=" + payload);
    RemoveAll(path);
}

// A buffer_file that is not a regular file is never replaced, truncated or written: memory only.
TEST(GatewayBacklogFile, NonRegularPathIsLeftAlone) {
    const std::string dir = testing::TempDir() + "/tarvik-backlog-dir";
    const std::string fifo = testing::TempDir() + "/tarvik-backlog-fifo";
    const std::string link = testing::TempDir() + "/tarvik-backlog-link";
    const std::string target = testing::TempDir() + "/tarvik-backlog-target";
    ::mkdir(dir.c_str(), 0700);
    ::mkfifo(fifo.c_str(), 0600);
    Spit(target, "precious");
    ::symlink(target.c_str(), link.c_str());
    for (const std::string& path : {dir, fifo, link, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        struct stat before {
        }, after{};
        ASSERT_EQ(::lstat(path.c_str(), &before), 0);
        std::vector<std::string> warnings;
        {
            Backlog b(10, path, [&](const std::string& w) { warnings.push_back(w); });
            EXPECT_TRUE(b.Offer("a", "1", [](auto, auto, bool) { return false; }));
            EXPECT_EQ(b.Size(), 1u);
        }
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("not used"), std::string::npos) << warnings[0];
        ASSERT_EQ(::lstat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_NE(::access((path + ".new").c_str(), F_OK), 0);
    }
    EXPECT_EQ(Slurp(target), "precious");
    for (const std::string& p : {link, target, fifo})
        std::remove(p.c_str());
    ::rmdir(dir.c_str());
}

} // namespace
} // namespace tarvik::gateway
