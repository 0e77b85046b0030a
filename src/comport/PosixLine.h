// The POSIX backend's state of one open port, shared by its two files: ComPortPosix.cpp (open,
// close, settings, transfers) and ComPortPosixEvents.cpp (the event thread's wait, modem lines,
// the port list).
//
// Each open creates one TLine: the descriptors and everything the transfers share. Operations hold
// it through a shared pointer while they use it, so a close from another thread never pulls a
// descriptor away under a waiting poll: the close marks the line closed and signals its abort
// descriptor, which ends every wait at once, and the descriptors close when the last user left.
//
// <asm/termbits.h> and glibc's <termios.h> cannot be used together; the backend uses only the former.
#pragma once

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "ComPort.h"
#include "HeldLine.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace tarvik::comport {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>; // none: no limit

// Owns one descriptor: closes it when replaced or destroyed.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }
    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    int Release() noexcept { return std::exchange(fd_, -1); }
    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

inline void Signal(const UniqueFd& eventFd) noexcept {
    const std::uint64_t one = 1;
    (void)!::write(eventFd.Get(), &one, sizeof one);
}

inline void Drain(const UniqueFd& eventFd) noexcept {
    std::uint64_t v;
    (void)!::read(eventFd.Get(), &v, sizeof v);
}

// Process nice values for the priority classes, and per-thread ones for the event thread.
inline int NiceOfClass(TPriorityClass c) {
    constexpr int nice[] = {0, 19, 0, -10, -20};
    return nice[c];
}

// The nice value of the thread that opened a port with a priority class, saved before the class
// changed it and put back on release, whichever thread releases. (Linux keeps nice values per
// thread, so the class is the opening thread's.)
class SavedPriority {
public:
    SavedPriority() = default;
    SavedPriority(const SavedPriority&) = delete;
    SavedPriority& operator=(const SavedPriority&) = delete;
    ~SavedPriority() { Restore(); }

    // False when the class would lower the thread's priority further than this process may raise
    // it back: nothing is changed then. A raise the system refuses changes nothing either.
    bool Apply(TPriorityClass c) {
        const pid_t tid = ::gettid();
        errno = 0;
        const int now = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
        if (errno != 0) return true;
        const int target = NiceOfClass(c);
        if (target > now && !MayRaiseTo(now)) return false;
        if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target) != 0) return true;
        tid_ = tid;
        nice_ = now;
        saved_ = true;
        return true;
    }

    void Restore() noexcept {
        // A thread that has ended has nothing left to restore (ESRCH).
        if (saved_) ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), nice_);
        saved_ = false;
    }

private:
    // Whether this process may set a nice value as low as `nice` (root, or within RLIMIT_NICE).
    static bool MayRaiseTo(int nice) {
        if (::geteuid() == 0) return true;
        rlimit limit{};
        if (::getrlimit(RLIMIT_NICE, &limit) != 0) return false;
        return limit.rlim_cur == RLIM_INFINITY || 20 - static_cast<long long>(limit.rlim_cur) <= nice;
    }

    pid_t tid_ = 0;
    int nice_ = 0;
    bool saved_ = false;
};

// The most the event thread takes from the driver ahead of the reads, whatever BufferSizes.Input
// asks: beyond it the bytes wait in the driver, where flow control can hold the sender.
constexpr std::int32_t kMaxReadAhead = 1 << 20;

// Everything of one open: descriptors, the read-ahead of the event thread, the pending transfers
// and the background writer.
struct TLine {
    UniqueFd fd;
    // The three eventfds exist only once something waits (a read that waits for bytes, the
    // background writer, the event thread): MakeWakers creates them. A port that writes and takes
    // what is queued, as the exports do, never makes them.
    UniqueFd wakeFd;  // eventfd: ends the event wait (new mask, stop, room in the read-ahead)
    UniqueFd dataFd;  // eventfd: the event thread added bytes to readAhead
    UniqueFd abortFd; // eventfd: the line is closing; every wait ends
    std::atomic<bool> haveWakers{false};
    std::mutex wakersLock; // their creation
    std::atomic<bool> closed{false};

    // Settings the event thread and the writer read.
    std::atomic<std::uint32_t> commMask{0};
    std::atomic<int> eventChar{0};
    std::atomic<std::int32_t> inputLimit{4096};
    std::atomic<bool> toggleRts{false}; // raise RTS around each write (no driver support)

    // Bytes the event thread took from the driver (to see the event character), at most
    // inputLimit (at most kMaxReadAhead) of them; reads take them first. The lock keeps their order.
    std::mutex readLock;
    std::string readAhead;

    // Event thread only.
    std::atomic<std::uint64_t> writes{0}; // writes started, for the transmit-empty event
    std::uint64_t writesSeen = 0;
    serial_icounter_struct eventCounters{};
    bool haveEventCounters = false;
    int modemBits = -1;
    bool noCounters = false;   // the driver has no line counters (pseudo-terminals)
    bool noModemLines = false; // nor modem lines
    int pollMs = 0;            // the current wait between looks at the line, 0 after a change

    // Line-error counters seen last (serial drivers only). Read first when an event handler is
    // assigned: without one no line error is reported to anybody.
    std::mutex countersLock;
    serial_icounter_struct counters{};
    bool countersRead = false;
    bool haveCounters = false;

    // Pending read (the owner's thread): the caller's buffer, its length and what has arrived.
    std::uint8_t* readBuffer = nullptr;
    std::int32_t readLength = 0;
    std::int32_t readDone = 0;
    bool readPending = false;

    // Pending write, finished by the writer thread: the bytes the driver has not taken yet.
    std::mutex writeLock;
    std::condition_variable writeChanged;
    std::string writeRest;
    Deadline writeDeadline;
    bool writePending = false; // the owner waits until this is false
    bool writeQueued = false;  // handed to the writer
    bool writeTimedOut = false;
    int writeError = 0;
    bool writerStop = false;
    std::thread writer;

    ~TLine() {
        {
            std::lock_guard lock(writeLock);
            writerStop = true;
        }
        writeChanged.notify_all();
        if (writer.joinable()) writer.join();
    }

    // Creates the eventfds once; false when the system refuses one. A waiter tests `closed`
    // after this: a close that came before the eventfds existed signalled nothing.
    bool MakeWakers() noexcept {
        if (haveWakers) return true;
        std::lock_guard lock(wakersLock);
        if (haveWakers) return true;
        UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        UniqueFd data(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        UniqueFd abort(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake.Valid() || !data.Valid() || !abort.Valid()) return false;
        wakeFd.Reset(wake.Release());
        dataFd.Reset(data.Release());
        abortFd.Reset(abort.Release());
        haveWakers = true; // after `closed` is set, Abort tests this: one of the two sees the other
        return true;
    }

    // Signals `eventFd` when the eventfds exist (nobody waits on it otherwise).
    void Notify(const UniqueFd& eventFd) noexcept {
        if (haveWakers) Signal(eventFd);
    }

    // Ends every wait: polls see abortFd, the write waiters and new waits see `closed`.
    void Abort() noexcept {
        closed = true;
        Notify(abortFd);
        { std::lock_guard lock(writeLock); }
        writeChanged.notify_all();
    }

    // Reads the line-error counters for the first time (the base of later reports).
    void ReadCounters() noexcept {
        std::lock_guard lock(countersLock);
        if (countersRead) return;
        countersRead = true;
        haveCounters = ioctl(fd.Get(), TIOCGICOUNT, &counters) == 0;
    }

    void WriterLoop() noexcept;

    // Moves at most `want` bytes into `out` without waiting: the read-ahead first, then the driver.
    // Returns the count, 0 at end of file, or -1 with `err` set (EAGAIN: nothing queued).
    ssize_t TakeSome(std::uint8_t* out, std::size_t want, int& err) {
        std::size_t ahead = 0;
        ssize_t n;
        {
            std::lock_guard lock(readLock);
            ahead = std::min(want, readAhead.size());
            if (ahead > 0) {
                std::memcpy(out, readAhead.data(), ahead);
                readAhead.erase(0, ahead);
            }
            if (ahead == want) {
                n = static_cast<ssize_t>(ahead);
            } else {
                n = ::read(fd.Get(), out + ahead, want - ahead);
                err = errno;
                if (ahead > 0) n = static_cast<ssize_t>(ahead) + std::max<ssize_t>(n, 0);
            }
        }
        if (ahead > 0) Notify(wakeFd); // room again: the event thread may take more
        return n;
    }
};

struct TPortState {
    std::mutex lock; // `line`
    std::shared_ptr<TLine> line;
    std::atomic<bool> open{false}; // read by IsOpen on any thread
    SavedPriority priority;
};

constexpr const char* kPortDirVariable = "TARVIK_PORT_DIR";
constexpr const char* kDevicePrefix = "\\\\.\\"; // the Win32 device namespace: "\\.\COM10"
constexpr int kMaxComNumber = 255;

// Win32 texts of the codes the backend raises.
inline std::string CodeText(std::int32_t code) {
    switch (code) {
    case ceFileNotFound:
        return "The system cannot find the file specified.";
    case ceAccessDenied:
        return "Access is denied.";
    case ceInvalidHandle:
        return "The handle is invalid.";
    case ceInvalidParameter:
        return "The parameter is incorrect.";
    default:
        return "A device attached to the system is not functioning.";
    }
}

inline std::int32_t CodeOfErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return ceFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ceAccessDenied;
    case EBADF:
    case ENOTTY:
        return ceInvalidHandle;
    case EINVAL:
        return ceInvalidParameter;
    default:
        return ceGenFailure;
    }
}

// "COM<digits>" -> n, else 0.
inline int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return 0;
    int n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 100000) return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// Milliseconds left until `deadline`, or -1 (wait forever) when there is none.
inline int MsLeft(const Deadline& deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    // Round up: a poll that ends a little early would only go round once more.
    return static_cast<int>(std::clamp<long long>(left.count() + 1, 0, INT_MAX));
}

inline bool Passed(const Deadline& deadline) {
    return deadline && Clock::now() >= *deadline;
}

inline Deadline Earlier(const Deadline& a, const Deadline& b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// Beyond this many milliseconds (about 139 years) a limit never ends a transfer: no limit. Keeps
// every deadline far from the clock's range.
constexpr std::uint64_t kNoLimitMs = std::uint64_t{1} << 42;

// `ms` from now; no limit at all when that is beyond kNoLimitMs.
inline Deadline After(std::uint64_t ms) {
    if (ms >= kNoLimitMs) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

inline void SetRts(int fd, bool on) noexcept {
    int bits = TIOCM_RTS;
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits); // no modem lines (pseudo-terminals): nothing to do
}

} // namespace tarvik::comport
