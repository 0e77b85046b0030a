// What the tools write, and where: a device node or FIFO keeps being one (written into, never
// replaced), "-" is standard output, and an output that cannot take the bytes (a full device, a
// gone reader) is a failure with a message, never a hang or a silent success.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "Kit.h"

namespace {

using namespace tarvik::testkit;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

mode_t TypeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

// The flow device on COM3 and a generic transmitter on COM6; in a directory of the test's own, a
// null and a full device node (the system's are never put at risk) and a FIFO.
class Outputs : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Ready({3, 6}));
        ASSERT_EQ(::mknod(Null().c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
        ASSERT_EQ(::mknod(Full().c_str(), S_IFCHR | 0600, ::makedev(1, 7)), 0);
        ASSERT_EQ(::mkfifo(Fifo().c_str(), 0600), 0);
        // A log of two polls to start from; a poll a loaded machine left without its reply is taken again.
        int exit = -1;
        for (int attempt = 0; attempt < 3 && exit != 0; ++attempt) {
            std::filesystem::remove(dir / "log.csv"); // a log of this test's own, begun again
            exit = sim.Tool("watch flow -n 2 -i 0 --csv " + dir / "log.csv" + kFlow).exit;
        }
        ASSERT_EQ(exit, 0);
    }
    std::string Null() const { return dir / "null"; }
    std::string Full() const { return dir / "full"; }
    std::string Fifo() const { return dir / "fifo"; }
    // The tool, stopped after a minute should it hang; stdout and stderr.
    ToolRun Run(const std::string& args) const {
        return Shell("timeout 60 env " + sim.Command(args) + " 2>&1");
    }
    void ExpectNodesKept() const {
        EXPECT_EQ(TypeOf(Null()), S_IFCHR);
        EXPECT_EQ(TypeOf(Full()), S_IFCHR);
        EXPECT_EQ(TypeOf(Fifo()), S_IFIFO);
        EXPECT_EQ(dir.Files(), (std::vector<std::string>{"fifo", "full", "log.csv", "null"}));
    }

    static constexpr const char* kFlow = " -p 3 -b 38400 -a 64:010203";
    Simulator sim{{"--flow", "3:38400", "--transmitter", "6:9600"}};
    TempDir dir;
};

TEST_F(Outputs, DevicesAndFifosAreWrittenIntoNeverReplaced) {
    const std::string log = dir / "log.csv";
    const struct {
        std::string args;
        int exit;
        const char* says;
    } cases[] = {
        {"chart " + log + " -o " + Null(), 0, "chart of 2 polls"},
        {"watch flow -n 2 -i 0 --chart " + Null() + kFlow, 0, "chart: "},
        {"watch flow -n 2 -i 0 --csv " + Null() + kFlow, 0, "flow"},
        {"chart " + log + " -o " + Full(), 1, "No space left on device"},
        {"watch flow -n 2 -i 0 --chart " + Full() + kFlow, 2, "No space left on device"},
        {"watch flow -n 2 -i 0 --csv " + Full() + kFlow, 1, "No space left on device"},
        {"hart watch -n 2 -i 0 -p 6 -b 9600 --csv " + Full(), 1, "No space left on device"},
        {"chart " + log + " -o " + Fifo(), 1, "no process reads this FIFO"},
        {"chart " + log + " -o " + dir.Path(), 1, "is a directory"},
    };
    for (const auto& c : cases) {
        const ToolRun r = Run(c.args);
        EXPECT_EQ(r.exit, c.exit) << c.args << ": " << r.out;
        EXPECT_TRUE(Contains(r.out, c.says)) << c.args << ": " << r.out;
        ExpectNodesKept();
    }
    // With a reader, the FIFO carries the whole chart.
    const int reader = ::open(Fifo().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(Run("chart " + log + " -o " + Fifo()).exit, 0);
    std::string svg(1 << 16, '\0');
    const ssize_t n = ::read(reader, svg.data(), svg.size());
    ::close(reader);
    ASSERT_GT(n, 0);
    svg.resize(static_cast<std::size_t>(n));
    EXPECT_TRUE(Contains(svg, "</svg>")) << svg.size();
    ExpectNodesKept();

    // A log with only its header charts, and says why it drew nothing.
    const std::string header = dir / "header.csv";
    dir.Write("header.csv", "time,flow,flow unit,flow result\n");
    const ToolRun empty = Run("chart " + header + " -o " + Null());
    EXPECT_EQ(empty.exit, 1);
    EXPECT_TRUE(Contains(empty.out, "no polls")) << empty.out;
}

TEST_F(Outputs, TheLogGoesToStandardOutput) {
    const std::string header = "time,flow,flow unit,flow result\n";
    for (const std::string& csv : {std::string("-"), std::string("/dev/stdout")}) {
        const ToolRun r =
            Shell("cd " + Quoted(dir.Path()) + " && timeout 60 env " +
                  sim.Command("watch flow -n 2 -i 0 --csv " + csv + kFlow) + " 2>/dev/null | cat");
        EXPECT_EQ(r.out.substr(0, header.size()), header) << csv << ": " << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3)
            << csv << ": " << r.out; // the polls on stderr
        ExpectNodesKept();           // no file named "-"
    }
}

TEST_F(Outputs, AnAnswerThatCannotBeWrittenFails) {
    for (const std::string& args : std::vector<std::string>{
             "explain 1", "ports", std::string("flow") + kFlow, "hart read -p 6 -b 9600",
             "hart info -p 6 -b 9600", "hart scan -p 6 -b 9600 --last 0",
             "hart write-message TESTED -p 6 -b 9600", std::string("watch flow -i 0") + kFlow,
             "hart watch -i 0 -p 6 -b 9600", "chart " + dir / "log.csv" + " -o -"}) {
        const ToolRun r = Shell("timeout 60 env " + sim.Command(args) + " 2>&1 >/dev/full");
        EXPECT_EQ(r.exit, 1) << args << ": " << r.out;
        EXPECT_TRUE(Contains(r.out, "standard output: No space left on device")) << args << ": " << r.out;
    }
}

} // namespace
