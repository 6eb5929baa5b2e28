// Logic transfer and the whole-device update, end to end.
#include "e2e_support.h"

namespace e2e {
namespace {

using vsim::FaultKind;

// The operation a payload selects, as a short name.
std::string Operation(const Bytes& payload) {
    const uint8_t op = payload.empty() ? 0xFF : payload[0];
    if (op < 0x08)
        return "mode " + std::string(1, static_cast<char>('A' + op));
    if (op < 0x10)
        return "logic " + std::string(1, static_cast<char>('A' + op - 0x08));
    switch (op) {
        case 0x10:
            return "clock";
        case 0x50:
            return "lock";
        case 0x58:
            return "unlock";
        case 0x80:
            return "enable";
        case 0x90:
            return "disable";
        case 0xC0:
            return "implement";
        default:
            return "other";
    }
}

class Update : public Connected {
protected:
    std::vector<std::string> Sequence() const {
        std::vector<std::string> out;
        for (const Bytes& p : Payloads()) {
            out.push_back(Operation(p));
        }
        return out;
    }
    static std::vector<std::string> Full(bool finish) {
        std::vector<std::string> s = {"lock", "disable"};
        for (char c = 'A'; c <= 'H'; ++c)
            s.push_back(std::string("logic ") + c);
        s.push_back("clock");
        for (char c = 'A'; c <= 'H'; ++c)
            s.push_back(std::string("mode ") + c);
        s.push_back("implement");
        if (finish) {
            s.push_back("enable");
            s.push_back("unlock");
        }
        return s;
    }
};

TEST_F(Update, SendsEverythingInOrderAndLeavesTheInstrumentConfigured) {
    CDelayDurate pulse;
    pulse.m_Dly.dDelay = 1e-6;
    device.GetChannel('B')->SetTimingMode(&pulse);
    ASSERT_TRUE(device.SetGlobalLogic("both = in1 & in2;"));
    ASSERT_TRUE(device.GetChannel('B')->SetChannelLogic("inB = both | outA;"));
    EXPECT_TRUE(device.CmdUpdateAll());
    EXPECT_EQ(Sequence(), Full(true));
    EXPECT_FALSE(device.GetPropA()->bLockFP);
    EXPECT_FALSE(device.GetPropA()->bDisableOutputs);
    // The clock options went out with both flags set.
    EXPECT_EQ(Payloads()[10][1], 0x28);

    const vsim::InstrumentState state = sim.State();
    EXPECT_TRUE(state.outputsEnabled);
    EXPECT_FALSE(state.panelLocked);
    EXPECT_TRUE(state.logicImplemented);
    EXPECT_EQ(state.ch[1].modeName, "delay");
    EXPECT_EQ(state.ch[1].delayCounts1, 200u);
    EXPECT_EQ(state.ch[0].modeName, "null");
    // Channel A's default logic is 'not in1'; channel B's is (in1 & in2) | outA.
    EXPECT_EQ(state.ch[0].activeLogicCode, (Bytes{0xD0}));
    EXPECT_EQ(state.ch[1].activeLogicCode, (Bytes{0xC0, 0x01, 0x48}));
    device.GetChannel('B')->SetTimingMode(nullptr);
}

TEST_F(Update, KeepsThePanelLockedAndOutputsOffWhenAskedTo) {
    device.GetPropA()->bLockFP = true;
    device.GetPropA()->bDisableOutputs = true;
    EXPECT_TRUE(device.CmdUpdateAll());
    EXPECT_EQ(Sequence(), Full(false));
    EXPECT_TRUE(sim.State().panelLocked);
    EXPECT_FALSE(sim.State().outputsEnabled);
    EXPECT_TRUE(device.GetPropA()->bLockFP);
    EXPECT_TRUE(device.GetPropA()->bDisableOutputs);
}

TEST_F(Update, AFailureAtTheClockOptionsStopsWithBothFlagsSet) {
    // Queue: lock, disable, eight logic loads succeed; the clock options are
    // refused at every attempt.
    for (int i = 0; i < 10; ++i)
        sim.QueueFault(Make(FaultKind::None));
    sim.QueueFaults(Make(FaultKind::Negative), 5);
    EXPECT_FALSE(device.CmdUpdateAll());
    const std::vector<std::string> sequence = Sequence();
    ASSERT_EQ(sequence.size(), 15u);
    EXPECT_EQ(sequence.back(), "clock");
    EXPECT_TRUE(device.GetPropA()->bLockFP);
    EXPECT_TRUE(device.GetPropA()->bDisableOutputs);
    for (int i = 0; i < 8; ++i) {
        EXPECT_FALSE(sim.State().ch[i].hasMode);
    }
}

// The instrument reads only the low two bits of a clock-source code, while
// the host converts times at 200 MHz for any code outside 0 to 3: such a code
// would make every time of the pair wrong on the instrument, so it is refused
// before the clock options go out, and nothing after them is sent either.
TEST_F(Update, AClockSourceOutsideZeroToThreeIsNeverSent) {
    const std::string kNames =
        "; only 0 to 3 name a clock (0: 200 MHz, 1: 3.125 MHz, 2: twice the reference clock, "
        "3: one sixty-fourth of source 2)";
    struct Case {
        int SGeneral::*field;
        int code;
        bool update;  // through CmdUpdateAll, else CmdSetClock
        std::string message;
    };
    const Case cases[] = {
        {&SGeneral::nClockCD, 5, false, "clock options: the clock source of pair CD is 5" + kNames},
        {&SGeneral::nClockAB, 4, false, "clock options: the clock source of pair AB is 4" + kNames},
        {&SGeneral::nClockGH, -1, false,
         "clock options: the clock source of pair GH is -1" + kNames},
        {&SGeneral::nClockEF, 7, false, "clock options: the clock source of pair EF is 7" + kNames},
        {&SGeneral::nClockCD, 5, true,
         "update not started, nothing was sent: clock options: the clock source of pair CD is 5" +
             kNames},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        sim.ClearLog();
        const vsim::InstrumentState before = sim.State();
        SGeneral& general = *device.GetPropA();
        general = SGeneral();
        general.*c.field = c.code;
        EXPECT_FALSE(c.update ? device.CmdUpdateAll() : device.CmdSetClock());
        EXPECT_EQ(device.GetLastError(), c.message);
        // Nothing was sent, so the flags are still as the host asked.
        EXPECT_FALSE(general.bLockFP || general.bDisableOutputs);

        // A valid clock request after it is the next frame the instrument
        // sees: nothing of the refused command is still on its way.
        general = SGeneral();
        ASSERT_TRUE(device.CmdSetClock());
        EXPECT_EQ(Sequence(), std::vector<std::string>{"clock"});
        const vsim::InstrumentState after = sim.State();
        EXPECT_EQ(after.clockOptionsReceived, before.clockOptionsReceived + 1);
        EXPECT_EQ(after.clockSources, 0);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(after.ch[i].hasMode, before.ch[i].hasMode);
        }
        if (!c.update) {
            vsim::InstrumentState unchanged = after;
            unchanged.clockOptionsReceived = before.clockOptionsReceived;
            unchanged.requestCount = before.requestCount;
            EXPECT_EQ(unchanged, before);
        }
    }
}

TEST_F(Update, AFailingLockDoesNotStopTheUpdate) {
    sim.QueueFaults(Make(FaultKind::Negative), 5);
    EXPECT_TRUE(device.CmdUpdateAll());
    std::vector<std::string> expected(5, "lock");
    const std::vector<std::string> rest = Full(true);
    expected.insert(expected.end(), rest.begin() + 1, rest.end());
    EXPECT_EQ(Sequence(), expected);
}

TEST_F(Update, BrokenLogicOfChannelCStopsTheTransferAfterB) {
    EXPECT_FALSE(device.GetChannel('C')->SetChannelLogic("inC = nothing;"));
    EXPECT_FALSE(device.CmdTransferAllLogic());
    EXPECT_EQ(Sequence(), (std::vector<std::string>{"logic A", "logic B"}));
    EXPECT_FALSE(device.CmdUpdateAll());
    EXPECT_EQ(device.GetChannel('C')->CheckLogic(), false);
}

TEST_F(Update, AllTimingModesStopAtTheFirstOutOfRange) {
    CDelayDurate bad;
    bad.m_Dly.dDuration = 0.0;
    device.GetChannel('C')->SetTimingMode(&bad);
    EXPECT_FALSE(device.CmdSetAllTimingModes());
    EXPECT_EQ(Sequence(), (std::vector<std::string>{"mode A", "mode B"}));
    device.GetChannel('C')->SetTimingMode(nullptr);
}

TEST_F(Update, LogicLoadsAndImplementFrames) {
    ASSERT_TRUE(device.SetGlobalLogic("x = in1 & in2;"));
    ASSERT_TRUE(device.GetChannel('A')->SetChannelLogic("inA = x | in3;"));
    EXPECT_TRUE(device.GetChannel('A')->CmdTransferLogic());
    EXPECT_TRUE(device.GetChannel('H')->CmdTransferLogic());
    EXPECT_TRUE(device.CmdImplementLogic());
    const std::vector<vsim::Frame> frames = sim.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].payload, (Bytes{0x08, 0x07, 0x04, 0x03, 0xC0, 0x01, 0x42}));
    EXPECT_EQ(frames[1].payload, (Bytes{0x0F, 0x07, 0x02, 0x01, 0xD7}));
    EXPECT_EQ(frames[2].raw, (Bytes{0x25, 0xD8, 0x03, 0xC0, 0x00, 0x3D}));
    // The instrument evaluates channel A's code as (in1 & in2) | in3.
    for (int inputs = 0; inputs < 8; ++inputs) {
        const bool expected = ((inputs & 1) && (inputs & 2)) || (inputs & 4);
        vsim::Instrument evaluator;
        evaluator.HandleRequest(frames[0].raw);
        EXPECT_EQ(evaluator.LogicInput(0, static_cast<uint8_t>(inputs), 0), expected) << inputs;
    }
}

}  // namespace
}  // namespace e2e
