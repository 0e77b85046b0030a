// Readings kept while the broker is away (or too slow), published in order when it is back. Bounded
// in count and in bytes: when full the oldest reading gives way, counted. On the way out each
// reading that a newer one of the same topic follows is marked historical and not retained; the
// newest of a topic goes out as the retained current value. Optionally the waiting readings are also
// kept in a file (BacklogFile.h), so that a restart of the gateway during an outage loses none of
// them. Thread-safe.
//
// The file: records are written to the operating system as they come (a crash of the gateway loses
// none) and synced to the disk at most `sync` after one was written, while readings keep coming (a
// power cut loses about the last second). At start the intact records are taken over; damaged or
// cut ones are dropped, counted and said, and a damaged file (not just a cut tail) is kept aside as
// `<file>.bad`, `.bad.2`, `.bad.3` (never one over another). A file that cannot be written (a full
// disk) is written whole again, from memory, once it can be. A path that is not a regular file is
// never touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarvik::gateway {

class Backlog {
public:
    using Send = std::function<bool(std::string_view topic, std::string_view payload, bool retain)>;
    // As write(2): bytes written, or -1 with errno. Tests put a full disk here.
    using Write = std::function<long(int fd, const char* data, std::size_t size)>;
    static constexpr std::size_t kDefaultMaxBytes = 32 * 1024 * 1024;
    static constexpr int kMaxAside = 3; // damaged files kept aside

    struct Options {
        std::size_t capacity = 0;                // readings
        std::size_t maxBytes = kDefaultMaxBytes; // the file's bound; the waiting readings take at most half
        std::string path;                        // empty: memory only
        std::function<void(const std::string&)> warn;
        Write write;                           // default: write(2)
        std::chrono::milliseconds retry{1000}; // a file that could not be written is tried again after
        std::chrono::milliseconds sync{1000};  // appended records reach the disk at most this long after
    };

    explicit Backlog(std::size_t capacity);
    // Keeps the waiting readings in `path` too and takes over the readings a previous run left
    // there (beyond `capacity` the oldest are dropped, counted). `warn` hears of damage found at
    // start, of a path that is not a regular file, and of write failures and their end, once each.
    Backlog(std::size_t capacity, const std::string& path, std::function<void(const std::string&)> warn);
    explicit Backlog(Options options);
    ~Backlog();
    Backlog(const Backlog&) = delete;
    Backlog& operator=(const Backlog&) = delete;

    // Publishes through `send` unless readings wait already (order is kept) or `send` fails; then
    // the reading waits. False when it was dropped (capacity 0).
    bool Offer(std::string_view topic, std::string_view payload, const Send& send);
    // Hands waiting readings to `send` (topic, payload, retain) in order until it refuses one.
    void Drain(const Send& send);
    bool Waiting(std::string_view topic) const; // a reading of `topic` waits
    std::size_t Size() const;
    std::uint64_t DroppedCount() const;
    std::uint64_t DamagedCount() const; // damaged or cut stretches of the file dropped at start

    // `{"value": ...}` -> `{"historical": true, "value": ...}`
    static std::string Historical(std::string_view payload);

private:
    struct Entry {
        std::uint64_t seq;
        std::string topic, payload;
    };
    class File; // an open file descriptor
    using Clock = std::chrono::steady_clock;

    void Push(std::string_view topic, std::string_view payload);
    void PopFront();
    void Load();
    bool Rewrite();
    bool WriteAll(int fd, std::string_view bytes);
    void Persist(const std::string& records);
    void Trouble(const std::string& what);
    std::shared_ptr<File> SyncDue();
    std::string SetAside();
    std::uint64_t LeftUpTo() const { return entries_.empty() ? nextSeq_ - 1 : entries_.front().seq - 1; }

    Options options_;
    mutable std::mutex mutex_;
    std::deque<Entry> entries_;
    std::unordered_map<std::string, std::size_t> perTopic_;
    std::size_t bytes_ = 0; // record sizes of the waiting readings
    std::uint64_t nextSeq_ = 1, dropped_ = 0, damaged_ = 0;
    std::shared_ptr<File> file_; // null: no file, or it could not be written
    std::size_t fileBytes_ = 0;
    bool troubled_ = false; // a write failed; the file is written whole again after options_.retry
    Clock::time_point retryAt_{}, syncedAt_{};
    bool unsynced_ = false;
};

struct MqttConfig;
// The gateway's backlog: `buffer`, `buffer_file`, `buffer_max_bytes`; warnings to the log.
Backlog::Options BacklogOptions(const MqttConfig& config);

} // namespace tarvik::gateway
