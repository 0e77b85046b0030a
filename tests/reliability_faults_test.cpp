// The fault matrix on Linux: every fault gives a defined result, leaves the outputs as the rules
// say and nothing open behind, and the next call on the same port works.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <set>

#include "TarvikDLL.h"
#include "support/Descriptors.h"
#include "support/DeviceModels.h"

using namespace tarvik::test;

namespace {

constexpr int kPort = 4;
constexpr int kBaud = 38400;

struct Flow {
    int32_t value = 0x5A5A5A5A;
    uint8_t units = 0xAA, s1 = 0xAB, s2 = 0xAC;
    int Call(int port = kPort) { return ReadFlow(port, kBaud, 1, 2, 3, 0x64, &value, &units, &s1, &s2); }
    bool Untouched() const { return value == 0x5A5A5A5A && units == 0xAA && s1 == 0xAB && s2 == 0xAC; }
};

// Answers ReadFlow correctly, so "the next call works" can be checked after each fault.
void AnswerFlows(ScriptedPeer& peer) {
    peer.SetResponder(HartModel);
}

} // namespace

TEST(Faults, GarbageFloodThatNeverStops) {
    ScriptedPeer peer(kPort);
    const int fds = OpenDescriptors();
    for (Bytes pattern : {Bytes{0x55, 0x86, 0x00, 0x0D}, Bytes{0xFF}}) {
        peer.StartFlood(pattern);
        Flow f;
        EXPECT_EQ(f.Call(), ResultBadLength); // thousands of bytes, or 0xFF only: no length fits
        EXPECT_TRUE(f.Untouched());
        EXPECT_EQ(TestComs_0731(kPort), ResultWrongIdentity);
        peer.StopFlood();
    }
    usleep(50 * 1000);
    AnswerFlows(peer);
    Flow ok;
    EXPECT_EQ(ok.Call(), ResultOk); // the open purges what the flood left queued
    EXPECT_EQ(OpenDescriptors(), fds);
}

TEST(Faults, ReadoutReplyOfSeveralKilobytes) {
    ScriptedPeer peer(kPort);
    peer.SetLineMode(true);
    std::string big = "Tarvik Instrument 0731 " + std::string(6000, 'x') + "\r\n";
    peer.Reply(BytesOf(big));
    EXPECT_EQ(TestComs_0731(kPort), ResultOk); // the identity stands at the front
    std::string tail = std::string(6000, ',') + "AZ\r\n";
    peer.Reply(BytesOf(tail));
    float v = 1.5f;
    const int r = ReadProcessVariable_0731(kPort, 1, &v);
    EXPECT_TRUE(r == ResultBadProcessValueReply) << r;
    EXPECT_EQ(v, -999.0f);
}

TEST(Faults, DeviceGoesAwayDuringTheWait) {
    const int fds = OpenDescriptors();
    {
        ScriptedPeer peer(kPort);
        Flow f;
        auto call = std::async(std::launch::async, [&] { return f.Call(); });
        ASSERT_TRUE(peer.WaitForRequests(1));
        peer.HangUp();
        const int r = call.get();
        EXPECT_TRUE(r == ResultNoReply || r == ResultPortBusy) << r;
        EXPECT_TRUE(f.Untouched());
        // The entry now points at a terminal that no longer exists: listed, not openable.
        EXPECT_EQ(f.Call(), ResultPortBusy);
    }
    EXPECT_EQ(OpenDescriptors(), fds);
    ScriptedPeer again(kPort); // the device comes back under the same name
    AnswerFlows(again);
    Flow ok;
    EXPECT_EQ(ok.Call(), ResultOk);
}

TEST(Faults, DeviceGoesAwayBetweenTheCheckAndTheExchange) {
    const int fds = OpenDescriptors();
    {
        ScriptedPeer peer(kPort);
        AnswerFlows(peer);
        // Hang up as soon as the trial open has closed the terminal again.
        const int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(watch, peer.TerminalPath().c_str(), IN_CLOSE), 0);
        auto hangUp = std::async(std::launch::async, [&] {
            char buf[512];
            (void)!read(watch, buf, sizeof buf);
            peer.HangUp();
        });
        Flow f;
        const int r = f.Call();
        hangUp.get();
        close(watch);
        EXPECT_TRUE(r == ResultPortBusy || r == ResultNoReply) << r;
        EXPECT_TRUE(f.Untouched());
    }
    EXPECT_EQ(OpenDescriptors(), fds);
}

TEST(Faults, EntryRemovedOrPointedAtSomethingElseBetweenCalls) {
    ScriptedPeer peer(kPort);
    AnswerFlows(peer);
    Flow f;
    ASSERT_EQ(f.Call(), ResultOk);
    const std::string link = peer.LinkPath();

    unlink(link.c_str());
    Flow absent;
    EXPECT_EQ(absent.Call(), ResultPortAbsent);

    // A FIFO opens read-write on Linux; the library must notice it is no terminal and send nothing.
    const std::string fifo = PortDir() + "/fifo4";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    Flow busy;
    EXPECT_EQ(busy.Call(), ResultPortBusy);
    EXPECT_EQ(TestComs_0731(kPort), ResultPortBusy);
    EXPECT_TRUE(busy.Untouched());
    char c;
    EXPECT_LE(read(reader, &c, 1), 0); // not one byte went into the FIFO
    close(reader);
    unlink(link.c_str());
    unlink(fifo.c_str());

    ASSERT_EQ(symlink(peer.TerminalPath().c_str(), link.c_str()), 0);
    Flow back;
    EXPECT_EQ(back.Call(), ResultOk);
}

TEST(Faults, PortHeldByAnotherProcess) {
    ScriptedPeer peer(kPort);
    AnswerFlows(peer);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(peer.LinkPath().c_str(), O_RDWR | O_NOCTTY);
        flock(fd, LOCK_EX);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    Flow f;
    EXPECT_EQ(f.Call(), ResultPortBusy);
    EXPECT_EQ(TestComs_0731(kPort), ResultPortBusy);
    EXPECT_TRUE(f.Untouched());
    EXPECT_TRUE(peer.Received().empty());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(f.Call(), ResultOk);
}

TEST(Faults, TwoThreadsOnOnePortAtOnce) {
    ScriptedPeer peer(kPort);
    AnswerFlows(peer);
    for (int round = 0; round < 5; ++round) {
        peer.ClearReceived();
        std::promise<void> go;
        std::shared_future<void> start = go.get_future().share();
        Flow a, b;
        auto fa = std::async(std::launch::async, [&] {
            start.wait();
            return a.Call();
        });
        auto fb = std::async(std::launch::async, [&] {
            start.wait();
            return b.Call();
        });
        go.set_value();
        const std::multiset<int> results{fa.get(), fb.get()};
        // Both calls are over, so every byte they wrote is with the peer: wait until it has cut them.
        if (results == std::multiset<int>{ResultOk, ResultOk}) {
            EXPECT_TRUE(peer.WaitForRequests(2)); // the calls did not overlap after all
            EXPECT_EQ(peer.Requests().size(), 2u);
            continue;
        }
        EXPECT_EQ(results, (std::multiset<int>{ResultOk, ResultPortBusy})) << "round " << round;
        EXPECT_TRUE(peer.WaitForRequests(1));
        EXPECT_EQ(peer.Requests().size(), 1u);
        Flow& winner = a.value == 0x5A5A5A5A ? b : a;
        EXPECT_EQ(winner.units, 1); // the model's reply: data byte 0 is the command number
    }
}

namespace {
// Field 7 of /proc/self/stat: the controlling terminal's device number, 0 for none.
long ControllingTerminal() {
    std::FILE* f = std::fopen("/proc/self/stat", "r");
    long tty = -1;
    if (f && std::fscanf(f, "%*d %*s %*c %*d %*d %*d %ld", &tty) != 1) tty = -1;
    if (f) std::fclose(f);
    return tty;
}
} // namespace

TEST(Faults, DescriptorIsCloseOnExecAndNeverTheControllingTerminal) {
    // Become a session leader without a terminal, the case where opening one would make it ours.
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        ScriptedPeer peer(kPort);
        AnswerFlows(peer);
        Flow f;
        const bool ok = f.Call() == ResultOk && ControllingTerminal() == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child); // this child, whatever else this process started
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the port became the controlling terminal";

    ScriptedPeer peer(kPort);
    AnswerFlows(peer);
    Flow f;
    auto call = std::async(std::launch::async, [&] { return f.Call(); });
    ASSERT_TRUE(peer.WaitForRequests(1));
    // While the request port is open, find it among our descriptors and read its flags.
    bool seen = false;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            char target[256] = {};
            const std::string fd = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(fd.c_str(), target, sizeof target - 1) <= 0) continue;
            if (peer.TerminalPath() != target || std::atoi(e->d_name) <= 2) continue;
            std::FILE* info = std::fopen((std::string("/proc/self/fdinfo/") + e->d_name).c_str(), "r");
            char line[128];
            while (info && std::fgets(line, sizeof line, info)) {
                unsigned flags = 0;
                if (std::sscanf(line, "flags: %o", &flags) == 1 && (flags & O_CLOEXEC)) seen = true;
            }
            if (info) std::fclose(info);
        }
        closedir(d);
    }
    EXPECT_EQ(call.get(), ResultOk);
    EXPECT_TRUE(seen) << "the library's descriptor of the terminal without FD_CLOEXEC";
}
