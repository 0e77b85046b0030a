// End to end: what a new user meets in the first hour with tarvik and tarvik-sim: versions, usage
// errors that name the problem (also as JSON), logs that are never overwritten or mixed, port
// problems named for what they are, and a simulator that recovers from a crash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "Kit.h"

namespace {

using nlohmann::json;
using tarvik::testkit::Quoted;
using tarvik::testkit::Seconds;
using tarvik::testkit::Shell;
using tarvik::testkit::Simulator;
using tarvik::testkit::TempDir;
using tarvik::testkit::ToolRun;
using tarvik::testkit::WaitUntil;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

ToolRun Tool(const std::string& args) {
    return Shell("'" TARVIK_CLI "' " + args + " 2>&1");
}

TEST(FirstHour, VersionsOfTheToolsAndOfTheLoadedLibrary) {
    const ToolRun tool = Shell("'" TARVIK_CLI "' --version");
    EXPECT_EQ(tool.exit, 0);
    EXPECT_TRUE(Contains(tool.out, std::string("tarvik ") + TARVIK_VERSION)) << tool.out;
    EXPECT_TRUE(Contains(tool.out, "libtarvik.so.1")) << tool.out; // the soname the loader looked for
    const json j = Shell("'" TARVIK_CLI "' --version --json").Json();
    EXPECT_EQ(j["tool"], TARVIK_VERSION);
    EXPECT_EQ(j["library"]["version"], TARVIK_VERSION) << j.dump();

    const ToolRun sim = Shell("'" TARVIK_SIM "' --version");
    EXPECT_EQ(sim.exit, 0);
    EXPECT_TRUE(Contains(sim.out, std::string("tarvik-sim ") + TARVIK_VERSION)) << sim.out;
}

// Every usage error exits 2 with a message that names the problem, and under --json also prints a
// JSON error object on stdout.
TEST(FirstHour, UsageErrorsNameTheProblem) {
    const struct {
        std::string args;
        std::string message;
    } cases[] = {
        {"frobnicate", "unknown command 'frobnicate'"},
        {"gas frobnicate", "unknown command 'gas frobnicate'"},
        {"flow -p 3 -b fast", "'fast' is not a baud rate"},
        {"flow -p 3 -b 99999999999", "'99999999999' is out of range"},
        {"setpoint set 1e40 -p 3", "'1e40' is out of range"},
        {"setpoint set -p 3 -- -inf", "'-inf' is not a finite number"},
        {"setpoint set -inf -p 3", "give a negative value after --"},
        {"unit sp 1 nan -p 5", "'nan' is not a finite number"},
        {"unit sp 1 12,5 -p 5", "'12,5' is not a decimal number"},
        {"vor set 258 -p 3", "state 258 is out of range"},
        {"watch pv:9 -p 5", "the 0731 unit has channels 1 to 4"},
        {"watch pv:x -p 5", "the 0731 unit has channels 1 to 4"},
        {"scan --bauds 115200", "'115200' is not one of the HART rates"},
        {"flow -p 3 -a 64", "'64' is not an address"},
        {"flow", "which port?"},
        {"--trace '' explain 1", "--trace: give a file"},
    };
    for (const auto& c : cases) {
        const ToolRun r = Tool(c.args);
        EXPECT_EQ(r.exit, 2) << c.args << ": " << r.out;
        EXPECT_TRUE(Contains(r.out, c.message)) << c.args << ": " << r.out;
        const ToolRun j = Shell("'" TARVIK_CLI "' --json " + c.args + " 2>/dev/null");
        EXPECT_EQ(j.exit, 2) << c.args;
        json error;
        ASSERT_NO_THROW(error = j.Json()) << c.args << ": " << j.out;
        EXPECT_EQ(error["error"]["kind"], "usage") << c.args;
        EXPECT_TRUE(Contains(error["error"]["message"].get<std::string>(), c.message)) << c.args;
    }
}

TEST(FirstHour, EnvironmentSettingsAreNamedWhenWrong) {
    const struct {
        std::string env;
        std::string message;
    } cases[] = {
        {"TARVIK_PORT=abc", "TARVIK_PORT: 'abc' is not a port"},
        {"TARVIK_BAUD=fast", "TARVIK_BAUD: 'fast' is not a baud rate"},
        {"TARVIK_ADDRESS=nonsense", "TARVIK_ADDRESS: 'nonsense' is not an address"},
    };
    for (const auto& c : cases) {
        const ToolRun r = Shell("env TARVIK_PORT=3 " + c.env + " '" TARVIK_CLI "' flow 2>&1");
        EXPECT_EQ(r.exit, 2) << c.env;
        EXPECT_TRUE(Contains(r.out, c.message)) << c.env << ": " << r.out;
    }
}

TEST(FirstHour, EverySubcommandsHelpShowsTheCommonOptions) {
    for (const char* command : {"flow", "setpoint set", "gas data", "pressure get", "unit pv", "watch",
                                "scan", "ports", "chart", "explain", "gas"}) {
        const ToolRun r = Tool(std::string(command) + " --help");
        EXPECT_EQ(r.exit, 0) << command;
        for (const char* option : {"-p,--port", "-b,--baud", "-a,--address", "--json", "--trace"})
            EXPECT_TRUE(Contains(r.out, option)) << command << " lacks " << option;
    }
    const ToolRun watch = Tool("watch --help");
    EXPECT_TRUE(Contains(watch.out, "--force-new"));
}

std::string Completion(const std::string& script, const std::string& function, const std::string& line) {
    const std::string file = TARVIK_TOOLS_DIR "/packaging/completion/" + script;
    // COMP_WORDS as bash splits the line; the last word is the one being completed.
    const std::string cmd = "bash -c " + Quoted("source " + Quoted(file) + "; COMP_WORDS=(" + line +
                                                "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " + function +
                                                "; printf '%s\n' \"${COMPREPLY[@]}\"");
    return Shell(cmd + " 2>&1").out;
}

TEST(FirstHour, BashCompletionKnowsEveryCommand) {
    // Every command that `tarvik --help` lists completes from its first letters.
    const std::string help = Tool("--help").out;
    const auto at = help.find("Subcommands:");
    ASSERT_NE(at, std::string::npos) << help;
    std::istringstream lines(help.substr(at));
    std::string line;
    std::getline(lines, line);
    int commands = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string command;
        if (!(words >> command) || line[0] != ' ') break;
        ++commands;
        const std::string got = Completion("tarvik", "_tarvik", "tarvik " + command.substr(0, 2));
        EXPECT_TRUE(Contains("\n" + got, "\n" + command + "\n")) << command << ": " << got;
    }
    EXPECT_GE(commands, 15);
    EXPECT_EQ(Completion("tarvik", "_tarvik", "tarvik gas s"), "select\n");
    EXPECT_EQ(Completion("tarvik", "_tarvik", "tarvik -p 3 flow -b 19"), "19200\n");
    EXPECT_TRUE(Contains(Completion("tarvik-sim", "_tarvik_sim", "tarvik-sim --fo"), "--force"));
    EXPECT_EQ(Completion("tarvik-gateway", "_tarvik_gateway", "tarvik-gateway --ch"), "--check\n");
}

TEST(FirstHour, TraceIsAcceptedAsAFileOrStderr) {
    TempDir dir;
    EXPECT_EQ(Tool("--trace " + Quoted(dir / "trace.log") + " explain 1").exit, 0);
    EXPECT_EQ(Tool("explain 1 --trace -").exit, 0);
}

TEST(FirstHour, TheSimulatorsDefaultDirectoryIsDocumented) {
    const ToolRun r = Shell("'" TARVIK_SIM "' --help");
    EXPECT_EQ(r.exit, 0);
    EXPECT_TRUE(Contains(r.out, "/tmp/tarvik-ports")) << r.out;
    EXPECT_TRUE(Contains(r.out, "XDG_RUNTIME_DIR")) << r.out;
}

// Flow device at 38400 on COM3, pressure device at 19200 on COM4, read-out unit on COM5.
class FirstHourWithDevices : public ::testing::Test {
protected:
    Simulator sim{{"--flow", "3:38400", "--pressure", "4:19200", "--readout", "5"}};
    void SetUp() override { ASSERT_TRUE(sim.Ready({3, 4, 5})); }
    std::string Path(const std::string& name) const { return sim.Dir() + "/" + name; }
    static constexpr const char* kFlow = " -p 3 -b 38400 -a 64:010203";
};

TEST_F(FirstHourWithDevices, AChartNeverOverwritesItsLog) {
    const std::string csv = Path("log.csv");
    ASSERT_EQ(sim.Tool(std::string("watch flow -n 2 -i 0.1 --csv ") + csv + kFlow).exit, 0);
    const std::string log = ReadFile(csv);
    ASSERT_EQ(::symlink(csv.c_str(), Path("link.csv").c_str()), 0);
    ASSERT_EQ(::link(csv.c_str(), Path("hard.csv").c_str()), 0);
    for (const std::string& output : {csv, Path("link.csv"), Path("hard.csv"), sim.Dir() + "/./log.csv"}) {
        const ToolRun r = sim.ToolAll("chart " + csv + " -o " + output);
        EXPECT_EQ(r.exit, 2) << output << ": " << r.out;
        EXPECT_TRUE(Contains(r.out, "would overwrite it")) << r.out;
        EXPECT_EQ(ReadFile(csv), log) << output;
    }
    // The same through watch: --chart onto its own --csv.
    const ToolRun w =
        sim.ToolAll(std::string("watch flow -n 1 --csv ") + csv + " --chart " + Path("link.csv") + kFlow);
    EXPECT_EQ(w.exit, 2) << w.out;
    EXPECT_EQ(ReadFile(csv), log);
    // A log named .svg is not overwritten by its default output name either.
    ASSERT_EQ(::rename(csv.c_str(), Path("log.svg").c_str()), 0);
    EXPECT_EQ(sim.Tool("chart " + Path("log.svg")).exit, 2);
    EXPECT_EQ(ReadFile(Path("log.svg")), log);
    EXPECT_EQ(sim.Tool("chart " + Path("log.svg") + " -o " + Path("chart.svg")).exit, 0);
}

TEST_F(FirstHourWithDevices, WatchContinuesOnlyALogOfTheSameColumns) {
    const std::string csv = Path("flow.csv");
    const std::string watch = std::string("watch flow -n 1 --csv ") + csv + kFlow;
    ASSERT_EQ(sim.Tool(watch).exit, 0);
    const std::string header = "time,flow,flow unit,flow result\n";
    ASSERT_EQ(ReadFile(csv).substr(0, header.size()), header);

    // A last line without its line end: the next row starts on a line of its own.
    std::string cut = ReadFile(csv);
    cut.pop_back();
    WriteFile(csv, cut);
    ASSERT_EQ(sim.Tool(watch).exit, 0);
    const std::string continued = ReadFile(csv);
    EXPECT_EQ(continued.substr(0, cut.size() + 1), cut + "\n");
    EXPECT_EQ(std::count(continued.begin(), continued.end(), '\n'), 3);

    // Other columns, or an unrelated CSV: refused, untouched; --force-new starts it anew.
    for (const std::string& other :
         {std::string("time,pv:1,pv:1 unit,pv:1 result\n1,2,3,4\n"), std::string("a,b\n1,2")}) {
        WriteFile(csv, other);
        const ToolRun r = sim.ToolAll(watch);
        EXPECT_EQ(r.exit, 2) << r.out;
        EXPECT_TRUE(Contains(r.out, "has other columns")) << r.out;
        EXPECT_TRUE(Contains(r.out, "--force-new")) << r.out;
        EXPECT_EQ(ReadFile(csv), other);
    }
    ASSERT_EQ(sim.Tool(watch + " --force-new").exit, 0);
    const std::string fresh = ReadFile(csv);
    EXPECT_EQ(fresh.substr(0, header.size()), header);
    EXPECT_EQ(std::count(fresh.begin(), fresh.end(), '\n'), 2);
    // The chart reads every row of the continued log.
    EXPECT_EQ(sim.Tool("chart " + csv + " --json").Json()["skipped"], 0);
}

// A log as tarvik.exe writes it on Windows (every line ending CR LF) charts as the same log with LF.
TEST_F(FirstHourWithDevices, ACrLfLogChartsTheSame) {
    const std::string lf = Path("lf.csv");
    ASSERT_EQ(sim.Tool(std::string("watch flow setpoint -n 3 -i 0.1 --csv ") + lf + kFlow).exit, 0);
    std::string crlf;
    for (char c : ReadFile(lf))
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteFile(Path("crlf.csv"), crlf);
    const json a = sim.Tool("chart " + lf + " -o " + Path("lf.svg") + " --title t --json").Json();
    const json b =
        sim.Tool("chart " + Path("crlf.csv") + " -o " + Path("crlf.svg") + " --title t --json").Json();
    EXPECT_EQ(a["polls"], 3);
    EXPECT_EQ(b["polls"], 3);
    EXPECT_EQ(b["skipped"], 0);
    EXPECT_EQ(a["series"], b["series"]);
    EXPECT_EQ(ReadFile(Path("lf.svg")), ReadFile(Path("crlf.svg")));
    // And watch continues such a log instead of refusing its header.
    EXPECT_EQ(sim.Tool(std::string("watch flow setpoint -n 1 --csv ") + Path("crlf.csv") + kFlow).exit, 0);
    EXPECT_EQ(sim.Tool("chart " + Path("crlf.csv") + " -o " + Path("crlf.svg") + " --json").Json()["polls"],
              4);
}

TEST_F(FirstHourWithDevices, HintsFitTheDeviceFamily) {
    const json unit = sim.Tool("unit test -p 3 --json").Json(); // a HART device does not answer
    EXPECT_EQ(unit["result"]["name"], "ResultNoReply");
    const std::string hint = unit["result"]["hint"];
    EXPECT_TRUE(Contains(hint, "9600 8N1")) << hint;
    EXPECT_FALSE(Contains(hint, "address")) << hint;
    EXPECT_FALSE(Contains(hint, "scan")) << hint;
    const json hart = sim.Tool("flow -p 3 -b 9600 -a 64:010203 --json").Json();
    EXPECT_TRUE(Contains(hart["result"]["hint"].get<std::string>(), "baud rate")) << hart.dump();

    // A pressure command on a flow device, and a flow command on a pressure device, warn.
    const ToolRun onFlow = sim.ToolErr(std::string("pressure get") + kFlow);
    EXPECT_TRUE(Contains(onFlow.out, "not a pressure device")) << onFlow.out;
    EXPECT_TRUE(sim.Tool(std::string("pressure get --json") + kFlow).Json().contains("warnings"));
    EXPECT_TRUE(Contains(sim.ToolErr("flow -p 4 -b 19200 -a 65:010204").out, "not a flow device"));
    EXPECT_FALSE(Contains(sim.ToolErr("pressure get -p 4 -b 19200 -a 65:010204").out, "warning"));
}

// Ports the library lists but cannot open: the tool says what is wrong with each.
TEST_F(FirstHourWithDevices, PortProblemsAreNamed) {
    ASSERT_EQ(::symlink("/dev/null", Path("COM7").c_str()), 0);
    WriteFile(Path("COM8"), "");
    ASSERT_EQ(::mkdir(Path("COM9").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("/dev/pts/no-such-terminal", Path("COM10").c_str()), 0);
    const struct {
        int port;
        const char* result;
        const char* kind;
        const char* text;
    } cases[] = {
        {7, "ResultPortBusy", "not-a-terminal", "not a terminal"},
        {8, "ResultPortBusy", "not-a-terminal", "regular file"},
        {9, "ResultPortBusy", "not-a-terminal", "directory"},
        {10, "ResultPortBusy", "missing-target", "does not exist"},
        {11, "ResultPortAbsent", "not-listed", "there is no COM11"},
    };
    for (const auto& c : cases) {
        const json j = sim.Tool("unit test -p " + std::to_string(c.port) + " --json").Json();
        EXPECT_EQ(j["result"]["name"], c.result) << c.port;
        EXPECT_EQ(j["diagnosis"]["kind"], c.kind) << j.dump();
        EXPECT_TRUE(Contains(j["result"]["hint"].get<std::string>(), c.text)) << j.dump();
        EXPECT_TRUE(j["diagnosis"]["holders"].empty()) << j.dump(); // /dev/null is open everywhere
        EXPECT_FALSE(Contains(j["result"]["hint"].get<std::string>(), "another program")) << j.dump();
    }
    const ToolRun human = sim.ToolErr("flow -p 7 -b 38400 -a 64:010203");
    EXPECT_TRUE(Contains(human.out, "hint: " + Path("COM7") + " (/dev/null) is a device but not a terminal"))
        << human.out;
    const json scan = sim.Tool("scan --ports 7,10 --bauds 38400 --json").Json();
    ASSERT_EQ(scan["skipped"].size(), 2u) << scan.dump();
    EXPECT_TRUE(Contains(scan["skipped"][1]["diagnosis"].get<std::string>(), "does not exist"))
        << scan.dump();
    const json ports = sim.Tool("ports --json").Json();
    ASSERT_EQ(ports["ports"].size(), 7u) << ports.dump();
    EXPECT_EQ(ports["ports"][0]["note"], "");
    EXPECT_EQ(ports["ports"][6]["note"], "link target missing: a stale link?");
}

// A port held open by another tarvik (watch keeps its port between polls): the holder is named.
TEST_F(FirstHourWithDevices, AHeldPortNamesItsHolder) {
    const std::string watch = "TARVIK_PORT_DIR=" + Quoted(sim.Dir()) +
                              " '" TARVIK_CLI "' watch flow -i 0.2 -n 100" + kFlow +
                              " >/dev/null 2>&1 & echo $!";
    const std::string pid = Shell(watch).out;
    ASSERT_FALSE(pid.empty());
    json j;
    WaitUntil( // until watch has opened the port
        [&] {
            j = sim.Tool(std::string("flow --json") + kFlow).Json();
            return j["result"]["name"] == "ResultPortBusy";
        },
        Seconds(20));
    // A second watch of either family names it too.
    const ToolRun second = sim.ToolAll(std::string("watch flow -n 1") + kFlow);
    const ToolRun hartSecond = sim.ToolAll("hart watch -n 1 -p 3 -b 38400");
    Shell("kill " + pid);
    ASSERT_EQ(j["result"]["name"], "ResultPortBusy") << j.dump();
    EXPECT_EQ(j["diagnosis"]["kind"], "held") << j.dump();
    ASSERT_EQ(j["diagnosis"]["holders"].size(), 1u) << j.dump();
    const std::string holder = "PID " + pid.substr(0, pid.find('\n')) + " (tarvik)";
    EXPECT_EQ(j["diagnosis"]["holders"][0], holder);
    for (const ToolRun& r : {second, hartSecond}) {
        EXPECT_EQ(r.exit, 1) << r.out;
        EXPECT_TRUE(Contains(r.out, "is open in another program: " + holder)) << r.out;
    }
}

TEST(FirstHour, PortDirectoryProblemsAreNamed) {
    TempDir dir;
    WriteFile(dir / "file", "");
    const struct {
        std::string value;
        const char* text;
    } cases[] = {
        {dir / "missing", "no such directory"},
        {dir / "file", "is not a directory"},
        {"", "set but empty"},
    };
    for (const auto& c : cases) {
        const std::string env = "TARVIK_PORT_DIR=" + Quoted(c.value) + " '" TARVIK_CLI "' ";
        const ToolRun ports = Shell(env + "ports 2>&1");
        EXPECT_EQ(ports.exit, 1);
        EXPECT_TRUE(Contains(ports.out, c.text)) << c.value << ": " << ports.out;
        EXPECT_FALSE(Contains(ports.out, "set TARVIK_PORT_DIR to")) << ports.out;
        const json flow = Shell(env + "unit test -p 3 --json 2>/dev/null").Json();
        EXPECT_EQ(flow["result"]["name"], "ResultPortAbsent");
        EXPECT_EQ(flow["diagnosis"]["kind"], "port-dir") << flow.dump();
        EXPECT_TRUE(Contains(flow["result"]["hint"].get<std::string>(), c.text)) << flow.dump();
        const ToolRun scan = Shell(env + "scan 2>&1");
        EXPECT_EQ(scan.exit, 1);
        EXPECT_TRUE(Contains(scan.out, c.text)) << c.value << ": " << scan.out;
    }
}

// A user without access to the terminal (run as nobody, when the tests run as root).
TEST_F(FirstHourWithDevices, PermissionIsNamedWithWhatToDo) {
    if (::geteuid() != 0 || Shell("command -v setpriv >/dev/null").exit != 0)
        GTEST_SKIP() << "needs root and setpriv to run the tool as another user";
    ASSERT_EQ(::chmod(sim.Dir().c_str(), 0755), 0);
    const ToolRun r =
        Shell("setpriv --reuid=65534 --regid=65534 --clear-groups env TARVIK_PORT_DIR=" + Quoted(sim.Dir()) +
              " '" TARVIK_CLI "' unit test -p 5 --json 2>/dev/null");
    if (r.exit == 126 || r.exit == 127 || r.out.empty()) GTEST_SKIP() << "the tool cannot run as nobody here";
    const json j = r.Json();
    EXPECT_EQ(j["result"]["name"], "ResultPortBusy");
    EXPECT_EQ(j["diagnosis"]["kind"], "permission") << j.dump();
    EXPECT_TRUE(
        Contains(j["result"]["hint"].get<std::string>(), "permission denied: nobody may not read and write"))
        << j.dump();
}

TEST(FirstHour, AKilledSimulatorsLinksAreReplacedAtTheNextStart) {
    TempDir dir;
    {
        Simulator crashed({"--flow", "3:38400", "--readout", "5"}, {.dir = dir.Path()});
        ASSERT_TRUE(crashed.Ready({3, 5}));
        crashed.Stop(SIGKILL);
    }
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "COM3").c_str(), &st), 0); // the link is left behind
    // Tests run side by side: another program may hold the freed terminal for a moment, during the
    // listing too, so a listing counts only when the terminal was gone before and after it.
    bool listed = false;
    json note;
    for (int attempt = 0; attempt < 5 && !listed; ++attempt) {
        if (::access((dir / "COM3").c_str(), F_OK) == 0) continue;
        note = Shell("TARVIK_PORT_DIR=" + Quoted(dir.Path()) + " '" TARVIK_CLI "' ports --json")
                   .Json()["ports"][0]["note"];
        listed = ::access((dir / "COM3").c_str(), F_OK) != 0 && note == "link target missing: a stale link?";
    }
    if (::access((dir / "COM3").c_str(), F_OK) != 0) {
        EXPECT_EQ(note, "link target missing: a stale link?");
    }

    Simulator restarted({"--flow", "3:38400", "--readout", "5"}, {.dir = dir.Path()});
    ASSERT_TRUE(restarted.Ready({3, 5}));
    EXPECT_EQ(restarted.Tool("flow -p 3 -b 38400 -a 64:010203").exit, 0);
    EXPECT_EQ(restarted.Tool("unit test -p 5").exit, 0);

    // A link of a running simulator is kept; --force replaces it.
    Simulator second({"--flow", "3:38400"}, {.dir = dir.Path()});
    WaitUntil([&] { return !second.Running(); }, Seconds(10));
    EXPECT_FALSE(second.Running());
    const std::string before = std::filesystem::read_symlink(dir / "COM3").string();
    Simulator forced({"--flow", "3:38400", "--force"}, {.dir = dir.Path()});
    const auto target = [&] {
        std::error_code error;
        return std::filesystem::read_symlink(dir / "COM3", error).string();
    };
    WaitUntil([&] { return target() != before; }, Seconds(10));
    EXPECT_NE(target(), before);
    EXPECT_FALSE(target().empty()); // the link is replaced in one step: never seen missing
    EXPECT_EQ(forced.Tool("flow -p 3 -b 38400 -a 64:010203").exit, 0);
}

TEST(FirstHour, APortGivenTwiceIsRefused) {
    TempDir dir;
    const ToolRun r = Shell("'" TARVIK_SIM "' -q --dir " + Quoted(dir.Path()) + " --flow 3 --readout 3 2>&1");
    EXPECT_EQ(r.exit, 2);
    EXPECT_TRUE(Contains(r.out, "COM3 is given twice (--flow 3 and --readout 3)")) << r.out;
}

TEST(FirstHour, ALinkTheSimulatorDidNotMakeIsReplacedOnlyWithForce) {
    TempDir dir;
    ASSERT_EQ(::symlink("/dev/null", (dir / "COM3").c_str()), 0);
    const std::string cmd = "'" TARVIK_SIM "' -q --dir " + Quoted(dir.Path()) + " --flow 3 2>&1";
    const ToolRun refused = Shell(cmd);
    EXPECT_EQ(refused.exit, 1);
    EXPECT_TRUE(Contains(refused.out, "not made by a simulator")) << refused.out;
    EXPECT_TRUE(Contains(refused.out, "--force")) << refused.out;
    EXPECT_EQ(std::filesystem::read_symlink(dir / "COM3"), "/dev/null");
    Simulator forced({"--flow", "3:38400", "--force"}, {.dir = dir.Path()});
    WaitUntil([&] { return std::filesystem::read_symlink(dir / "COM3") != "/dev/null"; }, Seconds(10));
    EXPECT_EQ(forced.Tool("flow -p 3 -b 38400 -a 64:010203").exit, 0);
    // A file in its place is never removed.
    TempDir other;
    WriteFile(other / "COM3", "keep");
    EXPECT_EQ(Shell("'" TARVIK_SIM "' -q --force --dir " + Quoted(other.Path()) + " --flow 3 2>&1").exit, 1);
    EXPECT_EQ(ReadFile(other / "COM3"), "keep");
}

} // namespace
