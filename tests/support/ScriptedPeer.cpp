#include "ScriptedPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace tarvik::test {

namespace {

constexpr int kQuietGapMs = 15; // a request ends after this much silence
// A device is hardware of its own and answers in time whatever the host's processor does; the
// thread that plays it runs ahead of a busy machine's other work where it may (root or
// CAP_SYS_NICE), so that a loaded machine does not turn its replies into missed waits.
constexpr int kDeviceNice = -10;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

const std::string& PortDir() {
    static const std::string dir = [] {
        if (const char* d = std::getenv("TARVIK_PORT_DIR")) {
            ::mkdir(d, 0700);
            return std::string(d);
        }
        char tmpl[] = "/tmp/tarvik-ports-XXXXXX";
        if (!::mkdtemp(tmpl)) Fail("mkdtemp");
        ::setenv("TARVIK_PORT_DIR", tmpl, 1);
        return std::string(tmpl);
    }();
    return dir;
}

Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

ScriptedPeer::ScriptedPeer(int com) : com_(com) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) Fail("posix_openpt");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) Fail("ptsname_r");
    slavePath_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) Fail("open slave");
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);

    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) Fail("pipe");
    wakeRead_ = pipefd[0];
    wakeWrite_ = pipefd[1];

    const std::string link = LinkPath();
    ::unlink(link.c_str());
    if (::symlink(slavePath_.c_str(), link.c_str()) != 0) Fail("symlink " + link);
    thread_ = std::thread([this] { Run(); });
}

bool ScriptedPeer::Woken() {
    char buf[16];
    (void)!::read(wakeRead_, buf, sizeof buf);
    return stopping_;
}

void ScriptedPeer::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const char stop = 'x';
    (void)!::write(wakeWrite_, &stop, 1);
    thread_.join();
}

ScriptedPeer::~ScriptedPeer() {
    Stop();
    ::unlink(LinkPath().c_str());
    for (int fd : {master_, slave_, wakeRead_, wakeWrite_})
        if (fd >= 0) ::close(fd);
}

void ScriptedPeer::HangUp() {
    Stop();
    // Re-pointed before the terminal closes (atomically, by rename): a library that opens the
    // entry afterwards finds no terminal, as after the hang-up of a real device, and never one that
    // a test running beside this one was given meanwhile.
    const std::string link = LinkPath();
    const std::string pending = link + ".gone";
    ::unlink(pending.c_str());
    if (::symlink((PortDir() + "/.gone-COM" + std::to_string(com_)).c_str(), pending.c_str()) != 0 ||
        ::rename(pending.c_str(), link.c_str()) != 0)
        Fail("re-point " + link);
    for (int* fd : {&slave_, &master_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void ScriptedPeer::SetResponder(std::function<ScriptedReply(const Bytes&)> responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void ScriptedPeer::StartFlood(Bytes pattern) {
    {
        std::lock_guard lock(mutex_);
        flood_ = std::move(pattern);
    }
    const char wake = 'f';
    (void)!::write(wakeWrite_, &wake, 1);
}

void ScriptedPeer::StopFlood() {
    StartFlood({});
}

std::string ScriptedPeer::LinkPath() const {
    return PortDir() + "/COM" + std::to_string(com_);
}

void ScriptedPeer::Reply(Bytes bytes, int delayMs) {
    Queue({std::move(bytes), delayMs});
}

void ScriptedPeer::ReplySplit(Bytes bytes, std::size_t splitAt, int delayMs, int splitDelayMs) {
    Queue({std::move(bytes), delayMs, splitAt, splitDelayMs});
}

void ScriptedPeer::Queue(ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(reply));
}

Bytes ScriptedPeer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<Bytes> ScriptedPeer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool ScriptedPeer::WaitForRequests(std::size_t n, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= n; });
}

void ScriptedPeer::ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
    requests_.clear();
}

// Writes everything unless a stop request comes first (the master side is non-blocking).
bool ScriptedPeer::Send(const std::uint8_t* data, std::size_t size) {
    std::size_t off = 0;
    while (off < size) {
        const ssize_t n = ::write(master_, data + off, size - off);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
        pollfd fds[2] = {{master_, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
        ::poll(fds, 2, 50);
        if (fds[1].revents && Woken()) return false;
    }
    return true;
}

bool ScriptedPeer::Answer(const ScriptedReply& reply) {
    if (reply.silent) return true;
    auto send = [&](std::size_t from, std::size_t to, int delayMs) {
        // Sleep, but keep watching for the stop request.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
        for (auto now = std::chrono::steady_clock::now(); now < until;
             now = std::chrono::steady_clock::now()) {
            pollfd p{wakeRead_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
            if (::poll(&p, 1, static_cast<int>(left) + 1) > 0 && Woken()) return false;
        }
        return Send(reply.bytes.data() + from, to - from);
    };
    const std::size_t end = reply.bytes.size();
    const std::size_t split = reply.splitAt > 0 && reply.splitAt < end ? reply.splitAt : end;
    if (!send(0, split, reply.delayMs)) return false;
    return split >= end || send(split, end, reply.splitDelayMs);
}

void ScriptedPeer::Run() {
    (void)::setpriority(PRIO_PROCESS, 0, kDeviceNice); // this thread; refused without the right
    Bytes current;
    Bytes flood;
    for (;;) {
        const short masterEvents = static_cast<short>(POLLIN | (flood.empty() ? 0 : POLLOUT));
        pollfd fds[2] = {{master_, masterEvents, 0}, {wakeRead_, POLLIN, 0}};
        const int r = ::poll(fds, 2, current.empty() ? -1 : kQuietGapMs);
        if (r < 0 && errno == EINTR) continue;
        if (fds[1].revents) {
            if (Woken()) return;
            std::lock_guard lock(mutex_);
            flood = flood_;
            continue;
        }
        if (!flood.empty() && (fds[0].revents & POLLOUT)) (void)!::write(master_, flood.data(), flood.size());
        bool ended = false;
        if (r == 0) {
            ended = true; // quiet gap
        } else if (fds[0].revents & POLLIN) {
            std::uint8_t buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            std::lock_guard lock(mutex_);
            received_.insert(received_.end(), buf, buf + n);
            current.insert(current.end(), buf, buf + n);
            ended = lineMode_ && current.back() == '\r';
        }
        if (!ended || current.empty()) continue;

        ScriptedReply reply;
        reply.silent = true;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(current);
            if (!replies_.empty()) {
                reply = std::move(replies_.front());
                replies_.pop_front();
            } else if (responder_) {
                reply = responder_(current);
            }
        }
        changed_.notify_all();
        current.clear();
        // The reply delay counts from the last byte of the request, not from the quiet gap.
        if (!lineMode_ && reply.delayMs > 0) reply.delayMs = std::max(0, reply.delayMs - kQuietGapMs);
        if (!Answer(reply)) return;
    }
}

} // namespace tarvik::test
