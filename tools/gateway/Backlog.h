// Readings kept while the broker is away (or too slow), published in order when it is back. Bounded:
// when full the oldest reading gives way, counted. On the way out each reading that a newer one of
// the same topic follows is marked historical and not retained; the newest of a topic goes out as
// the retained current value. Optionally the waiting readings are also kept in a file, so that a
// restart of the gateway during an outage loses none of them. Thread-safe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarvik::gateway {

class Backlog {
public:
    explicit Backlog(std::size_t capacity) : capacity_(capacity) {}
    // Keeps the waiting readings in `path` too and takes over the readings a previous run left
    // there (beyond `capacity` the oldest are dropped, counted). A damaged or foreign file is not
    // trusted: the backlog starts empty. `warn` hears of that and of write failures, once each.
    Backlog(std::size_t capacity, const std::string& path, std::function<void(const std::string&)> warn);
    ~Backlog();
    Backlog(const Backlog&) = delete;
    Backlog& operator=(const Backlog&) = delete;

    // Publishes through `send` unless readings wait already (order is kept) or `send` fails; then
    // the reading waits. False when it was dropped (capacity 0).
    bool Offer(std::string_view topic, std::string_view payload,
               const std::function<bool(std::string_view, std::string_view, bool)>& send);
    // Hands waiting readings to `send` (topic, payload, retain) in order until it refuses one.
    void Drain(const std::function<bool(std::string_view, std::string_view, bool)>& send);
    bool Waiting(std::string_view topic) const; // a reading of `topic` waits
    std::size_t Size() const;
    std::uint64_t DroppedCount() const;

    // `{"value": ...}` -> `{"historical": true, "value": ...}`
    static std::string Historical(std::string_view payload);

private:
    struct Entry {
        std::string topic, payload;
    };
    void Push(std::string_view topic, std::string_view payload);
    void PopFront();
    // The file: a header line, then `+<size> <topic>\t<payload>` per reading that starts to wait
    // and `-<count>` per readings that left the front (sent or dropped). Appended; rewritten when
    // it holds more than twice the bound, emptied when nothing waits.
    bool Load(std::string& why);
    void Append(const std::string& line);
    void Rewrite();
    void FileTrouble(const std::string& what);

    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<Entry> entries_;
    std::unordered_map<std::string, std::size_t> perTopic_;
    std::uint64_t dropped_ = 0;
    std::string path_;
    std::FILE* file_ = nullptr;
    std::size_t fileRecords_ = 0; // lines after the header
    std::function<void(const std::string&)> warn_;
};

} // namespace tarvik::gateway
