// POSIX backend, the event side: the event thread's wait for line events, the modem lines and the
// list of ports. See PosixLine.h for the line it shares with ComPortPosix.cpp.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "ComPort.h"
#include "Diagnostics.h"
#include "HeldLine.h"
#include "PosixLine.h"

namespace tarvik::comport {

namespace {

int NiceOfThread(TThreadPriority p) {
    constexpr int nice[] = {19, 10, 5, 0, -5, -10, -20};
    return nice[p];
}

} // namespace

void TCustomComPort::SetCommEventMask(std::uint32_t mask) {
    auto line = LineOf(state_.get());
    if (!line) return;
    if (mask != 0) {
        // What the event thread waits on, made here, before the thread starts.
        if (!line->MakeWakers()) RaiseError(ceGenFailure, CodeText(ceGenFailure) + " (eventfd)", ekSystem);
        line->ReadCounters(); // the base for the line errors reported from now on
    }
    line->commMask = mask;
    line->Notify(line->wakeFd);
}

void TCustomComPort::InterruptCommEvent() noexcept {
    if (auto line = LineOf(state_.get())) line->Notify(line->wakeFd);
}

void TCustomComPort::SetCurrentThreadPriority(TThreadPriority priority) noexcept {
    // Best effort: raising a thread's priority needs privileges.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), NiceOfThread(priority));
}

namespace {

constexpr std::uint32_t kReceiveEvents = evRxChar | evRxFlag | evRx80Full;
constexpr std::uint32_t kModemEvents = evCTS | evDSR | evRLSD | evRing;
constexpr std::uint32_t kCounterEvents = kModemEvents | evBreak | evErr;

// How long the event thread waits between looks at what the driver cannot signal (the output
// queue draining, modem lines and line counters): short after a change, then twice as long each
// quiet round up to the longest, so that an idle line costs a few wake-ups a second.
constexpr int kFirstLookMs = 10;
constexpr int kLongestLookMs = 500;

[[noreturn]] void FailWait(int err) {
    // A line that has gone away ends the event thread like an unplugged device on Win32.
    const std::int32_t code = err == EIO ? ceAccessDenied : CodeOfErrno(err);
    throw EComError(code, CodeText(code) + " (event wait: " + std::strerror(err) + ")", ekSystem);
}

// Takes what the driver holds into the read-ahead, up to the input limit, so that the event
// character can be seen; the rest waits in the driver, where flow control can hold the sender.
// Returns the receive events; `room` tells whether the read-ahead can take more.
std::uint32_t TakeAhead(TLine& s, bool& room) {
    std::size_t before, after;
    bool flag = false;
    int err = 0;
    const auto limit = static_cast<std::size_t>(s.inputLimit.load());
    const char eventChar = static_cast<char>(s.eventChar.load());
    {
        std::lock_guard lock(s.readLock);
        before = s.readAhead.size();
        char buf[1024];
        while (s.readAhead.size() < limit) {
            const std::size_t want = std::min(sizeof buf, limit - s.readAhead.size()); // the room left
            const ssize_t n = ::read(s.fd.Get(), buf, want);
            if (n > 0) {
                flag |= std::memchr(buf, eventChar, static_cast<std::size_t>(n)) != nullptr;
                s.readAhead.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0)
                err = EIO;
            else if (errno != EAGAIN)
                err = errno;
            break;
        }
        after = s.readAhead.size();
        room = after < limit;
    }
    if (after == before) {
        if (err) FailWait(err);
        return 0;
    }
    Signal(s.dataFd);
    return evRxChar | (flag ? evRxFlag : 0) | (after * 5 >= limit * 4 ? evRx80Full : 0);
}

// The output queue after a write, modem lines and line errors, where the driver reports them.
std::uint32_t LineChanges(TLine& s, std::uint32_t mask) {
    std::uint32_t events = 0;
    if (mask & evTxEmpty) {
        const std::uint64_t writes = s.writes;
        int queued = 0;
        if (writes != s.writesSeen && ioctl(s.fd.Get(), TIOCOUTQ, &queued) == 0 && queued == 0) {
            s.writesSeen = writes;
            events |= evTxEmpty;
        }
    }
    if (!(mask & kCounterEvents)) return events;
    serial_icounter_struct now{};
    if (!s.noCounters && ioctl(s.fd.Get(), TIOCGICOUNT, &now) == 0) {
        const serial_icounter_struct& was = s.eventCounters;
        if (s.haveEventCounters) {
            events |= (now.cts != was.cts ? evCTS : 0) | (now.dsr != was.dsr ? evDSR : 0) |
                      (now.dcd != was.dcd ? evRLSD : 0) | (now.rng != was.rng ? evRing : 0) |
                      (now.brk != was.brk ? evBreak : 0);
            if (now.frame != was.frame || now.overrun != was.overrun || now.parity != was.parity ||
                now.buf_overrun != was.buf_overrun)
                events |= evErr;
        }
        s.eventCounters = now;
        s.haveEventCounters = true;
        return events;
    }
    s.noCounters = true;
    if (int bits = 0; !s.noModemLines && ioctl(s.fd.Get(), TIOCMGET, &bits) == 0) {
        if (s.modemBits >= 0) {
            const int changed = bits ^ s.modemBits;
            events |= (changed & TIOCM_CTS ? evCTS : 0) | (changed & TIOCM_DSR ? evDSR : 0) |
                      (changed & TIOCM_CD ? evRLSD : 0) | (changed & TIOCM_RI ? evRing : 0);
        }
        s.modemBits = bits;
    } else {
        s.noModemLines = true;
    }
    return events;
}

// How long to wait before looking at the line again: -1 (until woken) when nothing of the mask
// needs looking at, as on a pseudo-terminal with no write under way.
int NextLookMs(TLine& s, std::uint32_t mask) {
    const bool draining = (mask & evTxEmpty) && s.writes != s.writesSeen;
    const bool counters = (mask & kCounterEvents) && !s.noCounters;
    const bool modem = (mask & kModemEvents) && !s.noModemLines;
    if (!draining && !counters && !modem) return -1;
    s.pollMs = s.pollMs == 0 ? kFirstLookMs : std::min(2 * s.pollMs, kLongestLookMs);
    return s.pollMs;
}

} // namespace

std::optional<std::uint32_t> TCustomComPort::WaitCommEvent() {
    auto held = LineOf(state_.get());
    if (!held) return std::nullopt; // closing
    TLine& s = *held;
    if (!s.MakeWakers()) FailWait(EMFILE);
    if (s.closed) return std::nullopt;
    for (;;) {
        diagnostics::CountEventThreadWakeup();
        const std::uint32_t mask = s.commMask;
        const bool receive = mask & kReceiveEvents;
        bool room = true;
        std::uint32_t events = receive ? TakeAhead(s, room) : 0;
        events = (events | LineChanges(s, mask)) & mask;
        if (events) {
            s.pollMs = 0;
            return events;
        }
        pollfd p[3] = {{s.wakeFd.Get(), POLLIN, 0},
                       {s.fd.Get(), static_cast<short>(receive && room ? POLLIN : 0), 0},
                       {s.abortFd.Get(), POLLIN, 0}};
        const int r = ::poll(p, 3, NextLookMs(s, mask));
        if (r < 0 && errno != EINTR) FailWait(errno);
        if (p[2].revents & POLLIN) return std::nullopt;
        if (p[0].revents & POLLIN) {
            Drain(s.wakeFd);
            s.pollMs = 0; // a new mask or a write: look closely again
            return 0;
        }
        if ((p[1].revents & (POLLHUP | POLLERR)) && !(p[1].revents & POLLIN)) FailWait(EIO);
    }
}

TModemStatus TCustomComPort::ModemStatus() {
    CheckOpen();
    auto held = UsableLine(*this, state_.get());
    int bits = 0;
    TModemStatus status;
    // Lines the driver cannot report (pseudo-terminals) read as all off.
    if (ioctl(held->fd.Get(), TIOCMGET, &bits) != 0) return status;
    if (bits & TIOCM_CTS) status.Include(msCTS);
    if (bits & TIOCM_DSR) status.Include(msDSR);
    if (bits & TIOCM_RI) status.Include(msRing);
    if (bits & TIOCM_CD) status.Include(msRLSD);
    return status;
}

namespace {

// The number of a name that can be listed: "COM" and a number from 1 to 255, written without
// leading zeros; 0 for any other name.
int ListableNumber(const std::string& name) {
    const int n = ComNumber(name);
    return n >= 1 && n <= kMaxComNumber && name == "COM" + std::to_string(n) ? n : 0;
}

// Whether /dev/ttyS<n-1> has a real port behind it (its driver reports a type other than 0).
bool SerialHardware(int n) {
    std::ifstream type("/sys/class/tty/ttyS" + std::to_string(n - 1) + "/type");
    int t = 0;
    return type >> t && t != 0;
}

} // namespace

void EnumComPorts(std::vector<std::string>& list) {
    std::vector<std::pair<int, std::string>> found;
    if (const char* dir = std::getenv(kPortDirVariable)) {
        if (DIR* d = ::opendir(dir)) {
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (const int n = ListableNumber(name)) found.emplace_back(n, name);
            }
            ::closedir(d);
        }
    } else {
        for (int n = 1; n <= kMaxComNumber; ++n)
            if (SerialHardware(n)) found.emplace_back(n, "COM" + std::to_string(n));
    }
    std::sort(found.begin(), found.end());
    for (auto& f : found)
        list.push_back(std::move(f.second));
}

bool ComPortListed(const std::string& device) {
    std::string name = device;
    if (name.compare(0, std::strlen(kDevicePrefix), kDevicePrefix) == 0)
        name.erase(0, std::strlen(kDevicePrefix));
    const int n = ListableNumber(name);
    if (n == 0) return false;
    // The entry itself, as the directory lists it: a link whose target is gone is listed too.
    if (const char* dir = std::getenv(kPortDirVariable)) {
        struct stat entry {};
        return ::lstat((std::string(dir) + "/" + name).c_str(), &entry) == 0;
    }
    return SerialHardware(n);
}

} // namespace tarvik::comport
