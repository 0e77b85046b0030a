#include "Backlog.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace tarvik::gateway {

namespace {

constexpr std::string_view kFileHeader = "tarvik-gateway backlog 1\n";
constexpr char kAdded = '+';
constexpr char kLeft = '-';

constexpr std::size_t kMaxRecord = 64 * 1024; // topic and payload; a larger size field is damage
constexpr std::size_t kSlackRecords = 16;     // compaction: beyond twice the bound and this

// The record of `n` readings leaving the front. Built by appending: GCC 12 at -O3 misjudges an
// insert at the front of a temporary string as an overlapping copy.
std::string LeftRecord(std::size_t n) {
    std::string record(1, kLeft);
    record += std::to_string(n);
    record += '\n';
    return record;
}

// Reads `<digits>` at `at`, followed by `end`. False when absent or too large.
bool ReadSize(std::string_view text, std::size_t& at, char end, std::size_t& value) {
    const char* b = text.data() + at;
    const auto [p, ec] = std::from_chars(b, text.data() + text.size(), value);
    if (ec != std::errc() || p == b || p == text.data() + text.size() || *p != end) return false;
    at = static_cast<std::size_t>(p - text.data()) + 1;
    return true;
}

std::string AddedRecord(std::string_view topic, std::string_view payload) {
    std::string r(1, kAdded);
    r += std::to_string(topic.size() + 1 + payload.size());
    r += ' ';
    r.append(topic).append(1, '\t').append(payload).append(1, '\n');
    return r;
}

} // namespace

Backlog::Backlog(std::size_t capacity, const std::string& path, std::function<void(const std::string&)> warn)
    : capacity_(capacity), path_(path), warn_(std::move(warn)) {
    if (path_.empty() || capacity_ == 0) return;
    std::string why;
    if (!Load(why)) {
        entries_.clear();
        perTopic_.clear();
        dropped_ = 0;
        const std::string aside = path_ + ".bad";
        struct stat st {};
        const bool moved = ::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && // never a directory
                           std::rename(path_.c_str(), aside.c_str()) == 0;
        if (warn_)
            warn_("backlog file " + path_ + " not trusted (" + why + "); starting empty" +
                  (moved ? ", the file kept as " + aside : ""));
    }
    Rewrite();
}

Backlog::~Backlog() {
    if (file_) std::fclose(file_);
}

// Takes over what a previous run left. False (with the reason) for a file this backlog did not write
// or that was cut or changed; absence is no fault.
bool Backlog::Load(std::string& why) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return true;
    const std::size_t limit = (2 * capacity_ + kSlackRecords + 1) * (kMaxRecord + 32);
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > limit) {
        why = "not a regular file of a plausible size";
        return false;
    }
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    if (text.empty()) return true;
    if (!text.starts_with(kFileHeader)) {
        why = "unknown format";
        return false;
    }
    std::deque<Entry> kept; // unbounded here: '-' counts refer to the file's own order
    for (std::size_t at = kFileHeader.size(); at < text.size();) {
        const char kind = text[at++];
        std::size_t n = 0;
        if (kind == kLeft && ReadSize(text, at, '\n', n) && n <= kept.size()) {
            kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(n));
            continue;
        }
        if (kind != kAdded || !ReadSize(text, at, ' ', n) || n > kMaxRecord || text.size() - at < n + 1 ||
            text[at + n] != '\n') {
            why = "damaged or cut at byte " + std::to_string(at);
            return false;
        }
        const std::string_view record(text.data() + at, n);
        const auto tab = record.find('\t');
        if (tab == 0 || tab == std::string_view::npos) {
            why = "damaged record at byte " + std::to_string(at);
            return false;
        }
        kept.push_back({std::string(record.substr(0, tab)), std::string(record.substr(tab + 1))});
        at += n + 1;
    }
    for (const Entry& e : kept)
        Push(e.topic, e.payload);
    return true;
}

// Writes the waiting readings to a new file that then takes the place of the old one.
void Backlog::Rewrite() {
    if (path_.empty()) return;
    if (file_) std::fclose(file_);
    file_ = nullptr;
    const std::string next = path_ + ".new";
    std::FILE* f = std::fopen(next.c_str(), "wb");
    bool ok = f && std::fwrite(kFileHeader.data(), 1, kFileHeader.size(), f) == kFileHeader.size();
    for (auto e = entries_.begin(); ok && e != entries_.end(); ++e) {
        const std::string r = AddedRecord(e->topic, e->payload);
        ok = std::fwrite(r.data(), 1, r.size(), f) == r.size();
    }
    ok = ok && std::fflush(f) == 0 && std::rename(next.c_str(), path_.c_str()) == 0;
    if (!ok) {
        const std::string reason = std::strerror(errno);
        if (f) std::fclose(f);
        std::remove(next.c_str());
        return FileTrouble("cannot write " + path_ + ": " + reason);
    }
    file_ = f;
    fileRecords_ = entries_.size();
}

void Backlog::Append(const std::string& line) {
    if (!file_) return;
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0)
        return FileTrouble("cannot write " + path_ + ": " + std::strerror(errno));
    if (++fileRecords_ > 2 * capacity_ + kSlackRecords) Rewrite();
}

// The file is given up (memory only from here on), said once.
void Backlog::FileTrouble(const std::string& what) {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (warn_) warn_("backlog: " + what + "; readings are kept in memory only from now on");
    path_.clear();
}

std::string Backlog::Historical(std::string_view payload) {
    if (payload.empty() || payload.front() != '{') return std::string(payload);
    return "{\"historical\": true, " + std::string(payload.substr(1));
}

void Backlog::PopFront() {
    const auto at = perTopic_.find(entries_.front().topic);
    if (at != perTopic_.end() && --at->second == 0) perTopic_.erase(at);
    entries_.pop_front();
}

void Backlog::Push(std::string_view topic, std::string_view payload) {
    if (entries_.size() >= capacity_) {
        PopFront();
        ++dropped_;
    }
    entries_.push_back({std::string(topic), std::string(payload)});
    ++perTopic_[entries_.back().topic];
}

bool Backlog::Offer(std::string_view topic, std::string_view payload,
                    const std::function<bool(std::string_view, std::string_view, bool)>& send) {
    std::lock_guard lock(mutex_);
    if (entries_.empty() && send(topic, payload, true)) return true;
    if (capacity_ == 0) return false;
    const bool full = entries_.size() >= capacity_;
    Push(topic, payload);
    if (file_) {
        std::string records = full ? LeftRecord(1) : std::string();
        records += AddedRecord(topic, payload);
        Append(records);
    }
    return true;
}

void Backlog::Drain(const std::function<bool(std::string_view, std::string_view, bool)>& send) {
    std::lock_guard lock(mutex_);
    std::size_t sent = 0;
    while (!entries_.empty()) {
        const Entry& e = entries_.front();
        const auto at = perTopic_.find(e.topic);
        const bool newest = at == perTopic_.end() || at->second <= 1;
        if (!(newest ? send(e.topic, e.payload, true) : send(e.topic, Historical(e.payload), false))) break;
        PopFront();
        ++sent;
    }
    if (!file_ || sent == 0) return;
    if (entries_.empty())
        Rewrite(); // back to the header alone
    else
        Append(LeftRecord(sent));
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

} // namespace tarvik::gateway
