// Why a command or a connection failed, as GetLastError tells it, and the
// wire trace, against the simulated instrument.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_support.h"

using namespace e2e;

namespace {

class Diagnostics : public Connected {};

TEST_F(Diagnostics, EveryFailedCommandSaysWhichStepChannelAndReason) {
    CDelayDurate tooShort;
    tooShort.m_Dly.dDuration = 1e-9;
    struct Case {
        const char* name;
        std::vector<vsim::FaultKind> faults;  // one per request, in order
        std::function<void(CVeltor&)> prepare;
        std::function<bool(CVeltor&)> command;
        const char* error;
    };
    auto negatives = [](int n) {
        return std::vector<vsim::FaultKind>(n, vsim::FaultKind::Negative);
    };
    const Case cases[] = {
        {"refused channel command", negatives(5), nullptr,
         [](CVeltor& d) { return d.GetChannel('C')->CmdEnable(); },
         "channel C: enabling the channel: refused by the instrument after 5 attempts"},
        {"bad checksum", std::vector<vsim::FaultKind>(5, vsim::FaultKind::BadChecksum), nullptr,
         [](CVeltor& d) { return d.CmdResetAll(); },
         "reseting all channels: the answer's checksum failed after 5 attempts"},
        {"mode out of range inside the whole update, nothing sent for it",
         {},
         [&](CVeltor& d) { d.GetChannel('A')->SetTimingMode(&tooShort); },
         [](CVeltor& d) { return d.CmdUpdateAll(); },
         "update stopped at setting the timing modes (the outputs are off and the panel is "
         "locked; bLockFP and bDisableOutputs stay set: clear them before the next update to get "
         "the outputs on and the panel unlocked): channel A: duration 1e-09 s is outside 7.695e-06 "
         "s to 21.474836475 s (1539 to "
         "4294967295 counts of the 200 MHz clock)"},
        {"logic that cannot compile inside the whole update",
         {},
         [](CVeltor& d) { d.GetChannel('B')->SetChannelLogic("inB = in1 & ;"); },
         [](CVeltor& d) { return d.CmdUpdateAll(); },
         "update stopped at transferring the logic (the outputs are off and the panel is locked; "
         "bLockFP and bDisableOutputs stay set: clear them before the next update to get the "
         "outputs on and the panel unlocked): "
         "channel B: logic: Error--a binary operator lacks its right operand (line 1)"},
        {"success clears the failure",
         {},
         nullptr,
         [](CVeltor& d) { return d.CmdEnableOutputs(); },
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (vsim::FaultKind kind : c.faults) {
            sim.QueueFault(Make(kind));
        }
        if (c.prepare) {
            c.prepare(device);
        }
        EXPECT_EQ(c.command(device), c.error[0] == '\0');
        EXPECT_EQ(device.GetLastError(), c.error);
        device.GetChannel('A')->SetTimingMode(nullptr);
        device.GetChannel('B')->SetChannelLogic("inB = not in2;");
    }
}

TEST(DiagnosticsConnect, AFailedConnectionNamesItsStepAndTheSystemsReason) {
    vsim::Simulator sim;
    const std::string slave = sim.SlavePath();
    CVeltor holder;
    ASSERT_EQ(holder.InitConnection(sim.SlavePath().c_str(), CSerDev::kBaud9600), 0);
    struct Case {
        const char* port;
        int baud;
        int code;
        std::string error;
    };
    const Case cases[] = {
        {"/nonexistent/tty", CSerDev::kBaud115200, -1,
         "/nonexistent/tty: cannot open the port: No such file or directory"},
        {slave.c_str(), CSerDev::kBaud115200, -1,
         slave + ": cannot open the port: held by another program (its lock is taken)"},
        {"/dev/null", CSerDev::kBaud115200, -2,
         "/dev/null: cannot watch the port for received bytes (115200 bit/s): not a terminal (a "
         "serial port or pseudo-terminal)"},
        {"/dev/null", 7, -1,
         "no baud index 7: 0 to 6 stand for 2400 to 115200 bit/s (CSerDev::kBaud2400 .. "
         "kBaud115200)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        CVeltor device;
        EXPECT_EQ(device.InitConnection(c.port, c.baud), c.code);
        EXPECT_EQ(device.GetLastError(), c.error);
    }
}

TEST_F(Diagnostics, TheTraceSeesRequestAnswerAndUnaskedBytesWithTheStatus) {
    std::vector<CSerDev::TraceEvent::Kind> kinds;
    std::vector<Bytes> bytes;
    std::vector<std::string> statuses;
    std::mutex lock;
    device.SetTrace([&](const CSerDev::TraceEvent& e) {
        std::lock_guard<std::mutex> hold(lock);
        kinds.push_back(e.kind);
        bytes.emplace_back(e.bytes, e.bytes + e.count);
        statuses.push_back(e.status);
    });
    ASSERT_TRUE(device.CmdEnableOutputs());
    sim.SendDelayReport(2, 77);
    ASSERT_TRUE(device.WaitForUnsolicited(8));
    device.SetTrace(nullptr);
    ASSERT_TRUE(device.CmdDisableOutputs());  // not traced any more

    std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(kinds.size(), 3u);
    EXPECT_EQ(kinds[0], CSerDev::TraceEvent::kRequest);
    EXPECT_EQ(bytes[0], sim.Frames().at(0).raw);
    EXPECT_EQ(statuses[0], "Enabling outputs...");
    EXPECT_EQ(kinds[1], CSerDev::TraceEvent::kAnswer);
    EXPECT_EQ(bytes[1], sim.Frames().at(0).written);
    EXPECT_EQ(kinds[2], CSerDev::TraceEvent::kUnasked);
    EXPECT_EQ(bytes[2], Report(2, 77));
    EXPECT_EQ(statuses[2], "");
}

}  // namespace
