// The veltor tool as a user runs it: a separate process, its exit status and
// its messages; `apply` against `veltor sim` running as another process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <veltor/version.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/tools/tool_support.h"

namespace {

using tooltest::Tool;
using tooltest::ToolRun;

const std::string kSetups = std::string(VELTOR_SOURCE_DIR) + "/examples/setups/";

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "veltor_tool_" + std::to_string(getpid()) + "_" + name;
}

std::string Write(const std::string& name, const std::string& text) {
    const std::string path = TempPath(name);
    std::ofstream(path) << text;
    return path;
}

std::string Read(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// `veltor sim` as its own process; stopping it writes the instrument's state.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& options) : state_(TempPath("state.txt")) {
        std::vector<std::string> args = {"sim", "--state-file", state_};
        args.insert(args.end(), options.begin(), options.end());
        int out = -1;
        pid_ = tooltest::StartTool(args, &out);
        EXPECT_GT(pid_, 0);
        // The first line is the terminal's path, printed once it serves.
        path_ = tooltest::ReadLine(out);
        close(out);
    }
    ~SimProcess() { Stop(); }
    const std::string& Path() const { return path_; }
    // Stops the simulator and returns what the instrument held.
    std::string Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return Read(state_);
    }

private:
    pid_t pid_ = -1;
    std::string state_;
    std::string path_;
};

TEST(Tool, CheckListsEveryProblemWithParameterValueAndInterval) {
    const std::string bad = Write("bad.json", R"({
  "general": {"clocks": {"CD": "3.125MHz"}},
  "globalLogic": "x = (in1 & in2;",
  "channels": {
    "A": {"mode": "delay", "duration": 1e-09},
    "C": {"mode": "validate", "delay": 1e-06, "duration": 1e-03},
    "E": {"mode": "clock", "delay": 1.0},
    "F": {"logic": "inF = in1 | ;"},
    "G": {"logic": "y = in1;"}
  }
})");
    const ToolRun run = Tool("check " + bad);
    EXPECT_EQ(run.status, 3);
    for (const char* expected :
         {"globalLogic: Error--Unbalanced parentheses. (line 1)",
          "channels.A: duration 1e-09 s is outside 7.695e-06 s to 21.474836475 s (1539 to "
          "4294967295 counts of the 200 MHz clock)",
          "channels.C: delay 1e-06 s is outside 0.00016384 s to 1374.3895344 s (512 to "
          "4294967295 counts of the 3.125 MHz clock)",
          "channels.E: delay 1 s is outside 6.4e-07 s to 0.0524286 s",
          "channels.F.logic: Error--a binary operator lacks its right operand (line 1)",
          "channels.G.logic: Error--Symbol: 'inG' must be defined (line 1); channel G's logic "
          "text must assign inG",
          "6 problems"}) {
        EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
    }
}

TEST(Tool, EveryExampleSetupPassesTheCheck) {
    for (const char* name : {"demo", "delay", "dyn-delay", "toggle", "count", "up-down", "validate",
                             "clock", "passive", "null"}) {
        const ToolRun run = Tool("check " + kSetups + name + ".json");
        EXPECT_EQ(run.status, 0) << name << ": " << run.output;
    }
}

// Every line of the output starts with the tool's prefix.
void ExpectPrefixedLines(const std::string& output) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.rfind("veltor: ", 0), 0u) << line;
    }
}

TEST(Tool, ApplyLeavesTheInstrumentInTheFilesState) {
    SimProcess sim({});
    ASSERT_FALSE(sim.Path().empty());
    const ToolRun run = Tool("apply " + kSetups + "demo.json --port " + sim.Path());
    EXPECT_EQ(run.status, 0) << run.output;
    // One line, without the requests.
    EXPECT_EQ(run.output, "veltor: applied " + kSetups + "demo.json to " + sim.Path() +
                              ": 30 requests; enabled A B C D E F G H; outputs on, panel "
                              "unlocked; 1 time rounded to the clock (veltor check lists each)\n");
    const std::string state = sim.Stop();
    for (const char* row : {"A   delay     1 µs         10 µs        yes",
                            "C   updown    -49.92 µs    1 ms         yes", "E   clock     1 µs",
                            "H   passive   -            -            yes", "logic in effect",
                            "outputs on, panel unlocked"}) {
        EXPECT_NE(state.find(row), std::string::npos) << row << "\n" << state;
    }
}

// A channel the file says nothing of stays enabled or disabled as it was;
// with the outputs left off, the update does not switch them on. --verbose
// lists the requests.
TEST(Tool, ApplyDisablesWhatTheFileDisablesAndLeavesTheRest) {
    SimProcess sim({});
    ASSERT_EQ(Tool("apply " + kSetups + "demo.json --port " + sim.Path()).status, 0);
    const std::string disable = Write("disable.json", R"({"general": {"outputs": "off"},
        "channels": {"B": {"enabled": false}}})");
    const ToolRun run = Tool("apply " + disable + " --verbose --port " + sim.Path());
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* line : {"  1  Locking the front panel...", " 21  Unlocking the front panel...",
                             " 22  Disabling the channel... channel B", "25 D8 05 89 0E",
                             "; disabled B; outputs off, panel unlocked\n"}) {
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    }
    const std::string state = sim.Stop();
    for (const char* row : {"A   null      -            -            yes",
                            "B   null      -            -            no", "outputs off"}) {
        EXPECT_NE(state.find(row), std::string::npos) << row << "\n" << state;
    }
}

// The instrument refuses or stays silent: the tool says why each attempt
// failed, which step stopped and why.
TEST(Tool, ApplyReportsWhyTheInstrumentDidNotTakeIt) {
    struct Case {
        std::vector<std::string> sim;
        const char* setup;
        int status;
        std::vector<std::string> messages;
        const char* state;
    };
    const Case cases[] = {
        // Five refusals of the (ignored) panel lock, five of disabling.
        {{"--fault", "negative:10"},
         "demo.json",
         1,
         {"veltor: Locking the front panel: attempt 1 failed (refused by the instrument), sending "
          "it again\n",
          "veltor: Locking the front panel: attempt 5 failed (refused by the instrument), going on "
          "without it\n",
          "veltor: Disabling outputs: attempt 4 failed (refused by the instrument), sending it "
          "again\n",
          "update stopped at disabling the outputs (the outputs may still be on and the panel may "
          "not be locked; bLockFP and bDisableOutputs stay set: clear them before the next update "
          "to get the outputs on and the panel unlocked): disabling outputs: refused by the "
          "instrument after 5 attempts"},
         "outputs off"},
        // Nothing comes back: the port, the speed or the cable.
        {{"--fault", "no-answer:10"},
         "delay.json",
         1,
         {"veltor: Locking the front panel: attempt 2 failed (no answer), sending it again\n",
          "at 115200 bit/s: check the port name, the line speed and the cable\n"},
         "logic not implemented"},
        {{}, "../../tests/tools/does-not-exist.json", 3, {"does-not-exist.json"}, "0 requests"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setup);
        SimProcess sim(c.sim);
        const ToolRun run =
            Tool(std::string("apply ") + kSetups + c.setup + " --port " + sim.Path());
        EXPECT_EQ(run.status, c.status);
        for (const std::string& message : c.messages) {
            EXPECT_NE(run.output.find(message), std::string::npos) << message << "\n" << run.output;
        }
        ExpectPrefixedLines(run.output);
        EXPECT_NE(sim.Stop().find(c.state), std::string::npos);
    }
}

// A time between two counts of its clock runs as the nearest, and logic that
// mixes operators groups from the left: check and show say so, and --strict
// refuses the file.
TEST(Tool, CheckAndShowWarnOfRoundedTimesAndMixedOperators) {
    const std::string rounded = Write("rounded.json", R"({
  "general": {"clocks": {"AB": "3.125MHz"}},
  "channels": {
    "A": {"enabled": true, "mode": "delay", "delay": "1.5 us", "duration": "1ms"},
    "B": {"logic": "inB = in1 |\n in2 & in3;"},
    "C": {"mode": "clock", "delay": "1.0012\u00b5s", "duration": 1e-06}
  }
})");
    const std::string warnings[] = {
        "veltor: " + rounded +
            ": warning: channels.A.delay 1.5 µs runs as 1.6 µs, 5 counts of 320 ns (+6.67 %)\n",
        "veltor: " + rounded +
            ": warning: channels.C.delay 1.0012 µs runs as 1 µs, 200 counts of 5 ns (-0.12 %)\n",
        "veltor: " + rounded + ": warning: channels.B.logic, line 2: inB mixes or and and",
    };
    struct Case {
        const char* command;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"check", 0, ": no problems, 3 warnings\n"},
        {"check --strict", 3, ": 3 warnings (--strict), nothing sent\n"},
        {"show", 0, " 12  Setting timing mode... channel A"},
        {"show --strict", 3, ": 3 warnings (--strict), nothing sent\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const ToolRun run = Tool(std::string(c.command) + " " + rounded);
        EXPECT_EQ(run.status, c.status);
        for (const std::string& warning : warnings) {
            EXPECT_NE(run.output.find(warning), std::string::npos) << warning << run.output;
        }
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
    // The instrument gets the rounded time; the summary counts the warnings.
    SimProcess sim({});
    const ToolRun run = Tool("apply " + rounded + " --port " + sim.Path());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("; 2 times rounded to the clock"), std::string::npos) << run.output;
    EXPECT_NE(sim.Stop().find("A   delay     1.6 µs       1 ms         yes"), std::string::npos);
}

// Time options take the setup files' forms; a wrong one names the option
// and the units.
TEST(Tool, TimeOptionsTakeUnits) {
    const std::string svg = TempPath("span.svg");
    for (const char* span : {"1ms", "\"2.5 us\"", "0.001", "\"40 \u00b5s\""}) {
        const ToolRun run = Tool("diagram " + kSetups + "delay.json -o " + svg + " --span " + span);
        EXPECT_EQ(run.status, 0) << span << "\n" << run.output;
    }
    const ToolRun wrong = Tool("diagram " + kSetups + "delay.json -o " + svg + " --span 1mss");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.output,
              "veltor: --span: expected a time: a number of seconds or a number with a unit (s, "
              "ms, us, µs, ns), as in \"1.5 us\"; got \"1mss\" (--help shows the usage)\n");
    SimProcess sim({"--report-every", "5ms", "--report-channel", "C"});
    const ToolRun watch = Tool("watch --seconds \"30 ms\" --port " + sim.Path());
    EXPECT_EQ(watch.status, 0) << watch.output;
    EXPECT_NE(watch.output.find(" delay report"), std::string::npos) << watch.output;
}

// Every option that takes a time or a count refuses a value outside its
// range, naming the option and the largest value, before anything starts:
// nothing is clamped or wrapped. A refused sim would otherwise serve on, so
// each run is bounded.
TEST(Tool, TimeAndCountOptionsRefuseWhatDoesNotFit) {
    const std::string file = kSetups + "delay.json -o " + TempPath("range.svg");
    struct Case {
        std::string arguments;
        const char* says;
    };
    const Case cases[] = {
        {"sim --report-every 3600", "--report-every: a time from 0 to 1000 s; got \"3600\""},
        {"sim --report-every -1ms", "--report-every: a time from 0 to 1000 s; got \"-1ms\""},
        {"watch --port /dev/null --seconds 1e19",
         "--seconds: a time from 0 to 1000000000 s; got \"1e19\""},
        {"watch --port /dev/null --count 1e3",
         "--count: a whole number from 0 to 9223372036854775807; got \"1e3\""},
        {"watch --port /dev/null --count 99999999999999999999",
         "--count: a whole number from 0 to 9223372036854775807"},
        {"diagram " + file + " --span 1e13", "--span: a time from 0 to 1e+12 s; got \"1e13\""},
        {"sim --report-counts 4294967301", "--report-counts: a whole number from 0 to 4294967295"},
        {"sim --listen 65536", "--listen: a whole number from 0 to 65535; got \"65536\""},
        {"sim --delay A:4294967301",
         "--delay: counts: a whole number from 0 to 4294967295; got \"4294967301\""},
        {"sim --fault no-answer:4294967297", "--fault: count: a whole number from 0 to 1000000"},
        {"sim --fault-rate negative:2",
         "--fault-rate: probability: a number from 0 to 1; got \"2\""},
        {"sim --fault-rate negative:0.5:4294967296",
         "--fault-rate: seed: a whole number from 0 to 4294967295"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.arguments, 20);
        EXPECT_EQ(run.status, 2) << c.arguments << "\n" << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.arguments << "\n" << run.output;
        EXPECT_EQ(run.output.rfind("veltor: ", 0), 0u) << c.arguments << "\n" << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    }
    // The largest value itself is taken.
    EXPECT_EQ(Tool("diagram " + file + " --span 1e12").status, 0);
}

// veltor-sim's own options refuse the same way.
TEST(Tool, SimulatorProgramRefusesWhatDoesNotFit) {
    struct Case {
        const char* arguments;
        const char* says;
    };
    const Case cases[] = {
        {"--reports A:1000001", "--reports: INTERVAL_MS: a whole number from 0 to 1000000"},
        {"--reports A:5:4294967296", "--reports: FIRST: a whole number from 0 to 4294967295"},
        {"--delay B:4294967296", "--delay: COUNTS: a whole number from 0 to 4294967295"},
        {"--ref 1e999", "--ref: HZ: a frequency in Hz above 0"},
    };
    for (const Case& c : cases) {
        const ToolRun run = tooltest::Run(VELTOR_SIM, c.arguments, 20);
        EXPECT_EQ(run.status, 2) << c.arguments << "\n" << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.arguments << "\n" << run.output;
    }
}

TEST(Tool, AFileThatFailsTheCheckSendsNothing) {
    struct Case {
        const char* name;
        const char* text;
        const char* says;
    };
    const Case cases[] = {
        {"range.json", R"({"channels": {"B": {"mode": "delay", "delay": -1.0}}})", "nothing sent"},
        // The instrument would take only the low two bits, 1: 3.125 MHz,
        // while the host computed the pair's counts at 200 MHz.
        {"clock.json", R"({"general": {"clocks": {"CD": 5}}})",
         "general.clocks.CD: unknown clock source 5; known: 200MHz, 3.125MHz, 2xref, "
         "2xref/64, or an integer code from 0 to 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bad = Write(c.name, c.text);
        const ToolRun check = Tool("check " + bad);
        EXPECT_EQ(check.status, 3);
        EXPECT_NE(check.output.find(c.says), std::string::npos) << check.output;
        SimProcess sim({});
        const ToolRun run = Tool("apply " + bad + " --port " + sim.Path());
        EXPECT_EQ(run.status, 3);
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        // The connection was never opened: not even the filler burst went out.
        EXPECT_NE(sim.Stop().find("0 requests"), std::string::npos);
    }
}

TEST(Tool, ShowPrintsEachRequestOfTheUpdateWithItsStep) {
    const ToolRun run = Tool("show " + kSetups + "delay.json");
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* line : {"  1  Locking the front panel...", " 11  Setting the clock options...",
                             " 12  Setting timing mode... channel A", "25 D8 1B 00 0F 16",
                             " 22  Unlocking the front panel...",
                             " 23  Enabling the channel... channel A", "25 D8 05 88 08"}) {
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    }
}

TEST(Tool, WatchPrintsReportsUntilItHasEnough) {
    SimProcess sim({"--report-every", "0.01", "--report-channel", "B", "--report-counts", "200"});
    // The closing count agrees with its noun.
    for (const auto& [count, closing] :
         {std::pair<size_t, const char*>{1, "\nveltor: 1 delay report\n"},
          std::pair<size_t, const char*>{3, "\nveltor: 3 delay reports\n"}}) {
        const ToolRun run =
            Tool("watch --count " + std::to_string(count) + " --port " + sim.Path());
        EXPECT_EQ(run.status, 0);
        // That many reports of channel B, whichever the stream was at.
        size_t lines = 0;
        for (size_t at = run.output.find("  B  "); at != std::string::npos;
             at = run.output.find("  B  ", at + 1)) {
            ++lines;
        }
        EXPECT_EQ(lines, count) << run.output;
        EXPECT_NE(run.output.find(closing), std::string::npos) << run.output;
    }
}

TEST(Tool, VersionIsTheLibrarys) {
    for (const char* arguments : {"--version", "version"}) {
        const ToolRun run = Tool(arguments);
        EXPECT_EQ(run.status, 0) << arguments;
        EXPECT_EQ(run.output, std::string("veltor ") + VELTOR_VERSION + "\n") << arguments;
    }
}

// Every line the tool writes for a failure is one message with its prefix.
TEST(Tool, FailuresSayWhatIsWrongInPrefixedLines) {
    struct Case {
        const char* arguments;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"", 2, "veltor: no command given; the commands: check, show, apply"},
        {"bogus", 2, "veltor: no command 'bogus'; the commands: check, show, apply"},
        {"enable", 2, "veltor: CH is required"},
        {"enable A --port /dev/null --bogus", 2, "veltor: The following argument was not expected"},
        {"enable J --port /dev/null", 2, "veltor: no channel 'J': channels are A to H"},
        {"outputs sideways --port /dev/null", 2, "veltor: STATE: sideways not in {on,off}"},
        {"enable A --port /nonexistent/tty", 4, "No such file or directory"},
        {"query A --port tcp://localhost:4000", 4,
         "veltor: cannot connect: tcp://localhost:4000: cannot open the port: unknown scheme "
         "'tcp://'; accepted: a device path, socket://HOST:PORT, rfc2217://HOST:PORT"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << c.arguments << "\n" << run.output;
        std::istringstream lines(run.output);
        size_t count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            EXPECT_EQ(line.rfind("veltor: ", 0), 0u) << c.arguments << ": " << line;
        }
        EXPECT_EQ(count, 1u) << c.arguments << "\n" << run.output;
    }
}

// Modes are labelled as a setup file names them, not by their C++ classes.
TEST(Tool, DiagramLabelsModesWithTheSetupFilesNames) {
    const std::string svg = TempPath("labels.svg");
    const ToolRun run = Tool("diagram " + kSetups + "demo.json -o " + svg);
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string picture = Read(svg);
    for (const char* name :
         {"delay", "dyn-delay", "up-down", "validate", "clock", "toggle", "count", "passive"}) {
        EXPECT_NE(picture.find(std::string(">") + name + "</text>"), std::string::npos) << name;
    }
    EXPECT_FALSE(std::regex_search(picture, std::regex(">C[A-Z][A-Za-z]+</text>")))
        << "a class name as a label";
}

TEST(Tool, HelpIsNoFailure) {
    EXPECT_EQ(Tool("--help").status, 0);
}

// veltor ports: the probe's column and exit status against `veltor sim`.
TEST(ToolPorts, ProbeMarksTheSimulatorAndFailsWhenNothingAnswers) {
    SimProcess sim({});
    ASSERT_FALSE(sim.Path().empty());
    const ToolRun found =
        Tool("ports --probe --only-paths --baud 9600,115200 --path " + sim.Path());
    EXPECT_EQ(found.status, 0) << found.output;
    EXPECT_NE(found.output.find("PROBE"), std::string::npos) << found.output;
    EXPECT_NE(found.output.find("instrument at 9600"), std::string::npos) << found.output;

    const ToolRun none = Tool("ports --probe --only-paths --path /dev/veltor-none");
    EXPECT_EQ(none.status, 1) << none.output;
    EXPECT_NE(none.output.find("/dev/veltor-none: cannot open the port"), std::string::npos)
        << none.output;
}

// A pseudo-terminal that nobody reads, its buffer full: every write to its
// slave side waits for room that never comes.
class FullTerminal {
public:
    FullTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(grantpt(master_), 0);
        EXPECT_EQ(unlockpt(master_), 0);
        path_ = ptsname(master_);
        const int slave = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(slave, 0);
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        const std::string chunk(4096, 'x');
        while (write(slave, chunk.data(), chunk.size()) > 0) {
        }
        EXPECT_EQ(errno, EAGAIN);
        close(slave);
    }
    ~FullTerminal() { close(master_); }
    const std::string& Path() const { return path_; }

private:
    int master_ = -1;
    std::string path_;
};

// The probe keeps its documented bound on a line that takes nothing: at most
// 0.3 s plus the burst's time on the line (1.07 s at 9600 bit/s) from opening
// to closing. Without a bound of its own, the burst's write alone waited for
// over 4 s. The margin is wide: what is checked is that the probe gives up
// within its bound, not how fast a loaded machine runs it.
TEST(ToolPorts, ProbeGivesUpOnALineThatTakesNothingWithinItsBound) {
    FullTerminal line;
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = Tool("ports --probe --only-paths --baud 9600 --path " + line.Path(), 60);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(run.output.find("instrument at"), std::string::npos) << run.output;
    EXPECT_LT(seconds, 1.37 + 1.5) << run.output;
}

TEST(ToolPorts, ListingWithoutProbeHasNoProbeColumn) {
    const ToolRun run = Tool("ports --path /dev/veltor-none");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("PROBE"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("/dev/veltor-none"), std::string::npos) << run.output;
    EXPECT_EQ(Tool("ports --probe --baud 1200").status, 2);
}

}  // namespace
