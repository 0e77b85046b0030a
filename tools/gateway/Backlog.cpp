#include "Backlog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "BacklogFile.h"
#include "Config.h"
#include "Log.h"

namespace tarvik::gateway {

namespace file = backlogfile;

namespace {

constexpr std::size_t kLoadFactor = 4;           // a file beyond 4 x the bound is not read
constexpr std::size_t kRewriteWhenEmpty = 65536; // an emptied file larger than this starts afresh

bool IsRegularOrAbsent(const std::string& path, std::string& why) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        why = std::strerror(errno);
        return false;
    }
    if (S_ISREG(st.st_mode)) return true;
    why = S_ISLNK(st.st_mode)   ? "a symbolic link"
          : S_ISDIR(st.st_mode) ? "a directory"
                                : "not a regular file";
    return false;
}

// The whole file, when it is a regular one not larger than `limit`.
bool ReadFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && static_cast<std::size_t>(st.st_size) > limit) {
        why = "larger than " + std::to_string(limit) + " bytes";
        ok = false;
    }
    char chunk[65536];
    for (ssize_t n = 0; ok && (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || bytes.size() + static_cast<std::size_t>(n) > limit) {
            why = n < 0 ? std::strerror(errno) : "grew while read";
            ok = false;
        } else {
            bytes.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return ok;
}

// Moves `from` to `to` unless `to` exists: never one file over another.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    return ::link(from.c_str(), to.c_str()) == 0 && ::unlink(from.c_str()) == 0; // a file system without it
}

} // namespace

class Backlog::File {
public:
    explicit File(int fd) : fd_(fd) {}
    ~File() { ::close(fd_); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
};

namespace {

Backlog::Options MakeOptions(std::size_t capacity, const std::string& path,
                             std::function<void(const std::string&)> warn) {
    Backlog::Options o;
    o.capacity = capacity;
    o.path = path;
    o.warn = std::move(warn);
    return o;
}

} // namespace

Backlog::Options BacklogOptions(const MqttConfig& config) {
    Backlog::Options o = MakeOptions(static_cast<std::size_t>(config.buffer), config.bufferFile,
                                     [](const std::string& why) { LogEvent("error", why); });
    o.maxBytes = static_cast<std::size_t>(config.bufferMaxBytes);
    return o;
}

Backlog::Backlog(std::size_t capacity) : Backlog(MakeOptions(capacity, {}, {})) {}

Backlog::Backlog(std::size_t capacity, const std::string& path, std::function<void(const std::string&)> warn)
    : Backlog(MakeOptions(capacity, path, std::move(warn))) {}

Backlog::Backlog(Options options) : options_(std::move(options)) {
    if (!options_.write)
        options_.write = [](int fd, const char* data, std::size_t size) {
            return static_cast<long>(::write(fd, data, size));
        };
    if (options_.capacity == 0) options_.path.clear();
    if (options_.path.empty()) return;
    std::string why;
    if (!IsRegularOrAbsent(options_.path, why)) {
        const std::string path = std::exchange(options_.path, {}); // never touched again
        Trouble("the backlog file " + path + " is " + why + ": not used");
        return;
    }
    Load();
    Rewrite();
}

Backlog::~Backlog() = default;

// Takes over what a previous run left: every intact record; damage is counted and said, and a
// damaged file is kept aside.
void Backlog::Load() {
    std::string bytes, why;
    if (!IsRegularOrAbsent(options_.path, why)) return;
    if (::access(options_.path.c_str(), F_OK) != 0) return;
    const std::string& path = options_.path;
    if (!ReadFile(path, kLoadFactor * options_.maxBytes, bytes, why)) {
        damaged_ = 1;
        const std::string aside = SetAside();
        if (options_.warn)
            options_.warn("backlog file " + path + " not read (" + why + "); starting empty" +
                          (aside.empty() ? "" : ", the file kept as " + aside));
        return;
    }
    file::Contents c = file::Parse(bytes);
    for (file::Reading& r : c.readings) {
        Push(r.topic, r.payload);
        entries_.back().seq = r.seq;
    }
    nextSeq_ = std::max(nextSeq_, c.nextSeq);
    if (c.damage.empty()) return;
    damaged_ = c.damage.size();
    const bool cutOnly = c.damage.size() == 1 && c.damage[0].cut;
    const std::string aside = cutOnly ? std::string() : SetAside();
    if (options_.warn)
        options_.warn("backlog file " + path + ": dropped " + file::Describe(c.damage) + ", kept " +
                      std::to_string(c.readings.size()) + " readings" +
                      (cutOnly         ? ""
                       : aside.empty() ? "; not kept aside (enough are)"
                                       : "; the file kept as " + aside));
}

// The damaged file under the first free name of `.bad`, `.bad.2`, ...; empty when none is free.
std::string Backlog::SetAside() {
    for (int i = 1; i <= kMaxAside; ++i) {
        std::string aside = options_.path + ".bad";
        if (i > 1) aside.append(".").append(std::to_string(i));
        if (RenameNoReplace(options_.path, aside)) return aside;
        if (errno != EEXIST) break;
    }
    return {};
}

bool Backlog::WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const long n = options_.write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes the waiting readings to a new file, synced, that then takes the place of the old one.
bool Backlog::Rewrite() {
    if (options_.path.empty()) return false;
    const std::string& path = options_.path;
    const std::string next = path + ".new";
    std::string why;
    if (!IsRegularOrAbsent(path, why) || !IsRegularOrAbsent(next, why)) {
        Trouble("cannot write " + path + ": it or " + next + " is " + why);
        return false;
    }
    ::unlink(next.c_str()); // a regular file left by a run that stopped half-way
    const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        Trouble("cannot write " + next + ": " + std::strerror(errno));
        return false;
    }
    auto f = std::make_shared<File>(fd);
    std::string all = file::HeaderRecord();
    for (const Entry& e : entries_)
        all += file::ReadingRecord(e.seq, e.topic, e.payload);
    if (!WriteAll(fd, all) || ::fdatasync(fd) != 0 || ::rename(next.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        ::unlink(next.c_str());
        Trouble("cannot write " + path + ": " + reason);
        return false;
    }
    if (troubled_ && options_.warn)
        options_.warn("backlog file " + path + " written again (" + std::to_string(entries_.size()) +
                      " readings)");
    troubled_ = false;
    file_ = std::move(f);
    fileBytes_ = all.size();
    syncedAt_ = Clock::now();
    unsynced_ = false;
    return true;
}

// Appends `records`; compacts when the file would pass its bound; after a failure writes the file
// whole again once the retry time has come (the records are in memory, so the rewrite holds them).
void Backlog::Persist(const std::string& records) {
    if (options_.path.empty()) return;
    if (troubled_) {
        if (Clock::now() >= retryAt_) Rewrite();
        return;
    }
    if (!file_ || fileBytes_ + records.size() > options_.maxBytes) {
        Rewrite();
        return;
    }
    if (!WriteAll(file_->Fd(), records))
        return Trouble("cannot write " + options_.path + ": " + std::strerror(errno));
    fileBytes_ += records.size();
    unsynced_ = true;
}

// A write failed: readings stay in memory; the file is written again later. Said once per episode.
void Backlog::Trouble(const std::string& what) {
    file_.reset();
    retryAt_ = Clock::now() + options_.retry;
    if (troubled_) return;
    troubled_ = true;
    if (options_.warn)
        options_.warn("backlog: " + what +
                      (options_.path.empty()
                           ? "; readings are kept in memory only"
                           : "; readings are kept in memory until it can be written again"));
}

// The file to sync now (outside the lock): records were appended and the last sync is `sync` ago.
std::shared_ptr<Backlog::File> Backlog::SyncDue() {
    if (!unsynced_ || !file_ || Clock::now() - syncedAt_ < options_.sync) return nullptr;
    unsynced_ = false;
    syncedAt_ = Clock::now();
    return file_;
}

std::string Backlog::Historical(std::string_view payload) {
    if (payload.empty() || payload.front() != '{') return std::string(payload);
    return "{\"historical\": true, " + std::string(payload.substr(1));
}

void Backlog::PopFront() {
    const Entry& e = entries_.front();
    const auto at = perTopic_.find(e.topic);
    if (at != perTopic_.end() && --at->second == 0) perTopic_.erase(at);
    bytes_ -= file::ReadingRecordSize(e.topic, e.payload);
    entries_.pop_front();
}

void Backlog::Push(std::string_view topic, std::string_view payload) {
    const std::size_t size = file::ReadingRecordSize(topic, payload);
    while (!entries_.empty() &&
           (entries_.size() >= options_.capacity || bytes_ + size > options_.maxBytes / 2)) {
        PopFront();
        ++dropped_;
    }
    entries_.push_back({nextSeq_++, std::string(topic), std::string(payload)});
    bytes_ += size;
    ++perTopic_[entries_.back().topic];
}

bool Backlog::Offer(std::string_view topic, std::string_view payload, const Send& send) {
    std::shared_ptr<File> sync;
    {
        std::lock_guard lock(mutex_);
        if (entries_.empty() && send(topic, payload, true)) return true;
        if (options_.capacity == 0) return false;
        const std::uint64_t droppedBefore = dropped_;
        Push(topic, payload);
        if (!options_.path.empty()) {
            const Entry& e = entries_.back();
            std::string records = dropped_ != droppedBefore ? file::LeftRecord(LeftUpTo()) : std::string();
            Persist(records += file::ReadingRecord(e.seq, e.topic, e.payload));
            sync = SyncDue();
        }
    }
    if (sync) ::fdatasync(sync->Fd());
    return true;
}

void Backlog::Drain(const Send& send) {
    std::shared_ptr<File> sync;
    {
        std::lock_guard lock(mutex_);
        std::size_t sent = 0;
        while (!entries_.empty()) {
            const Entry& e = entries_.front();
            const auto at = perTopic_.find(e.topic);
            const bool newest = at == perTopic_.end() || at->second <= 1;
            if (!(newest ? send(e.topic, e.payload, true) : send(e.topic, Historical(e.payload), false)))
                break;
            PopFront();
            ++sent;
        }
        if (options_.path.empty() || sent == 0) return;
        if (entries_.empty() && fileBytes_ > kRewriteWhenEmpty && !troubled_)
            Rewrite(); // back to the header alone
        else
            Persist(file::LeftRecord(LeftUpTo()));
        sync = SyncDue();
    }
    if (sync) ::fdatasync(sync->Fd());
}

bool Backlog::Waiting(std::string_view topic) const {
    std::lock_guard lock(mutex_);
    return perTopic_.count(std::string(topic)) > 0;
}

std::size_t Backlog::Size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::uint64_t Backlog::DroppedCount() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

std::uint64_t Backlog::DamagedCount() const {
    std::lock_guard lock(mutex_);
    return damaged_;
}

} // namespace tarvik::gateway
