#include "PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tarvik::sim {
namespace {

constexpr auto kRequestGap = std::chrono::milliseconds(100); // a pause this long ends a partial request
constexpr std::size_t kReadChunk = 4096;
constexpr int kUnaskedLookMs = 10; // how often devices that talk unasked (burst mode) are asked

std::string Printable(const Bytes& bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        if (b == '\r')
            out += "\\r";
        else if (b == '\n')
            out += "\\n";
        else if (b >= 0x20 && b < 0x7F)
            out += static_cast<char>(b);
        else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            out += buf;
        }
    }
    return out;
}

// A hidden file beside a link: dir/COM3 → dir/.COM3<suffix>.
std::string Beside(const std::string& link, const char* suffix) {
    const auto slash = link.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : link.substr(0, slash);
    const std::string name = slash == std::string::npos ? link : link.substr(slash + 1);
    return dir + "/." + name + suffix;
}

std::string OwnerRecord(const std::string& link) {
    return Beside(link, ".owner");
}

// The name of a running process ("tarvik-sim"), empty when none has this id.
std::string ProcessName(long pid) {
    std::string name;
    if (std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f)) name = buf;
        std::fclose(f);
    }
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

// When a process started, in clock ticks after boot (field 22 of /proc/<pid>/stat); 0 when there
// is no such process. With the id it names one process: ids are reused, start times are not.
unsigned long long ProcessStart(long pid) {
    unsigned long long start = 0;
    if (std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r")) {
        char buf[1024] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        // The name in parentheses may hold spaces: fields are counted after its closing one.
        const char* p = std::strrchr(buf, ')');
        for (int field = 2; p && field < 22; ++field)
            p = std::strchr(p + 1, ' ');
        if (p && static_cast<std::size_t>(p - buf) < n) start = std::strtoull(p + 1, nullptr, 10);
    }
    return start;
}

// Holds an exclusive lock on a directory while it lives: simulators starting side by side in one
// port directory take turns to examine, record and create a link. A killed holder's lock goes with it.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    ~DirectoryLock() {
        if (fd_ >= 0) ::close(fd_);
    }

private:
    int fd_;
};

} // namespace

LinkState ExaminePortLink(const std::string& link, std::string* detail) {
    const auto say = [&](LinkState state, const std::string& text) {
        if (detail) *detail = text;
        return state;
    };
    struct stat st {};
    if (::lstat(link.c_str(), &st) != 0) return say(LinkState::Absent, "");
    if (!S_ISLNK(st.st_mode)) return say(LinkState::NotALink, S_ISDIR(st.st_mode) ? "a directory" : "a file");
    char target[256] = {};
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    const std::string to = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
    struct stat targetStat {};
    if (::stat(link.c_str(), &targetStat) != 0)
        return say(LinkState::Stale, "its terminal " + to + " is gone");
    // The owner record tells whether a simulator made this link, and which one.
    long pid = 0;
    char recorded[256] = {};
    unsigned long long started = 0; // absent in records of older simulators
    bool known = false;
    if (std::FILE* f = std::fopen(OwnerRecord(link).c_str(), "r")) {
        known = std::fscanf(f, "%ld %255s %llu", &pid, recorded, &started) >= 2 && to == recorded;
        std::fclose(f);
    }
    if (!known) return say(LinkState::Foreign, "it links to " + to + ", not made by a simulator");
    // A killed simulator's id and terminal may both have been given out again meanwhile.
    if (ProcessName(pid) != "tarvik-sim" || (started != 0 && ProcessStart(pid) != started))
        return say(LinkState::Stale, "its simulator (PID " + std::to_string(pid) + ") no longer runs");
    return say(LinkState::LiveSimulator, "simulator PID " + std::to_string(pid) + " serves it on " + to);
}

struct PtyServer::Port {
    int com = 0;
    std::string link;
    std::string owner; // the owner record beside the link
    int master = -1;
    int slave = -1; // kept open: without it the master reads EIO whenever no host has the port open
    std::string slavePath;
    std::unique_ptr<Endpoint> endpoint;
    std::unique_ptr<FaultInjector> faults;
    std::deque<std::pair<Clock::time_point, Bytes>> out;
    // The frames scheduled and not yet wholly sent: when each starts and when its last byte goes out.
    std::vector<std::pair<Clock::time_point, Clock::time_point>> frames;
    Clock::time_point lastRx{};
};

PtyServer::PtyServer(std::string portDir, ServerOptions options, std::FILE* log)
    : dir_(std::move(portDir)), options_(options), log_(log) {}

PtyServer::~PtyServer() {
    for (auto& p : ports_) {
        // Only while they are still ours: a simulator started with --force may have replaced them.
        char target[256] = {};
        const ssize_t n = p->link.empty() ? -1 : ::readlink(p->link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == p->slavePath) {
            ::unlink(p->link.c_str());
            if (!p->owner.empty()) ::unlink(p->owner.c_str());
        }
        if (p->master >= 0) ::close(p->master);
        if (p->slave >= 0) ::close(p->slave);
    }
}

void PtyServer::Add(int com, std::unique_ptr<Endpoint> endpoint) {
    auto port = std::make_unique<Port>();
    port->com = com;
    port->endpoint = std::move(endpoint);
    port->faults = std::make_unique<FaultInjector>(
        options_.faults, options_.seed + static_cast<std::uint32_t>(com), options_.lateMs);
    const auto fail = [&](const std::string& what) {
        const std::string message = "COM" + std::to_string(com) + ": " + what;
        if (port->master >= 0) ::close(port->master);
        if (port->slave >= 0) ::close(port->slave);
        throw std::runtime_error(message);
    };

    port->master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port->master < 0) fail(std::string("posix_openpt: ") + std::strerror(errno));
    if (::grantpt(port->master) != 0 || ::unlockpt(port->master) != 0) fail("cannot unlock the terminal");
    char name[128];
    if (::ptsname_r(port->master, name, sizeof name) != 0) fail("ptsname failed");
    port->slavePath = name;
    port->slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port->slave < 0) fail(std::string("open terminal: ") + std::strerror(errno));
    // Raw, at the device's rate but without its parity: nothing matches until a host sets the line.
    LineSettings idle = port->endpoint->Line();
    idle.parity = Parity::None;
    SetRaw(port->slave, idle);

    const std::string link = dir_ + "/COM" + std::to_string(com);
    const DirectoryLock turn(dir_);
    std::string detail;
    switch (ExaminePortLink(link, &detail)) {
    case LinkState::Absent:
        break;
    case LinkState::Stale:
        // Left by a simulator that was killed: its terminal or its process is gone.
        if (log_ && options_.verbose)
            std::fprintf(log_, "replacing stale %s (%s)\n", link.c_str(), detail.c_str());
        break;
    case LinkState::LiveSimulator:
    case LinkState::Foreign:
        if (!options_.force) fail(link + " exists already: " + detail + "; --force replaces it");
        break;
    case LinkState::NotALink:
        fail(link + " exists already and is not a link: " + detail);
    }
    // The record goes first and whole, then the link: each is made aside and renamed into place.
    // A simulator killed at any moment leaves no link without its record, and a replaced link is
    // never missing in between (a host opening the port meanwhile finds the old or the new one).
    port->owner = OwnerRecord(link);
    const std::string pendingOwner = Beside(link, ".owner.new");
    bool recorded = false;
    if (std::FILE* f = std::fopen(pendingOwner.c_str(), "w")) {
        recorded = std::fprintf(f, "%ld %s %llu\n", static_cast<long>(::getpid()), name,
                                ProcessStart(::getpid())) > 0;
        recorded = std::fclose(f) == 0 && recorded;
    }
    if (!recorded || std::rename(pendingOwner.c_str(), port->owner.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(pendingOwner.c_str());
        fail("cannot write " + port->owner + ": " + why);
    }
    const std::string pendingLink = Beside(link, ".link.new");
    ::unlink(pendingLink.c_str()); // left by a simulator killed here
    if (::symlink(name, pendingLink.c_str()) != 0 || std::rename(pendingLink.c_str(), link.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(pendingLink.c_str());
        ::unlink(port->owner.c_str());
        fail("cannot create " + link + ": " + why);
    }
    port->link = link;
    ports_.push_back(std::move(port));
}

void PtyServer::Schedule(Port& port, const Bytes& bytes, Clock::time_point start) {
    if (bytes.empty()) return;
    Clock::duration byteTime{};
    if (options_.lineTiming) {
        const LineSettings line = port.endpoint->Line();
        byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(line.BitsPerByte()) / line.baud));
    }
    const Clock::duration length = byteTime * static_cast<long>(bytes.size());
    // Two frames never mix on the line: a frame that would overlap one already scheduled (a reply
    // and a burst frame, or a late reply) starts after it. One held back for later (a late reply)
    // holds back only what would overlap it.
    std::erase_if(port.frames, [&](const auto& f) { return f.second < Clock::now(); });
    for (bool moved = true; moved;) {
        moved = false;
        for (const auto& [from, until] : port.frames)
            if (start < until && start + length >= from) {
                start = until;
                moved = true;
            }
    }
    port.frames.emplace_back(start, start + length);
    if (!options_.lineTiming) {
        port.out.emplace_back(start, bytes);
    } else {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            port.out.emplace_back(start + byteTime * static_cast<long>(i + 1), Bytes{bytes[i]});
    }
    Clock::time_point busyUntil = start + length;
    for (const auto& f : port.frames)
        busyUntil = std::max(busyUntil, f.second);
    port.endpoint->SendsUntil(Seconds(busyUntil));
}

void PtyServer::Receive(Port& port, Clock::time_point now) {
    std::uint8_t buf[kReadChunk];
    const ssize_t n = ::read(port.master, buf, sizeof buf);
    if (n <= 0) return; // EAGAIN, or EIO while no terminal side is open
    const Bytes bytes(buf, buf + n);
    if (now - port.lastRx > kRequestGap) port.endpoint->Reset();
    port.lastRx = now;

    const LineSettings device = port.endpoint->Line();
    const auto observed = ReadLineSettings(port.slave);
    if (!observed || !LineMatches(device, *observed)) {
        // A device on a line with other settings sees only garbled characters: it stays silent.
        port.endpoint->Reset();
        if (options_.verbose)
            std::fprintf(log_, "%9.3f COM%d ignored %zd bytes: line is %s, device wants %s\n", Seconds(now),
                         port.com, n, observed ? observed->Text().c_str() : "unknown", device.Text().c_str());
        return;
    }
    if (options_.verbose) {
        const std::string shown = port.endpoint->Kind() == Protocol::Hart ? Hex(bytes) : Printable(bytes);
        std::fprintf(log_, "%9.3f COM%d <- %s\n", Seconds(now), port.com, shown.c_str());
    }
    auto start = now + std::chrono::milliseconds(options_.turnaroundMs);
    if (options_.lineTiming) {
        // The request took its own time on the wire before the device could answer.
        const auto requestTime = std::chrono::duration<double>(static_cast<double>(device.BitsPerByte()) *
                                                               static_cast<double>(n) / device.baud);
        start += std::chrono::duration_cast<Clock::duration>(requestTime);
    }
    for (Bytes& reply : port.endpoint->Feed(bytes, Seconds(now))) {
        FaultPlan plan = port.faults->Apply(std::move(reply), port.endpoint->Kind());
        if (options_.verbose) {
            const std::string shown =
                port.endpoint->Kind() == Protocol::Hart ? Hex(plan.bytes) : Printable(plan.bytes);
            const std::string note =
                plan.fault == Fault::None ? "" : std::string("  [fault: ") + FaultName(plan.fault) + "]";
            std::fprintf(log_, "%9.3f COM%d -> %s%s\n", Seconds(now), port.com, shown.c_str(), note.c_str());
        }
        Schedule(port, plan.bytes, start + std::chrono::milliseconds(plan.extraDelayMs));
    }
}

void PtyServer::Flush(Port& port, Clock::time_point now) {
    std::stable_sort(port.out.begin(), port.out.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    while (!port.out.empty() && port.out.front().first <= now) {
        const Bytes& bytes = port.out.front().second;
        // The terminal's input queue holds 4 KiB; a host that never reads loses the excess.
        if (::write(port.master, bytes.data(), bytes.size()) < 0 && errno != EAGAIN && options_.verbose)
            std::fprintf(log_, "COM%d write: %s\n", port.com, std::strerror(errno));
        port.out.pop_front();
    }
}

int PtyServer::Run(int stopFd) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        for (auto& p : ports_)
            fds.push_back({p->master, POLLIN, 0});
        int timeoutMs = -1;
        const auto now = Clock::now();
        for (auto& p : ports_)
            for (const auto& item : p->out) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(item.first - now).count();
                const int ms = static_cast<int>(std::max<long long>(0, wait));
                timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
            }
        for (auto& p : ports_)
            if (p->endpoint->SpeaksUnasked())
                timeoutMs = timeoutMs < 0 ? kUnaskedLookMs : std::min(timeoutMs, kUnaskedLookMs);
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(log_, "poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (fds[0].revents & POLLIN) return 0;
        const auto t = Clock::now();
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            if (fds[i + 1].revents & POLLIN) Receive(*ports_[i], t);
            // Unasked frames only while nothing is going out: never inside a reply.
            if (ports_[i]->out.empty())
                for (Bytes& frame : ports_[i]->endpoint->Unasked(Seconds(t)))
                    Schedule(*ports_[i], ports_[i]->faults->Apply(std::move(frame), Protocol::Hart).bytes, t);
            Flush(*ports_[i], Clock::now());
        }
    }
}

} // namespace tarvik::sim
