// Device-wide and channel commands, queries, delay reports and the default
// timing mode, end to end.
#include "e2e_support.h"

namespace e2e {
namespace {

using vsim::Fault;
using vsim::FaultKind;

using DeviceCommands = Connected;

TEST_F(DeviceCommands, EachCommandChangesTheInstrument) {
    struct Step {
        const char* name;
        bool (CVeltor::*command)();
        Bytes payload;
        bool outputs;
        bool locked;
    };
    const Step steps[] = {
        {"enable outputs", &CVeltor::CmdEnableOutputs, {0x80}, true, false},
        {"lock", &CVeltor::CmdLockFP, {0x50}, true, true},
        {"disable outputs", &CVeltor::CmdDisableOutputs, {0x90}, false, true},
        {"unlock", &CVeltor::CmdUnlockFP, {0x58}, false, false},
        {"reset all", &CVeltor::CmdResetAll, {0x70}, false, false},
    };
    for (const Step& s : steps) {
        sim.ClearLog();
        EXPECT_TRUE((device.*s.command)()) << s.name;
        ASSERT_EQ(Payloads(), std::vector<Bytes>{s.payload}) << s.name;
        EXPECT_EQ(sim.State().outputsEnabled, s.outputs) << s.name;
        EXPECT_EQ(sim.State().panelLocked, s.locked) << s.name;
    }
    EXPECT_EQ(sim.State().resetAllCount, 1u);
}

TEST_F(DeviceCommands, ClockOptionsPayload) {
    EXPECT_TRUE(device.CmdSetClock());
    SGeneral* general = device.GetPropA();
    general->nClockAB = 1;
    general->nClockCD = 2;
    general->nClockEF = 3;
    general->nClockGH = 1;
    general->bLockFP = true;
    EXPECT_TRUE(device.CmdSetClock());
    const std::vector<Bytes> expected = {
        {0x10, 0x00, 0x00, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67},
        {0x10, 0x20, 0x79, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67},
    };
    EXPECT_EQ(Payloads(), expected);
    EXPECT_EQ(sim.State().clockSources, 0x79);
    EXPECT_EQ(sim.State().clockFlags, 0x20);
    EXPECT_EQ(device.GetClockFrequencyHz('G'), 3125000.0);
}

TEST_F(DeviceCommands, ClockOptionsAllowASecondPerWait) {
    Fault slow = Make(FaultKind::Delay);
    slow.delayMs = 600;
    sim.QueueFault(slow);
    EXPECT_TRUE(device.CmdSetClock());
    EXPECT_EQ(sim.FrameCount(), 1u);

    // A late answer fails a command that allows 500 ms per wait.
    sim.ClearLog();
    Fault late = Make(FaultKind::Delay);
    late.delayMs = kLateAnswerMs;
    sim.QueueFault(late);
    const unsigned char payload = 0x80;
    CCommand* command = new CCommand(0xD8, &payload, 1, nullptr, 0, 500, 1);
    EXPECT_FALSE(device.DoCommand(command));
    delete command;
}

TEST_F(DeviceCommands, ChannelCommands) {
    struct Step {
        char letter;
        bool (CChannel::*command)();
        Bytes payload;
    };
    const Step steps[] = {
        {'A', &CChannel::CmdEnable, {0x88, 0x08, 0x00}},
        {'h', &CChannel::CmdEnable, {0x8F, 0x08, 0x00}},
        {'H', &CChannel::CmdDisable, {0x8F, 0x0E, 0x00}},
        {'C', &CChannel::CmdForceTrigger, {0x8A, 0x0C, 0x00}},
        {'C', &CChannel::CmdForceTrigger, {0x8A, 0x0C, 0x00}},
        {'D', &CChannel::CmdReset, {0x8B, 0x09, 0x00}},
    };
    for (const Step& s : steps) {
        EXPECT_TRUE((device.GetChannel(s.letter)->*s.command)()) << s.letter;
    }
    std::vector<Bytes> expected;
    for (const Step& s : steps) {
        expected.push_back(s.payload);
    }
    EXPECT_EQ(Payloads(), expected);
    const vsim::InstrumentState state = sim.State();
    EXPECT_TRUE(state.ch[0].enabled);
    EXPECT_FALSE(state.ch[7].enabled);
    EXPECT_EQ(state.ch[2].triggerCount, 2u);
    EXPECT_EQ(state.ch[3].resetCount, 1u);
}

// A forced trigger fires the channel: one call never sends it again once
// the instrument may have carried it out. A refusal (not carried out) and a
// swallowed request are the only first answers after which it may go again
// (the second: the host cannot tell it from a lost answer, so it does not).
TEST_F(DeviceCommands, AForcedTriggerIsCarriedOutAtMostOncePerCall) {
    vsim::Fault late = Make(FaultKind::Delay);
    late.delayMs = kLateAnswerMs;  // beyond the attempt's 500 ms
    struct Case {
        const char* name;
        vsim::Fault first;
        bool ok;
        size_t frames;      // trigger requests the instrument received
        uint32_t fired;     // triggers it carried out
        bool mayHaveFired;  // the message says the trigger may have fired
    };
    const Case cases[] = {
        {"refused, then answered", Make(FaultKind::Negative), true, 2, 1, false},
        {"bad checksum", Make(FaultKind::BadChecksum), false, 1, 1, true},
        {"cut after the header", Make(FaultKind::HeaderOnly), false, 1, 1, true},
        {"answered late", late, false, 1, 1, true},
        {"swallowed", Make(FaultKind::NoAnswer), false, 1, 0, true},
    };
    uint32_t firedBefore = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A late answer of the case before is out of the way first.
        ASSERT_TRUE(device.GetChannel('B')->CmdEnable());
        firedBefore = sim.State().ch[2].triggerCount;
        sim.ClearLog();
        sim.QueueFault(c.first);
        EXPECT_EQ(device.GetChannel('C')->CmdForceTrigger(), c.ok) << device.GetLastError();
        EXPECT_EQ(sim.FrameCount(), c.frames);
        EXPECT_EQ(sim.State().ch[2].triggerCount - firedBefore, c.fired);
        const std::string error = device.GetLastError();
        EXPECT_EQ(
            error.find("the trigger may or may not have been carried out") != std::string::npos,
            c.mayHaveFired)
            << error;
        EXPECT_EQ(error.rfind("channel C: forcing the trigger: ", 0) == 0, !c.ok) << error;
    }
}

TEST_F(DeviceCommands, QueryStoresTheDelayForThePairsClock) {
    sim.SetChannelDelay(0, 4000);
    sim.SetChannelDelay(5, 0xFFFFFFFF);
    device.GetPropA()->nClockEF = 1;
    EXPECT_TRUE(device.GetChannel('A')->CmdQuery());
    EXPECT_TRUE(device.GetChannel('F')->CmdQuery());
    EXPECT_DOUBLE_EQ(device.GetChannel('A')->GetLastDelay(), 2e-05);
    EXPECT_DOUBLE_EQ(device.GetChannel('F')->GetLastDelay(), 4294967295.0 / 3125000.0);
    EXPECT_EQ(Payloads()[0], (Bytes{0x40, 0x0B, 0x00}));

    // A failed query leaves the last delay as it was.
    sim.QueueFaults(Make(FaultKind::NoAnswer), 5);
    sim.SetChannelDelay(0, 8000);
    EXPECT_FALSE(device.GetChannel('A')->CmdQuery());
    EXPECT_DOUBLE_EQ(device.GetChannel('A')->GetLastDelay(), 2e-05);
}

using DelayReports = Connected;

TEST_F(DelayReports, ReportsWhileIdleUpdateExactlyTheirChannels) {
    Bytes bad = Report(4, 999);
    bad[7] ^= 0x5A;
    const Bytes two = [] {
        Bytes b = Report(1, 1000);
        const Bytes r = Report(6, 3000);
        b.insert(b.end(), r.begin(), r.end());
        return b;
    }();
    const Bytes afterNoise = [] {
        Bytes b = {0x00, 0xFF, 0x13, 0x11, 0xAA};
        const Bytes r = Report(3, 5000);
        b.insert(b.end(), r.begin(), r.end());
        return b;
    }();
    const Bytes split = Report(7, 7000);

    std::size_t sent = 0;
    sim.SendDelayReport(2, 4000);
    sent += 8;
    sim.SendBytes(two);
    sent += two.size();
    sim.SendBytes(bad);
    sent += bad.size();
    sim.SendBytes(afterNoise);
    sent += afterNoise.size();
    sim.SendChunks({Bytes(split.begin(), split.begin() + 3), Bytes(split.begin() + 3, split.end())},
                   20);
    sent += split.size();
    ASSERT_TRUE(device.WaitForUnsolicited(sent));

    const double expected[8] = {0, 1000 / 200e6, 4000 / 200e6, 5000 / 200e6, 0,
                                0, 3000 / 200e6, 7000 / 200e6};
    for (int i = 0; i < 8; ++i) {
        EXPECT_DOUBLE_EQ(device.GetChannel(static_cast<char>('A' + i))->GetLastDelay(), expected[i])
            << static_cast<char>('A' + i);
    }
}

TEST(DefaultMode, AChannelWithoutAnyModeSendsNothing) {
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_NO_FATAL_FAILURE(ConnectPastTheBurst(sim, device));
    CChannel* a = device.GetChannel('A');
    EXPECT_TRUE(a->CmdSetTimingMode());
    EXPECT_EQ(sim.State().ch[0].modeName, "null");

    CTimingMode* taken = CChannel::SetDefaultTimingMode(nullptr);
    ASSERT_NE(taken, nullptr);
    sim.ClearLog();
    EXPECT_FALSE(a->CheckParameters());
    EXPECT_FALSE(a->CmdSetTimingMode());
    EXPECT_EQ(sim.FrameCount(), 0u);
    // Back in place, the device releases it at its end.
    CChannel::SetDefaultTimingMode(taken);
}

TEST(DefaultMode, TheDefaultLivesAsLongAsAnyDevice) {
    vsim::Simulator sim;
    CVeltor* first = new CVeltor;
    CVeltor second;
    EXPECT_TRUE(second.GetChannel('A')->CheckParameters());
    // Destroying one device leaves the default to the others.
    delete first;
    ASSERT_EQ(second.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    EXPECT_TRUE(second.GetChannel('A')->CmdSetTimingMode());
    EXPECT_EQ(sim.State().ch[0].modeName, "null");
    // A default the host installs stays the host's, and stays installed
    // when a device is made (the library makes some for itself: a port
    // probe, an offline check).
    CToggle mine;
    CTimingMode* devices = CChannel::SetDefaultTimingMode(&mine);
    {
        CVeltor third;
        EXPECT_EQ(CChannel::SetDefaultTimingMode(&mine), &mine);
    }
    EXPECT_EQ(CChannel::SetDefaultTimingMode(devices), &mine);
    // Without one installed, a device made installs the devices' own.
    CChannel::SetDefaultTimingMode(nullptr);
    {
        CVeltor fourth;
        EXPECT_EQ(CChannel::SetDefaultTimingMode(devices), devices);
    }
}

}  // namespace
}  // namespace e2e
