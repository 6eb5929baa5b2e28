// End to end under Wine: veltor.dll, cross-built for 32-bit Windows, in a
// Windows host program (wine_client.exe) run by Wine, talks over a Wine COM
// port to the simulated instrument on a pseudo-terminal. Each test checks the
// client's answers and what the instrument received and did.
//
// Not tested here: the exclusive open of a port. Wine 8 lets a second
// CreateFileA of a COM port that is already open succeed on a
// pseudo-terminal, so the refusal is tested natively only.
#include <gtest/gtest.h>
#include <veltor/CVeltor.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "sim/Simulator.h"
#include "tests/wine/WineHost.h"

#ifndef VELTOR_WINE_CLIENT
#error "VELTOR_WINE_CLIENT must name the cross-built wine_client.exe"
#endif

namespace {

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
        static int nextPort = 40;
        m_Port = nextPort++;
        m_Sim.reset(new vsim::Simulator);
        ASSERT_TRUE(WineSession::LinkComPort(m_Port, m_Sim->SlavePath()));
        m_Client.reset(new WineClient(VELTOR_WINE_CLIENT));
        ASSERT_TRUE(m_Client->Started()) << "cannot start wine " << VELTOR_WINE_CLIENT;
    }

    void TearDown() override {
        if (m_Client) {
            const int status = m_Client->Finish();
            EXPECT_EQ(status, 0) << "the client did not end cleanly";
            if (HasFailure()) {
                std::cerr << "The client's error output:\n" << m_Client->ErrorOutput();
            }
        }
        WineSession::LinkComPort(m_Port, "");
        // The pseudo-terminal stays open until the Wine server has stopped.
        WineSession::Keep(std::move(m_Sim));
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
        // what, faults, tries, timeout, ok, tries left, count, frames, max ms, min ms
        {"answered at once",                      {},                 5, 500, 1, 5, 3, 1, 400, 0},
        {"silence: every attempt times out",      times(silent, 5),   5, 150, 0, 0, 0, 5, -1, 700},
        {"attempt count 0 still tries once",      {silent},           0, 150, 0, -1, 0, 1, -1, 100},
        {"negative answers fail without waiting", times(negative, 5), 5, 3000, 0, 0, 0, 5, 2500, 0},
        {"answer split byte by byte",             {split},            5, 500, 1, 5, 3, 1, -1, 0},
        {"header only: fails after one timeout",  {headerOnly},       1, 200, 0, 0, 2, 1, -1, 150},
        {"wrong lead, then a good answer",        {wrongLead},        5, 500, 1, 4, 3, 2, -1, 0},
        {"bad checksum, then a good answer",      {badSum},           5, 500, 1, 4, 3, 2, -1, 0},
        {"line noise before the answer",          {noise},            5, 500, 1, 4, 3, 2, -1, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_Sim->ClearFaults();
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

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new WineEnvironment);
    return RUN_ALL_TESTS();
}
