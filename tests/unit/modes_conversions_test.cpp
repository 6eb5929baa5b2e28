// Channel indices, time conversions and copying of the timing modes and their
// records.
#include <gtest/gtest.h>
#include <veltor/CClock.h>
#include <veltor/CValidate.h>
#include <veltor/CVeltor.h>
#include <veltor/CountModes.h>
#include <veltor/DelayModes.h>
#include <veltor/Props.h>
#include <veltor/SimpleModes.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "modes_support.h"

using namespace modes_test;

namespace {

// Reaches the protected conversions.
struct CProbe : CTimingMode {
    using CTimingMode::GetClicks;
    using CTimingMode::GetID;
    using CTimingMode::GetRealTime;
};

TEST(ModeConversions, ChannelIndex) {
    const struct {
        char cLetter;
        unsigned char nIndex;
    } rows[] = {
        {'A', 0},
        {'C', 2},
        {'c', 2},
        {'H', 7},
        {'h', 7},
        {'a', 0},
        {'I', 0xFF},
        {'i', 0xFF},
        {'@', 0xFF},
        {'`', 0xFF},
        {'\0', 0xFF},
        {'\3', 0xFF},
        {static_cast<char>(0xFF), 0xFF},
    };
    CProbe probe;
    for (const auto& row : rows) {
        EXPECT_EQ(probe.GetID(row.cLetter), row.nIndex) << static_cast<int>(row.cLetter);
    }
}

// Times given as multiples of one count, so every clock source has the same
// rows: the nearest count, halves up, and saturation instead of overflow.
TEST(ModeConversions, ClicksRoundAndSaturate) {
    const struct {
        double dCounts;
        unsigned int nExpected;
    } rows[] = {
        {0.0, 0},
        {-0.0, 0},
        {0.4, 0},
        {0.5, 1},
        {3.4, 3},
        {3.5, 4},
        {4294967295.0, 4294967295u},
        {4294967295.4, 4294967295u},
        {4294967295.6, 4294967295u},
        {1e15, 4294967295u},
        {-0.4, 0},
        {-0.7, 0},
        {-1.0, 0},
        {-1e15, 0},
    };
    for (const SClockSource& source : kClockSources) {
        SCOPED_TRACE(source.szName);
        CVeltor device;
        UseClock(device, source);
        const double hz = device.GetClockFrequencyHz(source.cChannel);
        CProbe probe;
        for (const auto& row : rows) {
            EXPECT_EQ(probe.GetClicks(row.dCounts / hz, &device, source.cChannel), row.nExpected)
                << row.dCounts << " counts";
        }
    }
}

TEST(ModeConversions, ClicksOfTimesThatAreNoNumbers) {
    CVeltor device;
    CProbe probe;
    EXPECT_EQ(probe.GetClicks(std::numeric_limits<double>::quiet_NaN(), &device, 'A'), 0u);
    EXPECT_EQ(probe.GetClicks(std::numeric_limits<double>::infinity(), &device, 'A'), 4294967295u);
    EXPECT_EQ(probe.GetClicks(-std::numeric_limits<double>::infinity(), &device, 'A'), 0u);
}

TEST(ModeConversions, WithoutAClockNoConversion) {
    CVeltor device;
    device.GetPropA()->nClockAB = 2;
    CProbe probe;
    for (double reference : {0.0, -1e6, std::numeric_limits<double>::quiet_NaN()}) {
        device.GetPropA()->dRefClockHz = reference;
        EXPECT_EQ(probe.GetClicks(1.0, &device, 'A'), 0u);
        EXPECT_TRUE(std::isnan(probe.GetRealTime(0, &device, 'A')));
    }
    EXPECT_EQ(probe.GetClicks(1.0, nullptr, 'C'), 0u);
    EXPECT_EQ(probe.GetClicks(1.0, &device, 'J'), 0u);
    EXPECT_TRUE(std::isnan(probe.GetRealTime(100, nullptr, 'C')));
    EXPECT_TRUE(std::isnan(probe.GetRealTime(100, &device, 'J')));
}

// Copying must reach every record of a mode, not only the base.
template <class Mode>
void ExpectCopies(void (*alter)(Mode&)) {
    CVeltor device;
    Mode source;
    source.m_nReserved = 77;
    alter(source);
    const Bytes expected = Payload(source, &device, 'B');

    Mode constructed(source);
    EXPECT_EQ(constructed.m_nReserved, 77);
    EXPECT_EQ(ToHex(Payload(constructed, &device, 'B')), ToHex(expected));

    Mode assigned;
    assigned = source;
    EXPECT_EQ(assigned.m_nReserved, 77);
    EXPECT_EQ(ToHex(Payload(assigned, &device, 'B')), ToHex(expected));
    // Otherwise the comparisons above would prove nothing.
    Mode untouched;
    EXPECT_NE(ToHex(Payload(untouched, &device, 'B')), ToHex(expected));
}

TEST(ModeCopies, EveryModeCopiesReservedAndRecords) {
    ExpectCopies<CNull>([](CNull& m) { m.m_Null.bInvert = true; });
    ExpectCopies<CPassive>([](CPassive& m) { m.m_Passive.bInvert = true; });
    ExpectCopies<CToggle>([](CToggle& m) { m.m_Toggle.bInvert = true; });
    ExpectCopies<CCount>([](CCount& m) { m.m_Counter.nMode = 2; });
    ExpectCopies<CUpDown>([](CUpDown& m) {
        m.m_Scaling.nSecond = 9;
        m.m_Trigger.nValue = 77;
        m.m_Dly.dDuration = 1e-3;
    });
    ExpectCopies<CDelayDurate>([](CDelayDurate& m) {
        m.m_Trigger.nKind = 1;
        m.m_Sweep.dSweep = 1e-3;
        m.m_Dly.dDelay = 1e-3;
    });
    ExpectCopies<CDynDelayDurate>([](CDynDelayDurate& m) {
        m.m_Sweep.bEnable = true;
        m.m_Dly.bModeBit3 = true;
        m.m_Averaging.nAverage = 5;
    });
    ExpectCopies<CValidate>([](CValidate& m) {
        m.m_Validate.dDelay = 1e-3;
        m.m_Trigger.bOption1 = true;
    });
    ExpectCopies<CClock>([](CClock& m) { m.m_Clock.dDuration = 2e-5; });
}

void FillText(char* text, const char* start, char filler) {
    std::memset(text, filler, 4096);
    std::strcpy(text, start);
}

TEST(ModeCopies, CounterCopiesWhatItDoesNotSend) {
    CCount source;
    source.m_Counter.bOption = true;
    source.m_Counter.dMeasured = 0.25;
    source.m_Counter.nSetting = -3;
    FillText(source.m_Counter.szText, "counter", 'x');
    CCount copy(source);
    EXPECT_TRUE(copy.m_Counter.bOption);
    EXPECT_EQ(copy.m_Counter.dMeasured, 0.25);
    EXPECT_EQ(copy.m_Counter.nSetting, -3);
    EXPECT_EQ(std::memcmp(copy.m_Counter.szText, source.m_Counter.szText, 4096), 0);
}

TEST(ModeCopies, TextBuffersAreCopiedWhole) {
    SLogicProp source;
    FillText(source.szTextA, "A = IN1", 'a');
    FillText(source.szTextB, "", 'b');

    SLogicProp copied;
    copied = source;
    EXPECT_EQ(std::memcmp(&copied, &source, sizeof source), 0);
    EXPECT_EQ(sizeof source, 8192u);

    SLogicProp moved;
    SLogicProp temporary = source;
    moved = std::move(temporary);
    EXPECT_EQ(std::memcmp(&moved, &source, sizeof source), 0);

    SCounterProp counter;
    FillText(counter.szText, "n", 'z');
    SCounterProp counterMoved;
    counterMoved = std::move(counter);
    EXPECT_EQ(counterMoved.szText[4095], 'z');
}

TEST(ModeCopies, RecordsStartEmpty) {
    const SLogicProp logic;
    const SCounterProp counter;
    EXPECT_EQ(logic.szTextA[0], '\0');
    EXPECT_EQ(logic.szTextB[0], '\0');
    EXPECT_EQ(counter.szText[0], '\0');
    EXPECT_EQ(counter.dMeasured, 0.0);
}

}  // namespace
