// The tool's own judgements that need no device: values to write, files that are the same file,
// the port list by the library's naming rules, the port directory's problems, and the simulator's
// view of an existing COM<n> link.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "ChartCommand.h"
#include "Cli.h"
#include "Kit.h"
#include "Ports.h"
#include "PtyServer.h"
#include "TarvikDLL.h"

namespace tarvik::cli {
namespace {

using testkit::TempDir;

// Sets an environment variable for one scope and restores the previous value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(ValuesToWrite, FiniteNumbersThatFitAFloat) {
    const struct {
        const char* text;
        std::optional<float> value; // nothing: a usage error
    } cases[] = {
        {"40", 40.0f},           {"-2.5", -2.5f},          {"1e3", 1000.0f},
        {"3.4e38", 3.4e38f},     {"1e40", std::nullopt},   {"-1e40", std::nullopt},
        {"inf", std::nullopt},   {"-inf", std::nullopt},   {"nan", std::nullopt},
        {"", std::nullopt},      {"12,5", std::nullopt},   {"fast", std::nullopt},
        {"4 ", std::nullopt},    {"1e999", std::nullopt},  {"0x10", std::nullopt},
        {"1e-50", std::nullopt}, {"1e-400", std::nullopt}, {"-0", -0.0f},
    };
    for (const auto& c : cases) {
        if (c.value)
            EXPECT_EQ(ParseValue(c.text, "setpoint"), *c.value) << c.text;
        else
            EXPECT_THROW(ParseValue(c.text, "setpoint"), CLI::ValidationError) << c.text;
    }
}

TEST(Trace, TheOptionSetsTheLibrarysVariable) {
    ScopedEnv clear("TARVIK_TRACE", std::nullopt);
    SetTraceTarget("/tmp/trace.log");
    ASSERT_NE(std::getenv("TARVIK_TRACE"), nullptr);
    EXPECT_STREQ(std::getenv("TARVIK_TRACE"), "/tmp/trace.log");
    SetTraceTarget("-");
    EXPECT_STREQ(std::getenv("TARVIK_TRACE"), "-");
    EXPECT_THROW(SetTraceTarget(""), CLI::ValidationError);
    EXPECT_STREQ(std::getenv("TARVIK_TRACE"), "-");
}

TEST(SameFile, TextLinksHardLinksAndFilesNotYetWritten) {
    TempDir dir;
    std::ofstream(dir / "log.csv") << "time\n";
    ASSERT_EQ(::symlink((dir / "log.csv").c_str(), (dir / "sym.csv").c_str()), 0);
    ASSERT_EQ(::link((dir / "log.csv").c_str(), (dir / "hard.csv").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.Path().c_str(), (dir / "up").c_str()), 0);
    const struct {
        std::string other;
        bool same;
    } cases[] = {
        {dir / "log.csv", true},        {dir / "sym.csv", true},     {dir / "hard.csv", true},
        {dir / "sub/../log.csv", true}, {dir / "up/log.csv", true},  {dir / "log.svg", false},
        {dir / "sub/log.csv", false},   {dir / "up/new.svg", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SameFile(dir / "log.csv", c.other), c.same) << c.other;
    EXPECT_TRUE(SameFile(dir / "new.svg", dir / "up/new.svg")); // neither exists yet
}

TEST(PortList, FollowsTheLibrarysNamingRules) {
    TempDir dir;
    for (const char* name :
         {"COM1", "COM10", "COM40", "COM41", "COM03", "COMx", "COM", "com5", ".COM7.owner"})
        ASSERT_EQ(::symlink("/dev/null", (dir / name).c_str()), 0) << name;
    ScopedEnv env("TARVIK_PORT_DIR", dir.Path());
    std::vector<int> numbers;
    for (const auto& p : ListPorts())
        numbers.push_back(p.number);
    EXPECT_EQ(numbers, (std::vector<int>{1, 10, 40}));
    // Each listed port is one the library finds (it answers busy, not absent, for /dev/null).
    for (int n : numbers) {
        float pv = 0;
        EXPECT_EQ(ReadProcessVariable_0731(n, 1, &pv), ResultPortBusy) << n;
    }
    float pv = 0;
    EXPECT_EQ(ReadProcessVariable_0731(41, 1, &pv), ResultBadPort);
    EXPECT_EQ(ReadProcessVariable_0731(3, 1, &pv), ResultPortAbsent); // COM03 is not COM3
}

TEST(PortDirectory, ProblemsAreNamed) {
    TempDir dir;
    std::ofstream(dir / "file") << "";
    const struct {
        std::optional<std::string> value;
        std::string problem; // empty: fine
    } cases[] = {
        {std::nullopt, ""},
        {dir.Path(), ""},
        {dir / "missing", "no such directory"},
        {dir / "file", "is not a directory"},
        {"", "set but empty"},
    };
    for (const auto& c : cases) {
        ScopedEnv env("TARVIK_PORT_DIR", c.value);
        const std::string problem = PortDirProblem();
        if (c.problem.empty())
            EXPECT_EQ(problem, "") << c.value.value_or("(unset)");
        else
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
}

TEST(PortDiagnosis, WhatAPortIsWhenItCannotBeUsed) {
    TempDir dir;
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM1").c_str()), 0);
    std::ofstream(dir / "COM2") << "";
    ASSERT_EQ(::mkdir((dir / "COM3").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "COM4").c_str()), 0);
    ScopedEnv env("TARVIK_PORT_DIR", dir.Path());
    const struct {
        int port;
        std::int32_t result;
        const char* kind;
    } cases[] = {
        {1, ResultPortBusy, "not-a-terminal"}, {2, ResultPortBusy, "not-a-terminal"},
        {3, ResultPortBusy, "not-a-terminal"}, {4, ResultPortBusy, "missing-target"},
        {5, ResultPortAbsent, "not-listed"},   {5, ResultNoReply, ""},
    };
    for (const auto& c : cases) {
        const PortDiagnosis d = DiagnosePort(c.port, c.result);
        EXPECT_EQ(d.kind, c.kind) << c.port << ": " << d.text;
        EXPECT_TRUE(d.holders.empty()) << c.port;
    }
    ScopedEnv noDir("TARVIK_PORT_DIR", std::nullopt);
    EXPECT_EQ(DiagnosePort(40, ResultPortAbsent).kind, "no-hardware");
}

} // namespace
} // namespace tarvik::cli

namespace tarvik::sim {
namespace {

using testkit::Quoted;
using testkit::Shell;
using testkit::TempDir;
using testkit::ToolRun;

TEST(SimulatorLinks, OnlyStaleLinksOfASimulatorAreReplacedWithoutForce) {
    TempDir dir;
    const auto owner = [&](const std::string& name, long pid, const std::string& target) {
        std::ofstream(dir / ("." + name + ".owner")) << pid << ' ' << target << '\n';
    };
    ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "COM1").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM2").c_str()), 0);
    owner("COM2", 0x7FFFFFF0L, "/dev/null"); // no such process
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM3").c_str()), 0);
    owner("COM3", static_cast<long>(::getpid()), "/dev/null");    // a process, but not a simulator
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM4").c_str()), 0); // no owner record
    ASSERT_EQ(::symlink("/dev/zero", (dir / "COM5").c_str()), 0);
    owner("COM5", 0x7FFFFFF0L, "/dev/null"); // the record is of another link
    std::ofstream(dir / "COM6") << "";
    const struct {
        const char* name;
        LinkState state;
    } cases[] = {
        {"COM1", LinkState::Stale},   {"COM2", LinkState::Stale},   {"COM3", LinkState::Stale},
        {"COM4", LinkState::Foreign}, {"COM5", LinkState::Foreign}, {"COM6", LinkState::NotALink},
        {"COM7", LinkState::Absent},
    };
    for (const auto& c : cases) {
        std::string detail;
        EXPECT_EQ(ExaminePortLink(dir / c.name, &detail), c.state) << c.name << ": " << detail;
    }
}

// A killed simulator's process id may go to another simulator while its terminal goes to another
// program: the start time in the record tells the two simulators apart.
TEST(SimulatorLinks, AReusedProcessIdDoesNotMakeAStaleLinkLive) {
    TempDir dir;
    const pid_t sim = ::fork();
    if (sim == 0) {
        ::prctl(PR_SET_NAME, "tarvik-sim");
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(sim, 0);
    // Its start time, once it has its name.
    std::string stat;
    testkit::WaitUntil(
        [&] {
            std::ifstream comm("/proc/" + std::to_string(sim) + "/comm");
            std::string name;
            return std::getline(comm, name) && name == "tarvik-sim";
        },
        testkit::Seconds(5));
    std::getline(std::ifstream("/proc/" + std::to_string(sim) + "/stat"), stat);
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i)
        fields >> field;
    const unsigned long long started = std::stoull(field);
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM1").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM2").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM3").c_str()), 0);
    std::ofstream(dir / ".COM1.owner") << sim << " /dev/null " << started << '\n';
    std::ofstream(dir / ".COM2.owner") << sim << " /dev/null " << started + 1 << '\n';
    std::ofstream(dir / ".COM3.owner") << sim << " /dev/null\n"; // written by an older simulator
    EXPECT_EQ(ExaminePortLink(dir / "COM1"), LinkState::LiveSimulator);
    EXPECT_EQ(ExaminePortLink(dir / "COM2"), LinkState::Stale);
    EXPECT_EQ(ExaminePortLink(dir / "COM3"), LinkState::LiveSimulator);
    ::kill(sim, SIGKILL);
    ::waitpid(sim, nullptr, 0);
    EXPECT_EQ(ExaminePortLink(dir / "COM1"), LinkState::Stale);
}

// A link never exists without its owner record (else a simulator killed at the wrong moment leaves
// a link the next start takes for foreign): when the record cannot be written, no link is made.
TEST(SimulatorLinks, NoLinkWithoutItsOwnerRecord) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / ".COM3.owner").c_str(), 0755), 0); // the record's place is taken
    // Bounded: a simulator that made the link anyway would serve it until stopped.
    const ToolRun run =
        Shell("timeout 10 '" TARVIK_SIM "' -q --dir " + Quoted(dir.Path()) + " --flow 3 2>&1");
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.out.find("cannot write " + (dir / ".COM3.owner")), std::string::npos) << run.out;
    EXPECT_EQ(ExaminePortLink(dir / "COM3"), LinkState::Absent);
    EXPECT_FALSE(std::filesystem::exists(dir / ".COM3.owner.new"));
}

// Simulators started side by side for one port in one directory: one serves it, the other refuses.
TEST(SimulatorLinks, SimulatorsStartingTogetherTakeTurns) {
    for (int round = 0; round < 10; ++round) {
        TempDir dir;
        testkit::Simulator a({"--flow", "3"}, {.dir = dir.Path()});
        testkit::Simulator b({"--flow", "3"}, {.dir = dir.Path()});
        testkit::WaitUntil([&] { return !a.Running() || !b.Running(); }, testkit::Seconds(5));
        EXPECT_NE(a.Running(), b.Running()) << "round " << round;
        EXPECT_EQ(ExaminePortLink(dir / "COM3"), LinkState::LiveSimulator) << "round " << round;
    }
}

} // namespace
} // namespace tarvik::sim
