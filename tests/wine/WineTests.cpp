// End to end under Wine: veltor.dll, cross-built for 32-bit Windows, in a
// Windows host program (wine_client.exe) run by Wine, talks over a Wine COM
// port to the simulated instrument on a pseudo-terminal. Each test checks the
// client's answers and what the instrument received and did.
//
// Not tested here: the exclusive open of a port. Wine 8 lets a second
// CreateFileA of a COM port that is already open succeed on a
// pseudo-terminal, so the refusal is tested natively only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>
#include <veltor/CCommand.h>
#include <veltor/CVeltor.h>
#include <veltor/Ports.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/Simulator.h"
#include "sim/TcpServer.h"
#include "tests/e2e/hostile_server.h"
#include "tests/wine/WineHost.h"

namespace {

// The cross-built wine_client.exe, beside veltor.dll and the runtime DLLs:
// named by $VELTOR_WINE_CLIENT (the Windows build's test sets it).
std::string ClientPath() {
    const char* given = std::getenv("VELTOR_WINE_CLIENT");
    return given != nullptr ? given : "";
}

using winetest::Field;
using winetest::WineClient;
using winetest::WineSession;
using winetest::Words;

const double kDefaultClockHz = 200e6;

class WineEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string reason;
        if (!WineSession::Start(&reason)) {
            GTEST_FAIL() << "Wine is not usable: " << reason;
        }
    }
    void TearDown() override { WineSession::Stop(); }
};

// The burst the native (Linux) build sends on connecting, to compare with
// the Windows build's.
std::vector<uint8_t> NativeBurst() {
    static const std::vector<uint8_t> burst = [] {
        vsim::Simulator simulator;
        CVeltor device;
        std::vector<uint8_t> received;
        if (device.InitConnection(simulator.SlavePath().c_str(), 6) == 0 &&
            simulator.WaitForRawBytes(1024, 10000)) {
            received = simulator.RawReceived();
        }
        device.CloseConnection();
        return received;
    }();
    return burst;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof(pair), "%02X", byte);
        text += pair;
    }
    return text;
}

std::vector<uint8_t> FromHex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The valid delay reports in bytes the client's HandleUnsolicited was handed,
// as (channel, counts), found independently of the library.
std::vector<std::pair<int, uint32_t>> ReportsIn(const std::vector<uint8_t>& bytes) {
    std::vector<std::pair<int, uint32_t>> found;
    for (size_t i = 0; i + 8 <= bytes.size(); ++i) {
        const uint8_t* r = &bytes[i];
        uint8_t sum = 0;
        for (int k = 1; k < 8; ++k) {
            sum = static_cast<uint8_t>(sum + r[k]);
        }
        if (r[0] == 0x51 && r[1] == 6 && r[2] < 8 && sum == 0) {
            found.push_back({r[2], static_cast<uint32_t>(r[3]) | static_cast<uint32_t>(r[4]) << 8 |
                                       static_cast<uint32_t>(r[5]) << 16 |
                                       static_cast<uint32_t>(r[6]) << 24});
            i += 7;
        }
    }
    return found;
}

// Sets input flags of a terminal, as an earlier user of the port might have.
bool SetInputFlags(const std::string& path, tcflag_t flags) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    termios settings{};
    bool done = ::tcgetattr(fd, &settings) == 0;
    settings.c_iflag |= flags;
    done = done && ::tcsetattr(fd, TCSANOW, &settings) == 0;
    ::close(fd);
    return done;
}

// First payload byte of every valid frame the instrument received.
std::vector<uint8_t> Operations(const std::vector<vsim::Frame>& frames) {
    std::vector<uint8_t> operations;
    for (const vsim::Frame& frame : frames) {
        operations.push_back(frame.valid && !frame.payload.empty() ? frame.payload[0] : 0xFF);
    }
    return operations;
}

class WineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Sim.reset(new vsim::Simulator);
        m_Port = LinkPort(*m_Sim);
        ASSERT_GT(m_Port, 0);
        ASSERT_FALSE(ClientPath().empty()) << "VELTOR_WINE_CLIENT names no wine_client.exe";
        m_Client.reset(new WineClient(ClientPath()));
        ASSERT_TRUE(m_Client->Started()) << "cannot start wine " << ClientPath();
    }

    void TearDown() override {
        if (m_Client) {
            const int status = m_Client->Finish();
            EXPECT_EQ(status, 0) << "the client did not end cleanly";
            if (HasFailure()) {
                std::cerr << "The client's error output:\n" << m_Client->ErrorOutput();
            }
        }
        for (int port : m_Links) {
            WineSession::LinkComPort(port, "");
        }
        // The pseudo-terminals stay open until the Wine server has stopped.
        WineSession::Keep(std::move(m_Sim));
        for (std::unique_ptr<vsim::Simulator>& line : m_Lines) {
            WineSession::Keep(std::move(line));
        }
    }

    // Links a COM port number of its own to the simulator; 0 on failure.
    int LinkPort(const vsim::Simulator& sim) { return LinkPort(sim.SlavePath()); }
    int LinkPort(const std::string& path) {
        static int nextPort = 40;
        const int port = nextPort++;
        if (!WineSession::LinkComPort(port, path)) {
            return 0;
        }
        m_Links.push_back(port);
        return port;
    }

    // One more simulated instrument, on the port *port, for a test that needs
    // several lines.
    vsim::Simulator& AddLine(int* port) {
        m_Lines.emplace_back(new vsim::Simulator);
        *port = LinkPort(*m_Lines.back());
        return *m_Lines.back();
    }

    std::string Ask(const std::string& line, int timeoutMs = 30000) {
        return m_Client->Ask(line, timeoutMs);
    }

    // Connects at 115200 bit/s and waits for the whole burst, then forgets it.
    void Connect() {
        ASSERT_EQ(Ask("open " + std::to_string(m_Port) + " 6"), "open 0");
        ASSERT_TRUE(m_Sim->WaitForRawBytes(1024, 10000));
        m_Sim->ClearLog();
    }

    int m_Port = 0;
    std::unique_ptr<vsim::Simulator> m_Sim;
    std::unique_ptr<WineClient> m_Client;
    std::vector<int> m_Links;
    std::vector<std::unique_ptr<vsim::Simulator>> m_Lines;
};

// ---- Connecting ---------------------------------------------------------------

TEST_F(WineTest, OpensByNumberAtTheSpeedAskedAndSendsTheLinuxBurst) {
    ASSERT_EQ(Ask("open " + std::to_string(m_Port) + " 6"), "open 0");
    ASSERT_TRUE(m_Sim->WaitForRawBytes(1024, 10000));
    const std::vector<uint8_t> burst = m_Sim->RawReceived();
    ASSERT_EQ(burst.size(), 1024u);
    EXPECT_EQ(std::count(burst.begin(), burst.end(), 0x25), 0);
    EXPECT_EQ(Hex(burst), Hex(NativeBurst()));
    EXPECT_EQ(m_Sim->LineSpeed(), 115200.0);
    EXPECT_EQ(Ask("connected"), "connected 1");
}

TEST_F(WineTest, OpensByWindowsDeviceNameAndAgainAfterClosing) {
    const std::string name = "\\\\.\\COM" + std::to_string(m_Port);
    ASSERT_EQ(Ask("openpath " + name + " 3"), "openpath 0");
    ASSERT_TRUE(m_Sim->WaitForRawBytes(1024, 10000));
    EXPECT_EQ(m_Sim->LineSpeed(), 19200.0);
    EXPECT_EQ(Ask("close"), "close 0 connected=0");
    EXPECT_EQ(Ask("close"), "close 0 connected=0");

    m_Sim->ClearLog();
    ASSERT_EQ(Ask("open " + std::to_string(m_Port) + " 6"), "open 0");
    ASSERT_TRUE(m_Sim->WaitForRawBytes(1024, 10000));
    EXPECT_EQ(Hex(m_Sim->RawReceived()), Hex(NativeBurst()));
    EXPECT_EQ(Words(Ask("dev enable")).at(2), "1") << "a command after reopening";
}

TEST_F(WineTest, RefusesBadSpeedsAndAbsentPortsWithoutSendingAnything) {
    struct Case {
        std::string request;
        std::string answer;
    } cases[] = {
        {"open " + std::to_string(m_Port) + " 7", "open -1"},
        {"open " + std::to_string(m_Port) + " -1", "open -1"},
        {"open 199 6", "open -1"},
        {"openpath \\\\.\\COM198 6", "openpath -1"},
        {"openpath NUL 6", "openpath -2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ask(c.request), c.answer) << c.request;
        EXPECT_EQ(Ask("close"), "close 0 connected=0") << c.request;
    }
    EXPECT_TRUE(m_Sim->RawReceived().empty());
    EXPECT_EQ(Words(Ask("dev enable")).at(2), "0") << "a command while not connected";
}

// ---- Device and channel commands ----------------------------------------------

TEST_F(WineTest, DeviceCommandsReachTheInstrument) {
    Connect();
    struct Case {
        const char* name;
        uint8_t operation;
        bool outputsEnabled;
        bool panelLocked;
    } cases[] = {
        {"enable", 0x80, true, false},    {"lock", 0x50, true, true},
        {"disable", 0x90, false, true},   {"unlock", 0x58, false, false},
        {"resetall", 0x70, false, false},
    };
    for (const Case& c : cases) {
        m_Sim->ClearLog();
        const std::string answer = Ask(std::string("dev ") + c.name);
        EXPECT_EQ(Words(answer).at(2), "1") << answer;
        ASSERT_EQ(m_Sim->FrameCount(), 1u) << c.name;
        EXPECT_EQ(Operations(m_Sim->Frames()), std::vector<uint8_t>{c.operation}) << c.name;
        EXPECT_EQ(m_Sim->State().outputsEnabled, c.outputsEnabled) << c.name;
        EXPECT_EQ(m_Sim->State().panelLocked, c.panelLocked) << c.name;
    }
    EXPECT_EQ(m_Sim->State().resetAllCount, 1u);

    m_Sim->ClearLog();
    ASSERT_EQ(Ask("clock 1 2 3 0"), "clock 1");
    EXPECT_EQ(Words(Ask("dev setclock")).at(2), "1");
    ASSERT_EQ(m_Sim->FrameCount(), 1u);
    EXPECT_EQ(Hex(m_Sim->Frames()[0].payload), "10003900" + Hex({0x02, 0xEB, 0xC4, 0x25, 0x67}));
}

TEST_F(WineTest, ChannelCommandsQueriesAndTimingModes) {
    Connect();
    struct Case {
        const char* name;
        bool (*check)(const vsim::ChannelState&);
    } cases[] = {
        {"enable", [](const vsim::ChannelState& s) { return s.enabled; }},
        {"trigger", [](const vsim::ChannelState& s) { return s.triggerCount == 1; }},
        {"reset", [](const vsim::ChannelState& s) { return s.resetCount == 1; }},
        {"disable", [](const vsim::ChannelState& s) { return !s.enabled; }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ask(std::string("ch E ") + c.name), std::string("ch E ") + c.name + " 1");
        EXPECT_TRUE(c.check(m_Sim->State().ch[4])) << c.name;
    }

    m_Sim->SetChannelDelay(1, 400000);
    EXPECT_EQ(Ask("ch B query"), "ch B query 1");
    EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay B")).at(2).c_str()), 400000 / kDefaultClockHz);

    EXPECT_EQ(Ask("mode C 0.001 0.0025"), "mode C 1");
    EXPECT_EQ(Ask("ch C setmode"), "ch C setmode 1");
    const vsim::ChannelState c = m_Sim->State().ch[2];
    EXPECT_EQ(c.modeName, "delay");
    EXPECT_NEAR(c.delaySeconds, 0.001, 1 / kDefaultClockHz);
    EXPECT_NEAR(c.durationSeconds, 0.0025, 1 / kDefaultClockHz);

    // Out of range: checked on the host, nothing is sent.
    m_Sim->ClearLog();
    EXPECT_EQ(Ask("mode D 0 0.0025"), "mode D 0");
    EXPECT_EQ(Ask("ch D setmode"), "ch D setmode 0");
    EXPECT_EQ(m_Sim->FrameCount(), 0u);
}

TEST_F(WineTest, UpdateAllSendsTheWholeDeviceInOrder) {
    Connect();
    ASSERT_EQ(Ask("mode A 0.0001 0.0002"), "mode A 1");
    ASSERT_EQ(Ask("mode H 0.003 0.004"), "mode H 1");
    EXPECT_EQ(Words(Ask("dev updateall", 60000)).at(2), "1");

    std::vector<uint8_t> expected = {0x50, 0x90};
    for (uint8_t i = 0; i < 8; ++i) {
        expected.push_back(0x08 + i);
    }
    expected.push_back(0x10);
    for (uint8_t i = 0; i < 8; ++i) {
        expected.push_back(i);
    }
    expected.insert(expected.end(), {0xC0, 0x80, 0x58});
    const std::vector<vsim::Frame> frames = m_Sim->Frames();
    EXPECT_EQ(Hex(Operations(frames)), Hex(expected));
    ASSERT_GT(frames.size(), 10u);
    EXPECT_EQ(frames[10].payload.at(1), 0x28) << "clock options sent locked and disabled";

    const vsim::InstrumentState state = m_Sim->State();
    EXPECT_TRUE(state.outputsEnabled);
    EXPECT_FALSE(state.panelLocked);
    EXPECT_TRUE(state.logicImplemented);
    EXPECT_NEAR(state.ch[0].delaySeconds, 0.0001, 1 / kDefaultClockHz);
    EXPECT_NEAR(state.ch[7].durationSeconds, 0.004, 1 / kDefaultClockHz);
    EXPECT_EQ(state.ch[3].modeName, "null");
    EXPECT_EQ(Ask("flags"), "flags lock=0 disable=0");
}

// ---- The exchange: retries, failures, split answers ------------------------------

TEST_F(WineTest, ExchangeOutcomesMatchTheLinuxBuild) {
    Connect();
    struct Case {
        const char* what;
        std::vector<vsim::Fault> faults;
        int tries;
        int timeoutMs;
        bool ok;
        int triesLeft;
        unsigned count;  // response count after the last attempt
        size_t frames;
        long maxMs;  // -1: no upper bound checked
        long minMs;
        CSerDev::Outcome outcome;  // of the last attempt
    };
    vsim::Fault silent;
    silent.kind = vsim::FaultKind::NoAnswer;
    vsim::Fault negative;
    negative.kind = vsim::FaultKind::Negative;
    vsim::Fault split;
    split.kind = vsim::FaultKind::Split;
    split.chunk = 1;
    split.gapMs = 30;
    vsim::Fault headerOnly;
    headerOnly.kind = vsim::FaultKind::HeaderOnly;
    vsim::Fault wrongLead;
    wrongLead.kind = vsim::FaultKind::WrongLead;
    vsim::Fault badSum;
    badSum.kind = vsim::FaultKind::BadChecksum;
    vsim::Fault noise;
    noise.kind = vsim::FaultKind::Noise;

    const auto times = [](const vsim::Fault& fault, int n) {
        return std::vector<vsim::Fault>(static_cast<size_t>(n), fault);
    };
    // clang-format off
    const Case cases[] = {
        // what, faults, tries, timeout, ok, tries left, count, frames, max ms, min ms, outcome
        {"answered at once",                      {},                 5, 10000, 1, 5, 3, 1, 5000, 0, CSerDev::kSuccess},
        {"silence: every attempt times out",      times(silent, 5),   5, 150, 0, 0, 0, 5, -1, 700, CSerDev::kNoAnswer},
        {"attempt count 0 still tries once",      {silent},           0, 150, 0, -1, 0, 1, -1, 100, CSerDev::kNoAnswer},
        {"negative answers fail without waiting", times(negative, 5), 5, 10000, 0, 0, 0, 5, 5000, 0, CSerDev::kNegative},
        {"answer split byte by byte",             {split},            5, 10000, 1, 5, 3, 1, -1, 0, CSerDev::kSuccess},
        {"header only: fails after one timeout",  {headerOnly},       1, 2000, 0, 0, 2, 1, -1, 1900, CSerDev::kIncomplete},
        {"wrong lead, then a good answer",        {wrongLead},        5, 2000, 1, 4, 3, 2, -1, 0, CSerDev::kSuccess},
        {"wrong lead on the only attempt",        {wrongLead},        1, 2000, 0, 0, 0, 1, -1, 1900, CSerDev::kWrongLead},
        {"bad checksum, then a good answer",      {badSum},           5, 10000, 1, 4, 3, 2, -1, 0, CSerDev::kSuccess},
        {"bad checksum on the only attempt",      {badSum},           1, 10000, 0, 0, CCommand::kChecksumFailed, 1, -1, 0, CSerDev::kBadChecksum},
        {"line noise before the answer: no retry", {noise},           5, 10000, 1, 5, 3, 1, -1, 0, CSerDev::kSuccess},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Sim->ClearFaults();
        // A case that left an answer owed is followed by a query to get back
        // in step: the query, whose answer tells, goes first.
        ASSERT_EQ(Ask("ch H query"), "ch H query 1");
        for (const vsim::Fault& fault : c.faults) {
            m_Sim->QueueFault(fault);
        }
        m_Sim->ClearLog();
        const std::string answer =
            Ask("raw " + std::to_string(c.tries) + " " + std::to_string(c.timeoutMs) + " 80");
        const std::vector<std::string> words = Words(answer);
        ASSERT_GE(words.size(), 2u) << answer;
        EXPECT_EQ(words[1], c.ok ? "1" : "0") << answer;
        EXPECT_EQ(Field(answer, "tries"), std::to_string(c.triesLeft)) << answer;
        EXPECT_EQ(Field(answer, "count"), std::to_string(c.count)) << answer;
        EXPECT_EQ(Field(answer, "outcome"), std::to_string(c.outcome)) << answer;
        EXPECT_TRUE(m_Sim->WaitForFrames(c.frames, 5000));
        EXPECT_EQ(m_Sim->FrameCount(), c.frames) << answer;
        const long ms = std::atol(Field(answer, "ms").c_str());
        EXPECT_GE(ms, c.minMs) << answer;
        if (c.maxMs >= 0) {
            EXPECT_LT(ms, c.maxMs) << answer;
        }
        if (c.ok) {
            EXPECT_EQ(Field(answer, "response"), "AA01FF") << answer;
        }
    }
}

// ---- Binary bytes on the line ---------------------------------------------------

// The bytes a serial driver may take for flow control (0x11, 0x13), for a
// line end (0x0D) or for padding (0x00) are ordinary data in frames, answers
// and reports; each path must carry them unchanged, in both directions.
// The port starts out set for software flow control, as a Windows port can be
// left by its driver or an earlier user: the library's line settings must
// turn it off, not keep it.
TEST_F(WineTest, ControlBytesPassBothWaysIntact) {
    ASSERT_TRUE(SetInputFlags(m_Sim->SlavePath(), IXON | IXOFF));
    Connect();
    enum class Path { Write, Request, Query, Mode, Report, ReportBehind };
    struct Case {
        const char* what;
        Path path;
        std::vector<uint8_t> bytes;  // written, sent as payload, or sent before a report
        uint32_t counts;             // carried by an answer, a timing mode or a report
    };
    const std::vector<uint8_t> control = {0x11, 0x13, 0x00, 0x0D, 0x13, 0x11};
    // clang-format off
    const Case cases[] = {
        {"raw bytes written to the line",     Path::Write,        control, 0},
        {"a request payload holding them",    Path::Request,      control, 0},
        {"a query answered with them",        Path::Query,        {},      0x13110D00},
        {"a timing mode carrying them",       Path::Mode,         {},      0x13110D00},
        {"an unasked report carrying them",   Path::Report,       {},      0x0D001311},
        {"an unasked report behind them",     Path::ReportBehind, control, 0x11130D00},
    };
    // clang-format on
    unsigned long handedOver = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Sim->ClearLog();
        switch (c.path) {
            case Path::Write:
                ASSERT_EQ(Ask("write " + Hex(c.bytes)), "write 1");
                ASSERT_TRUE(m_Sim->WaitForRawBytes(c.bytes.size(), 5000));
                EXPECT_EQ(Hex(m_Sim->RawReceived()), Hex(c.bytes));
                break;
            case Path::Request: {
                // Not a request the instrument knows: it answers negatively,
                // but only after it has found the whole frame intact.
                const std::string answer = Ask("raw 1 500 " + Hex(c.bytes));
                EXPECT_EQ(Words(answer).at(1), "0") << answer;
                ASSERT_EQ(m_Sim->FrameCount(), 1u) << answer;
                EXPECT_TRUE(m_Sim->Frames()[0].valid) << Hex(m_Sim->Frames()[0].raw);
                EXPECT_EQ(Hex(m_Sim->Frames()[0].payload), Hex(c.bytes));
                break;
            }
            case Path::Query: {
                m_Sim->SetChannelDelay(2, c.counts);
                // The query's own payload ends in 0x00.
                const std::string answer = Ask("raw 1 500 420B00");
                EXPECT_EQ(Words(answer).at(1), "1") << answer;
                std::vector<uint8_t> data = {0x02};
                for (int i = 0; i < 4; ++i) {
                    data.push_back(static_cast<uint8_t>(c.counts >> (8 * i)));
                }
                EXPECT_EQ(Field(answer, "response"), Hex(vsim::Instrument::PositiveAnswer(data)));
                EXPECT_EQ(Ask("ch C query"), "ch C query 1");
                EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay C")).at(2).c_str()),
                                 c.counts / kDefaultClockHz);
                break;
            }
            case Path::Mode: {
                char seconds[64];
                std::snprintf(seconds, sizeof(seconds), "%.17g %.17g", c.counts / kDefaultClockHz,
                              (c.counts >> 8) / kDefaultClockHz);
                ASSERT_EQ(Ask(std::string("mode D ") + seconds), "mode D 1");
                EXPECT_EQ(Ask("ch D setmode"), "ch D setmode 1");
                EXPECT_EQ(m_Sim->State().ch[3].delayCounts1, c.counts);
                EXPECT_EQ(m_Sim->State().ch[3].durationCounts, c.counts >> 8);
                break;
            }
            case Path::Report:
            case Path::ReportBehind: {
                std::vector<uint8_t> bytes = c.bytes;
                const std::vector<uint8_t> report = vsim::Instrument::DelayReport(6, c.counts);
                bytes.insert(bytes.end(), report.begin(), report.end());
                handedOver += bytes.size();
                m_Sim->SendBytes(bytes);
                const std::string waited =
                    Ask("unsolicited " + std::to_string(handedOver) + " 5000");
                EXPECT_EQ(Words(waited).at(1), "1") << waited;
                EXPECT_EQ(Field(waited, "bytes"), std::to_string(handedOver)) << waited;
                EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay G")).at(2).c_str()),
                                 c.counts / kDefaultClockHz);
                break;
            }
        }
    }
    EXPECT_EQ(Ask("connected"), "connected 1");
}

// ---- A write the line holds back ---------------------------------------------------

// The terminal's output is suspended, as a flow-control line held off would:
// the request cannot leave, so the write is given up after its bound and
// cancelled. Nothing of it may reach the instrument later, and the port goes
// on working once the line is free again.
TEST_F(WineTest, AWriteHeldBackIsGivenUpAndThePortGoesOn) {
    Connect();
    const int terminal = ::open(m_Sim->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::tcflow(terminal, TCOOFF), 0);
    const std::string held = Ask("raw 1 500 80");
    ASSERT_EQ(::tcflow(terminal, TCOON), 0);
    ::close(terminal);
    EXPECT_EQ(Words(held).at(1), "0") << held;
    const long ms = std::atol(Field(held, "ms").c_str());
    EXPECT_GE(ms, 2000) << "given up before its bound: " << held;
    EXPECT_LT(ms, 6000) << "the cancel did not settle: " << held;

    // The request given up may have gone out in part: its answer is owed,
    // and a query gets back in step before the next request.
    const std::string after = Ask("raw 1 500 80");
    EXPECT_EQ(Words(after).at(1), "1") << after;
    ASSERT_TRUE(m_Sim->WaitForFrames(2, 5000));
    ASSERT_EQ(m_Sim->FrameCount(), 2u);
    EXPECT_EQ(m_Sim->Frames()[1].payload, std::vector<uint8_t>{0x80})
        << "the given-up request went out after all";
    EXPECT_EQ(Ask("connected"), "connected 1");
}

// ---- The port listing's probe ------------------------------------------------------

// A pseudo-terminal that nobody reads, its buffer full: every write to it
// waits for room that never comes.
class FullTerminal {
public:
    FullTerminal() {
        m_Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_Master < 0 || ::grantpt(m_Master) != 0 || ::unlockpt(m_Master) != 0) {
            return;
        }
        m_Path = ::ptsname(m_Master);
        const int slave = ::open(m_Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        const std::string chunk(4096, 'x');
        while (::write(slave, chunk.data(), chunk.size()) > 0) {
        }
        ::close(slave);
    }
    ~FullTerminal() { ::close(m_Master); }
    const std::string& Path() const { return m_Path; }

private:
    int m_Master = -1;
    std::string m_Path;
};

// The probe keeps its documented bound on a COM port that takes nothing: at
// most 0.3 s plus the burst's time on the line from opening to closing. The
// margin is wide: what is checked is that the probe gives up within its
// bound, not how fast a loaded machine runs Wine.
TEST_F(WineTest, TheProbeGivesUpOnAPortThatTakesNothingWithinItsBound) {
    const struct {
        int baudIndex;
        long boundMs;
    } kCases[] = {{6, 300 + 89}, {3, 300 + 1067}};
    for (const auto& c : kCases) {
        FullTerminal line;
        ASSERT_FALSE(line.Path().empty());
        const int port = LinkPort(line.Path());
        ASSERT_GT(port, 0);
        const std::string probed =
            Ask("probe \\\\.\\COM" + std::to_string(port) + " " + std::to_string(c.baudIndex));
        EXPECT_EQ(Words(probed).at(1), "1") << probed;
        EXPECT_NE(Field(probed, "found"),
                  std::to_string(static_cast<int>(veltor::PortProbe::Instrument)))
            << probed;
        EXPECT_LT(std::atol(Field(probed, "ms").c_str()), c.boundMs + 1500) << probed;
    }
}

// ---- Unasked delay reports --------------------------------------------------------

TEST_F(WineTest, DelayReportsWhileIdleUpdateTheChannel) {
    Connect();
    struct Case {
        const char* what;
        std::vector<uint8_t> before;  // bytes ahead of the report
        std::vector<size_t> cuts;     // where the bytes are split into writes
    } cases[] = {
        {"in one piece", {}, {}},
        {"split over three drains", {}, {2, 5}},
        {"behind line noise", {0x00, 0x13, 0x7F}, {3}},
    };
    unsigned long handedOver = 0;
    uint32_t counts = 1000000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A fresh value each time, so that a stale one cannot pass.
        counts += 200000;
        std::vector<uint8_t> bytes = c.before;
        const std::vector<uint8_t> report = vsim::Instrument::DelayReport(5, counts);
        bytes.insert(bytes.end(), report.begin(), report.end());
        std::vector<std::vector<uint8_t>> chunks;
        size_t from = 0;
        for (size_t cut : c.cuts) {
            chunks.emplace_back(bytes.begin() + from, bytes.begin() + cut);
            from = cut;
        }
        chunks.emplace_back(bytes.begin() + from, bytes.end());
        handedOver += bytes.size();

        m_Sim->SendChunks(chunks, 20);
        const std::string waited = Ask("unsolicited " + std::to_string(handedOver) + " 5000");
        EXPECT_EQ(Words(waited).at(1), "1") << waited;
        EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay F")).at(2).c_str()), counts / kDefaultClockHz);
    }
    EXPECT_EQ(m_Sim->FrameCount(), 0u) << "nothing is sent in answer to a report";
}

// Reports glued to an answer, before or after it, and a report cut off
// before an answer: every valid report reaches HandleUnsolicited once, the
// answer never does, and the command goes out once.
TEST_F(WineTest, NoReportIsLostAroundAnAnswer) {
    Connect();
    struct Case {
        const char* what;
        vsim::Fault fault;
        bool reportAfterwards;  // a valid report is sent after the command
        int channel;            // of the valid report
        uint32_t counts;
    };
    const auto fault = [](vsim::FaultKind kind, int channel, uint32_t counts) {
        vsim::Fault f;
        f.kind = kind;
        f.reportChannel = channel;
        f.reportCounts = counts;
        return f;
    };
    vsim::Fault strayLead;
    strayLead.kind = vsim::FaultKind::Noise;
    strayLead.noise = {0x51};
    // clang-format off
    const Case cases[] = {
        {"report glued before the answer", fault(vsim::FaultKind::ReportFirst, 3, 0x13110D00), false, 3, 0x13110D00},
        {"report glued after the answer",  fault(vsim::FaultKind::ReportAfter, 4, 222222),     false, 4, 222222},
        {"report cut off before the answer", fault(vsim::FaultKind::CutReport, 0, 999),        true,  5, 333333},
        {"stray report lead before the answer", strayLead,                                     true,  6, 444444},
    };
    // clang-format on
    const std::vector<uint8_t> answer = vsim::Instrument::PositiveAnswer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Sim->ClearLog();
        m_Sim->QueueFault(c.fault);
        EXPECT_EQ(Ask("ch H trigger"), "ch H trigger 1");
        EXPECT_EQ(m_Sim->FrameCount(), 1u);
        if (c.reportAfterwards) {
            m_Sim->SendDelayReport(c.channel, c.counts);
        }
        const std::string waited = Ask("waitreports 1 5000");
        EXPECT_EQ(Words(waited).at(1), "1") << waited;
        const std::vector<uint8_t> kept = FromHex(Field(Ask("unasked"), "hex"));
        const std::vector<std::pair<int, uint32_t>> expected = {{c.channel, c.counts}};
        EXPECT_EQ(ReportsIn(kept), expected) << Hex(kept);
        EXPECT_TRUE(std::search(kept.begin(), kept.end(), answer.begin(), answer.end()) ==
                    kept.end())
            << "the answer reached HandleUnsolicited: " << Hex(kept);
        const std::string letter(1, static_cast<char>('A' + c.channel));
        EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay " + letter)).at(2).c_str()),
                         c.counts / kDefaultClockHz);
    }
    EXPECT_EQ(m_Sim->State().ch[7].triggerCount, 4u) << "a command was carried out twice";
}

// A stream of reports on every channel while commands go out back to back:
// every report reaches HandleUnsolicited, in order, once; nothing else does;
// no command is sent twice.
TEST_F(WineTest, NoReportIsLostDuringBackToBackCommands) {
    Connect();
    const int commands = 150;
    m_Sim->StartReportStream(-1, 1, 1000);
    const std::string mixed = Ask("mixed " + std::to_string(commands), 120000);
    const size_t sent = m_Sim->StopReportStream();
    EXPECT_EQ(Field(mixed, "ok"), std::to_string(commands)) << mixed;
    EXPECT_EQ(m_Sim->FrameCount(), static_cast<size_t>(commands)) << "a request was sent again";
    ASSERT_GT(sent, 0u);

    const std::string waited = Ask("waitreports " + std::to_string(sent) + " 10000");
    EXPECT_EQ(Words(waited).at(1), "1") << waited;
    const std::vector<uint8_t> kept = FromHex(Field(Ask("unasked"), "hex"));
    EXPECT_EQ(kept.size(), 8 * sent) << "more than the reports reached HandleUnsolicited";
    const std::vector<std::pair<int, uint32_t>> reports = ReportsIn(kept);
    ASSERT_EQ(reports.size(), sent);
    for (size_t i = 0; i < reports.size(); ++i) {
        ASSERT_EQ(reports[i].first, static_cast<int>(i % 8)) << "report " << i;
        ASSERT_EQ(reports[i].second, i + 1) << "report " << i;
    }

    // Each channel's last delay is its last report's; each channel was
    // triggered as often as asked.
    const vsim::InstrumentState state = m_Sim->State();
    for (int ch = 0; ch < 8; ++ch) {
        SCOPED_TRACE(ch);
        if (static_cast<size_t>(ch) < sent) {
            const size_t last = (sent - 1 - ch) / 8 * 8 + ch + 1;
            const std::string letter(1, static_cast<char>('A' + ch));
            EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay " + letter)).at(2).c_str()),
                             last / kDefaultClockHz);
        }
        uint32_t triggers = 0;
        for (int i = 0; i < commands; i += 3) {
            triggers += i % 8 == ch ? 1 : 0;
        }
        EXPECT_EQ(state.ch[ch].triggerCount, triggers);
    }
}

// ---- A lost line ------------------------------------------------------------------

// The line hangs up as when a USB adapter is pulled: the port is seen gone,
// a command fails at once instead of running through its attempts, and the
// device opens another port as before.
TEST_F(WineTest, ALostLineIsSeenAndAnotherPortOpens) {
    struct Case {
        const char* what;
        bool midExchange;  // the line hangs up instead of answering
    };
    const Case cases[] = {{"hung up while idle", false}, {"hung up instead of an answer", true}};
    const std::string portLost = std::to_string(CSerDev::kPortLost);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int port = 0;
        vsim::Simulator& line = AddLine(&port);
        ASSERT_GT(port, 0);
        ASSERT_EQ(Ask("open " + std::to_string(port) + " 6"), "open 0");
        ASSERT_TRUE(line.WaitForRawBytes(1024, 10000));
        EXPECT_EQ(Words(Ask("dev enable")).at(2), "1");
        line.ClearLog();
        if (c.midExchange) {
            vsim::Fault hangUp;
            hangUp.kind = vsim::FaultKind::HangUp;
            line.QueueFault(hangUp);
        } else {
            line.HangUp();
            // The watcher sees it on its own, with no command to find it.
            const std::string lost = Ask("waitlost 5000");
            EXPECT_EQ(Words(lost).at(1), "1") << lost;
        }
        // Five seconds per attempt: only a lost port seen at once ends the
        // command well within one, however loaded the machine.
        const std::string answer = Ask("raw 5 5000 80");
        EXPECT_EQ(Words(answer).at(1), "0") << answer;
        EXPECT_EQ(Field(answer, "outcome"), portLost) << answer;
        EXPECT_LT(std::atol(Field(answer, "ms").c_str()), 2500) << answer;
        EXPECT_EQ(line.FrameCount(), c.midExchange ? 1u : 0u);
        EXPECT_EQ(Ask("connected"), "connected 0");
        EXPECT_EQ(Words(Ask("dev enable")).at(2), "0");
        EXPECT_EQ(Ask("outcome"), "outcome " + portLost);
    }
    Connect();
    EXPECT_EQ(Words(Ask("dev enable")).at(2), "1");
    EXPECT_EQ(Ask("connected"), "connected 1");
}

// A host's HandleUnsolicited that throws: the exception crosses from the
// program into veltor.dll's watcher, which must catch it and go on. With the
// GCC runtime linked statically into each module this terminates the process.
TEST_F(WineTest, WatcherSurvivesAHostHandlerThatThrows) {
    Connect();
    ASSERT_EQ(Ask("throw 1"), "throw 1");
    m_Sim->SendDelayReport(0, 600000);
    const std::string first = Ask("unsolicited 8 5000");
    EXPECT_EQ(Words(first).at(1), "1") << first;
    EXPECT_EQ(Field(first, "thrown"), "1") << first;

    m_Sim->SendDelayReport(0, 800000);
    const std::string second = Ask("unsolicited 16 5000");
    EXPECT_EQ(Words(second).at(1), "1") << second;
    EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay A")).at(2).c_str()), 800000 / kDefaultClockHz);
    EXPECT_EQ(Words(Ask("dev enable")).at(2), "1");
    EXPECT_EQ(Ask("connected"), "connected 1");
}

// ---- A network port: socket:// to a raw TCP server on loopback ---------------

TEST_F(WineTest, ReachesTheInstrumentOverTcpAndSeesTheConnectionEnd) {
    // A port nothing listens on any more: the connection is refused.
    std::unique_ptr<vsim::TcpServer> gone(new vsim::TcpServer(m_Sim->SlavePath()));
    const std::string nothing = gone->Url();
    gone.reset();
    EXPECT_EQ(Ask("openpath " + nothing + " 6"), "openpath -1");
    EXPECT_EQ(Ask("close"), "close 0 connected=0");

    vsim::TcpServer server(m_Sim->SlavePath());
    ASSERT_EQ(Ask("openpath " + server.Url() + " 6"), "openpath 0");
    ASSERT_TRUE(m_Sim->WaitForRawBytes(1024, 10000));
    EXPECT_EQ(Hex(m_Sim->RawReceived()), Hex(NativeBurst()));
    m_Sim->ClearLog();
    EXPECT_EQ(Words(Ask("dev enable")).at(2), "1");
    const uint32_t counts = 0xFFFF00FF;
    m_Sim->SendBytes(vsim::Instrument::DelayReport(5, counts));
    const std::string waited = Ask("unsolicited 8 5000");
    EXPECT_EQ(Words(waited).at(1), "1") << waited;
    EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay F")).at(2).c_str()), counts / kDefaultClockHz);

    // A server that resets the connection is a lost port, seen by the
    // watcher with no command to find it.
    server.DropClient(true);
    const std::string lost = Ask("waitlost 5000");
    EXPECT_EQ(Words(lost).at(1), "1") << lost;
    EXPECT_EQ(Words(Ask("dev enable")).at(2), "0");
    EXPECT_EQ(Ask("outcome"), "outcome " + std::to_string(CSerDev::kPortLost));
    EXPECT_EQ(Ask("close"), "close 0 connected=0");

    // The server takes the next connection.
    ASSERT_EQ(Ask("openpath " + server.Url() + " 6"), "openpath 0");
    EXPECT_EQ(Words(Ask("dev enable")).at(2), "1");
    EXPECT_EQ(Ask("close"), "close 0 connected=0");
}

// ---- The C interface: wine_c_client.exe, beside wine_client.exe ---------------
// Its answers carry the numbers of veltor_status: 0 ok, 1 invalid argument,
// 3 connect failed, 4 not connected, 5 rejected.

class WineCTest : public WineTest {
protected:
    void SetUp() override {
        const std::string client = ClientPath();
        const std::string c =
            client.substr(0, client.find_last_of("/\\") + 1) + "wine_c_client.exe";
        m_Sim.reset(new vsim::Simulator);
        m_Port = LinkPort(*m_Sim);
        ASSERT_GT(m_Port, 0);
        m_Client.reset(new WineClient(c));
        ASSERT_TRUE(m_Client->Started()) << "cannot start wine " << c;
    }
};

TEST_F(WineCTest, CommandsModesQueriesAndReportsThroughTheCInterface) {
    ASSERT_EQ(Ask("open " + std::to_string(m_Port) + " 6"), "open 0");
    ASSERT_TRUE(m_Sim->WaitForRawBytes(1024, 10000));
    EXPECT_EQ(Hex(m_Sim->RawReceived()), Hex(NativeBurst()));
    m_Sim->ClearLog();

    EXPECT_EQ(Ask("dev enable"), "dev enable 0");
    EXPECT_TRUE(m_Sim->State().outputsEnabled);
    EXPECT_EQ(Ask("ch E trigger"), "ch E trigger 0");
    EXPECT_EQ(m_Sim->State().ch[4].triggerCount, 1u);

    EXPECT_EQ(Ask("mode C 0.001 0.0025"), "mode C 0");
    EXPECT_EQ(Ask("ch C setmode"), "ch C setmode 0");
    const vsim::ChannelState c = m_Sim->State().ch[2];
    EXPECT_EQ(c.modeName, "delay");
    EXPECT_NEAR(c.delaySeconds, 0.001, 1 / kDefaultClockHz);
    EXPECT_NEAR(c.durationSeconds, 0.0025, 1 / kDefaultClockHz);
    // Out of range: refused on the host, nothing sent.
    m_Sim->ClearLog();
    EXPECT_EQ(Ask("mode D 0 0.0025"), "mode D 0");
    EXPECT_EQ(Ask("ch D setmode"), "ch D setmode 5");
    EXPECT_EQ(m_Sim->FrameCount(), 0u);
    EXPECT_NE(Ask("message").find("channel D: delay 0 s is outside"), std::string::npos);

    m_Sim->SetChannelDelay(1, 400000);
    const std::vector<std::string> query = Words(Ask("query B"));
    ASSERT_EQ(query.size(), 4u);
    EXPECT_EQ(query[2], "0");
    EXPECT_DOUBLE_EQ(std::atof(query[3].c_str()), 400000 / kDefaultClockHz);

    m_Sim->SendDelayReport(2, 4000);
    EXPECT_EQ(Ask("reports 1 10000"), "reports 1 C 4000");
    // Four exchanges (the refused mode sent nothing), each with its answer.
    EXPECT_EQ(Ask("trace"), "trace 4 4");
}

TEST_F(WineCTest, StatusesOfBadArgumentsAbsentPortsAndAClosedLine) {
    EXPECT_EQ(Ask("open " + std::to_string(m_Port) + " 7"), "open 1");
    EXPECT_EQ(Ask("open 199 6"), "open 3");
    EXPECT_EQ(Ask("dev enable"), "dev enable 4");
    EXPECT_EQ(Ask("message"), "message enabling outputs: not connected");
    EXPECT_EQ(Ask("ch Z enable"), "ch Z enable 1");
    EXPECT_TRUE(m_Sim->RawReceived().empty());

    const std::string name = "\\\\.\\COM" + std::to_string(m_Port);
    ASSERT_EQ(Ask("openpath " + name + " 6"), "openpath 0");
    EXPECT_EQ(Ask("dev lock"), "dev lock 0");
    EXPECT_EQ(Ask("close"), "close 0 connected=0");
    EXPECT_EQ(Ask("dev unlock"), "dev unlock 4");
}

// ---- An idle port ----------------------------------------------------------------

// Wine ends a pending wait for port events after a few milliseconds with
// nothing to report; a watcher that waits again at once keeps the client and
// the Wine server busy while nothing happens on the line. Idle, the two may
// use only a small part of one processor, and the port must still see
// reports, answers and a hang-up.
TEST_F(WineTest, AnIdlePortCostsNextToNothingAndStillSeesTheLine) {
    Connect();
    EXPECT_EQ(Words(Ask("dev enable")).at(2), "1");
    const pid_t server = WineSession::ServerPid();
    ASSERT_GT(server, 0) << "no Wine server runs for " << WineSession::Prefix();
    const double clientBefore = winetest::CpuSeconds(m_Client->Pid());
    const double serverBefore = winetest::CpuSeconds(server);
    ASSERT_GE(clientBefore, 0);
    ASSERT_GE(serverBefore, 0);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double client = winetest::CpuSeconds(m_Client->Pid()) - clientBefore;
    const double serverUsed = winetest::CpuSeconds(server) - serverBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "idle port for " << wall << " s: processor time " << client << " s (client), "
              << serverUsed << " s (Wine server)\n";
    EXPECT_LT(client + serverUsed, 0.1 * wall);

    m_Sim->SendDelayReport(3, 500000);
    const std::string report = Ask("unsolicited 8 5000");
    EXPECT_EQ(Words(report).at(1), "1") << "a report after idling: " << report;
    EXPECT_DOUBLE_EQ(std::atof(Words(Ask("delay D")).at(2).c_str()), 500000 / kDefaultClockHz);
    const std::string command = Ask("dev disable");
    EXPECT_EQ(Words(command).at(2), "1") << "a command after idling: " << command;

    // Idle again, so that the hang-up finds the watcher at its slowest.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    m_Sim->HangUp();
    const std::string lost = Ask("waitlost 5000");
    EXPECT_EQ(Words(lost).at(1), "1") << "a hang-up after idling: " << lost;
}

// ---- Hostile device servers ------------------------------------------------------
// The scripted servers of the native trust-boundary tests (hostile_server.h)
// against the Windows client. Its process is a 32-bit one: a host that keeps
// something for each byte a server sends runs out of address space within
// seconds, so besides its answers the client's resident memory is looked at.
// After every case the same client must work on a well-behaved server.

// A query's bound, counted as in the native tests (docs/protocol.md): one
// time-out for an answer still owed, then 5 attempts of 500 ms, the first
// one behind the 1024-byte burst at 115200 bit/s.
const long kQueryBoundMs = 500 + (1024 * 10 * 1000 / 115200 + 1) + 5 * 500;
// Wine, loopback and a loaded machine on top.
const long kQueryMarginMs = 2000;
// An answer later than this means the client hung.
const int kPatienceMs = 20000;
// What the client may take on while options are offered without end.
const long kIdleGrowthKb = 4 * 1024;

class WineHostileServer : public WineTest {
protected:
    // Opens the client's device on the server and waits until the server
    // has passed over the burst.
    void Connect(const hostile::Script& script) {
        m_Hostile.reset(new hostile::HostileServer(script));
        ASSERT_EQ(Ask("openpath " + m_Hostile->Url() + " 6"), "openpath 0");
        ASSERT_TRUE(m_Hostile->WaitForBurst(5000)) << m_Hostile->Trouble();
    }

    // Asks and times the answer. A client that gives none within kPatienceMs
    // has hung on the server: the server is stopped, which resets the
    // connection and ends the client's waits on it, and the case ends.
    std::string AskTimed(const std::string& line, long* ms) {
        const auto start = std::chrono::steady_clock::now();
        const std::string answer = Ask(line, kPatienceMs);
        *ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
        if (answer == "<timeout>") {
            m_Hung = true;
            if (m_Hostile) {
                m_Hostile->Stop();
            }
        }
        return answer;
    }

    // Closes the client's connection and stops the server.
    void Release() {
        if (!m_Hostile) {
            return;
        }
        if (!m_Hung) {
            EXPECT_EQ(Ask("close"), "close 0 connected=0");
        }
        EXPECT_EQ(m_Hostile->Trouble(), "");
        m_Hostile->Stop();
        m_Hostile.reset();
    }

    void TearDown() override {
        Release();
        // The same client on a well-behaved server, unless it hung or died.
        if (m_Client && !m_Hung) {
            const long rss = winetest::ResidentKb(m_Client->Pid());
            EXPECT_GT(rss, 0) << "the client has ended";
            if (rss > 0) {
                vsim::TcpServer good(m_Sim->SlavePath());
                m_Sim->SetChannelDelay(0, 1234);
                EXPECT_EQ(Ask("openpath " + good.Url() + " 6"), "openpath 0");
                EXPECT_EQ(Ask("ch A query"), "ch A query 1");
                EXPECT_EQ(DelayCountsA(), 1234);
                EXPECT_EQ(Ask("close"), "close 0 connected=0");
            }
        }
        WineTest::TearDown();
    }

    // Channel A is queried, within its bound, and its delay taken.
    void ExpectQueryAnsweredWell() {
        long ms = 0;
        EXPECT_EQ(AskTimed("ch A query", &ms), "ch A query 1");
        ASSERT_FALSE(m_Hung);
        EXPECT_LE(ms, kQueryBoundMs + kQueryMarginMs);
        EXPECT_EQ(DelayCountsA(), hostile::kGoodCounts);
    }

    // Channel A's last delay in clock counts, as the client holds it; -1
    // without such an answer.
    long long DelayCountsA() {
        const std::vector<std::string> words = Words(Ask("delay A"));
        return words.size() == 3 ? std::llround(std::atof(words[2].c_str()) * kDefaultClockHz) : -1;
    }

    std::unique_ptr<hostile::HostileServer> m_Hostile;
    bool m_Hung = false;
};

// The server offers an option without end (WILL 99, then DO 99, each
// refused once by the host) while the client is idle; then answers well.
TEST_F(WineHostileServer, OptionsOfferedWithoutEndTakeNoMemoryAndTheConnectionServes) {
    const struct {
        const char* name;
        hostile::Bytes offer;
    } offers[] = {{"WILL 99", {255, 251, 99}}, {"DO 99", {255, 253, 99}}};
    for (const auto& offer : offers) {
        SCOPED_TRACE(offer.name);
        ASSERT_NO_FATAL_FAILURE(
            Connect({hostile::Link::kRfc2217, hostile::Act::kFloodWhileIdle, {}, offer.offer}));
        const long before = winetest::ResidentKb(m_Client->Pid());
        ASSERT_GT(before, 0);
        ASSERT_TRUE(m_Hostile->WaitForFloodEnd(hostile::kIdleFloodMs + 10000));
        const long after = winetest::ResidentKb(m_Client->Pid());
        ASSERT_GT(after, 0) << "the client ended during the offers";
        std::cout << offer.name << ": " << m_Hostile->Flooded() / 3 << " offers, client grew by "
                  << after - before << " KiB\n";
        EXPECT_LE(after - before, kIdleGrowthKb);
        ExpectQueryAnsweredWell();
        Release();
    }
}

// An open report candidate whose delay bytes hold an answer's header, then a
// read whose first byte ends the candidate and whose rest are answers: more
// answer bytes than the read held. None is channel A's delay, so the first
// attempt fails and the retry, answered well, succeeds. Three connections.
TEST_F(WineHostileServer, BytesThatOverrunOneReadLeaveTheQueryToItsRetry) {
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_NO_FATAL_FAILURE(Connect({hostile::Link::kRaw, hostile::Act::kOverflow, {}, {}}));
        ExpectQueryAnsweredWell();
        Release();
    }
}

// Zero bytes, neither answers nor reports, as fast as the socket takes them
// from the first request on: the query fails within its bound. The client's
// memory says nothing here: wine_client keeps every unasked byte it is
// handed, and these zeros are handed over.
TEST_F(WineHostileServer, AZeroByteFloodFailsTheQueryWithinItsBound) {
    ASSERT_NO_FATAL_FAILURE(
        Connect({hostile::Link::kRaw, hostile::Act::kFloodAfterRequest, {}, {0x00}}));
    long ms = 0;
    EXPECT_EQ(AskTimed("ch A query", &ms), "ch A query 0");
    ASSERT_FALSE(m_Hung) << "the query hung under the flood";
    std::cout << "query under a flood of " << (m_Hostile->Flooded() >> 20) << " MiB: " << ms
              << " ms\n";
    EXPECT_LE(ms, kQueryBoundMs + kQueryMarginMs) << "bound " << kQueryBoundMs << " ms";
    EXPECT_EQ(Ask("outcome"), "outcome " + std::to_string(CSerDev::kWrongLead));
    EXPECT_GT(m_Hostile->Flooded(), 0u);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new WineEnvironment);
    return RUN_ALL_TESTS();
}
