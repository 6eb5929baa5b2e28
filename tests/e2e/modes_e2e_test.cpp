// Every timing mode sent to the simulated instrument arrives with the times
// it was given, at every clock source.
#include <cmath>
#include <memory>

#include "e2e_support.h"

namespace e2e {
namespace {

struct ClockSetup {
    const char* name;
    int code;
    double referenceHz;
    double hz;
};

const ClockSetup kClocks[] = {
    {"200 MHz", 0, 100e6, 200e6},
    {"3.125 MHz", 1, 100e6, 3.125e6},
    {"twice a 10 MHz reference", 2, 10e6, 20e6},
    {"a 64th of twice 80 MHz", 3, 80e6, 2.5e6},
};

class ModesEndToEnd : public Connected, public ::testing::WithParamInterface<ClockSetup> {
protected:
    void SetUp() override {
        Connected::SetUp();
        const ClockSetup& clock = GetParam();
        SGeneral* general = device.GetPropA();
        general->nClockAB = general->nClockCD = general->nClockEF = general->nClockGH = clock.code;
        general->dRefClockHz = clock.referenceHz;
        sim.SetReferenceHz(clock.referenceHz);
        ASSERT_TRUE(device.CmdSetClock());
        hz = clock.hz;
    }
    void TearDown() override {
        for (char letter = 'A'; letter <= 'H'; ++letter) {
            device.GetChannel(letter)->SetTimingMode(nullptr);
        }
    }
    // A time `extra` counts past a whole count (toward the inside of its
    // range), so the rounding to the nearest count is checked too.
    double Seconds(double counts, double extra = 0.3) const { return (counts + extra) / hz; }

    double hz = 0.0;
};

TEST_P(ModesEndToEnd, EachModeArrivesWithItsTimes) {
    CDelayDurate delay;
    delay.m_Dly.dDelay = Seconds(5000);
    delay.m_Dly.dDuration = Seconds(20000);
    delay.m_Sweep.bEnable = true;
    delay.m_Sweep.dSweep = Seconds(100);
    CDynDelayDurate dynamic;
    dynamic.m_Dly.dDelay = Seconds(4);
    dynamic.m_Dly.dDuration = Seconds(1539);
    dynamic.m_Averaging.nAverage = 7;
    CValidate validate;
    validate.m_Validate.dDelay = Seconds(512);
    validate.m_Validate.dDuration = Seconds(1536);
    CClock clock;
    clock.m_Clock.dDelay = Seconds(128);
    clock.m_Clock.dDuration = Seconds(10485720, -0.3);
    CUpDown updown;
    updown.m_Dly.dDelay = Seconds(-16777215, 0.3);
    updown.m_Dly.dDuration = Seconds(1600);
    CCount count;
    CToggle toggle;
    CPassive passive;

    struct Case {
        char letter;
        CTimingMode* mode;
        const char* name;
        double delayCounts;
        double durationCounts;
    };
    const Case cases[] = {
        {'A', &delay, "delay", 5000, 20000},
        {'B', &dynamic, "dyndelay", 4, 1539},
        {'C', &validate, "validate", 512, 1536},
        {'D', &clock, "clock", 128, 10485720},
        {'E', &updown, "updown", -16777215, 1600},
        {'F', &count, "count", 0, 0},
        {'G', &toggle, "toggle", 0, 0},
        {'H', &passive, "passive", 0, 0},
    };
    for (const Case& c : cases) {
        device.GetChannel(c.letter)->SetTimingMode(c.mode);
        ASSERT_TRUE(device.GetChannel(c.letter)->CmdSetTimingMode()) << c.name;
    }
    const vsim::InstrumentState state = sim.State();
    for (const Case& c : cases) {
        const vsim::ChannelState& ch = state.ch[c.letter - 'A'];
        EXPECT_EQ(ch.modeName, c.name);
        EXPECT_DOUBLE_EQ(ch.clockHz, hz) << c.name;
        // Times arrive to the count, so within one count in seconds.
        EXPECT_NEAR(ch.delaySeconds, c.delayCounts / hz, 0.5 / hz) << c.name;
        EXPECT_NEAR(ch.durationSeconds, c.durationCounts / hz, 0.5 / hz) << c.name;
    }
    EXPECT_EQ(state.ch[0].sweepCounts, 100u);
    EXPECT_EQ(state.ch[1].auxByte, 7);
    EXPECT_EQ(state.ch[4].signedDelay, -16777215);
}

TEST_P(ModesEndToEnd, OneCountBeyondARangeSendsNothing) {
    CDelayDurate delay;
    delay.m_Dly.dDuration = 1538 / hz;
    CClock clock;
    clock.m_Clock.dDuration = 10485721 / hz;
    CValidate validate;
    validate.m_Validate.dDelay = 511 / hz;
    CUpDown updown;
    updown.m_Dly.dDelay = -16777216 / hz;
    CTimingMode* modes[] = {&delay, &clock, &validate, &updown};
    sim.ClearLog();
    for (CTimingMode* mode : modes) {
        device.GetChannel('A')->SetTimingMode(mode);
        EXPECT_FALSE(device.GetChannel('A')->CmdSetTimingMode());
    }
    EXPECT_EQ(sim.FrameCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ClockSources, ModesEndToEnd, ::testing::ValuesIn(kClocks),
                         [](const ::testing::TestParamInfo<ClockSetup>& info) {
                             return "code" + std::to_string(info.param.code);
                         });

using SharedModes = Connected;

TEST_F(SharedModes, OneModeObjectOnTwoChannelsGivesEachItsIndex) {
    CDelayDurate shared;
    device.GetChannel('A')->SetTimingMode(&shared);
    device.GetChannel('E')->SetTimingMode(&shared);
    EXPECT_TRUE(device.GetChannel('A')->CmdSetTimingMode());
    EXPECT_TRUE(device.GetChannel('E')->CmdSetTimingMode());
    const std::vector<Bytes> payloads = Payloads();
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[0][0], 0);
    EXPECT_EQ(payloads[1][0], 4);
    EXPECT_EQ(sim.State().ch[4].delayCounts1, 4000u);
    // Attaching null falls back to the default and hands the mode back.
    EXPECT_EQ(device.GetChannel('A')->SetTimingMode(nullptr), &shared);
    EXPECT_EQ(device.GetChannel('A')->GetTimingMode(), nullptr);
    EXPECT_TRUE(device.GetChannel('A')->CmdSetTimingMode());
    EXPECT_EQ(sim.State().ch[0].modeName, "null");
    device.GetChannel('E')->SetTimingMode(nullptr);
}

}  // namespace
}  // namespace e2e
