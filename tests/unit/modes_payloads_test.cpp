// Set-timing-mode payloads of the nine modes, byte for byte.
#include <gtest/gtest.h>
#include <veltor/CClock.h>
#include <veltor/CValidate.h>
#include <veltor/CVeltor.h>
#include <veltor/CountModes.h>
#include <veltor/DelayModes.h>
#include <veltor/SimpleModes.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "modes_support.h"

using namespace modes_test;

namespace {

using ModeFactory = std::function<std::unique_ptr<CTimingMode>()>;

template <class Mode>
ModeFactory Make(std::function<void(Mode&)> adjust = [](Mode&) {}) {
    return [adjust] {
        auto mode = std::make_unique<Mode>();
        adjust(*mode);
        return std::unique_ptr<CTimingMode>(std::move(mode));
    };
}

struct SPayloadCase {
    const char* szName;
    ModeFactory make;
    char cChannel;
    const char* szExpected;
};

// All at the 200 MHz clock of code 0; the rest of the 25 bytes is 0.
const SPayloadCase kPayloads[] = {
    {"null default", Make<CNull>(), 'A', "00 0F 16 04"},
    {"null inverted", Make<CNull>([](CNull& m) { m.m_Null.bInvert = true; }), 'B', "01 0F 16 24"},
    {"toggle inverted on H", Make<CToggle>([](CToggle& m) { m.m_Toggle.bInvert = true; }), 'H',
     "07 0F 16 21"},
    {"toggle default", Make<CToggle>(), 'f', "05 0F 16 01"},
    {"passive on c", Make<CPassive>(), 'c', "02 0F 16 05"},
    {"passive inverted", Make<CPassive>([](CPassive& m) { m.m_Passive.bInvert = true; }), 'G',
     "06 0F 16 25"},
    {"count default", Make<CCount>(), 'A', "00 0F 16 F3 07"},
    {"count nMode 1", Make<CCount>([](CCount& m) { m.m_Counter.nMode = 1; }), 'A',
     "00 0F 16 03 07"},
    {"count nMode 2", Make<CCount>([](CCount& m) { m.m_Counter.nMode = 2; }), 'A',
     "00 0F 16 13 07"},
    {"count nMode 255", Make<CCount>([](CCount& m) { m.m_Counter.nMode = 255; }), 'A',
     "00 0F 16 E3 07"},
};

const SPayloadCase kTimedPayloads[] = {
    {"delay default", Make<CDelayDurate>(), 'A',
     "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"delay nKind 1", Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.nKind = 1; }), 'A',
     "00 0F 16 50 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"delay nKind 2", Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.nKind = 2; }), 'A',
     "00 0F 16 00 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"delay nKind 3", Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.nKind = 3; }), 'A',
     "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"delay nValue 2^24+5",
     Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.nValue = (1 << 24) + 5; }), 'A',
     "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 05 00 00 00 00 00 00 00 00 00 00"},
    {"delay nValue 4660", Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.nValue = 4660; }),
     'A', "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 34 12 00 00 00 00 00 00 00 00 00"},
    {"delay nValue -1", Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.nValue = -1; }), 'A',
     "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 FF FF FF 00 00 00 00 00 00 00 00"},
    {"delay nValueMode 0 ignores the flag",
     Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.bValueFlag = true; }), 'A',
     "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"delay nValueMode 1 with flag", Make<CDelayDurate>([](CDelayDurate& m) {
         m.m_Trigger.nValueMode = 1;
         m.m_Trigger.bValueFlag = true;
     }),
     'A', "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 07 00 00 00 00 00 00 00"},
    {"delay nValueMode 1", Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.nValueMode = 1; }),
     'A', "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 03 00 00 00 00 00 00 00"},
    {"delay nValueMode 5", Make<CDelayDurate>([](CDelayDurate& m) { m.m_Trigger.nValueMode = 5; }),
     'A', "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 01 00 00 00 00 00 00 00"},
    {"delay nValueMode -1 with flag", Make<CDelayDurate>([](CDelayDurate& m) {
         m.m_Trigger.nValueMode = -1;
         m.m_Trigger.bValueFlag = true;
     }),
     'A', "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 05 00 00 00 00 00 00 00"},
    {"delay options swapped", Make<CDelayDurate>([](CDelayDurate& m) {
         m.m_Trigger.bOption1 = true;
         m.m_Trigger.bOption2 = false;
     }),
     'A', "00 0F 16 10 02 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"delay inverted with bit 3 on B", Make<CDelayDurate>([](CDelayDurate& m) {
         m.m_Dly.bInvert = true;
         m.m_Dly.bModeBit3 = true;
     }),
     'b', "01 0F 16 38 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"delay sweeping", Make<CDelayDurate>([](CDelayDurate& m) {
         m.m_Sweep.bEnable = true;
         m.m_Sweep.dSweep = 1e-05;
     }),
     'A', "00 0F 16 90 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 D0 07 00 00 00 00 00"},
    {"delay sweep time sent while off",
     Make<CDelayDurate>([](CDelayDurate& m) { m.m_Sweep.dSweep = 5e-06; }), 'A',
     "00 0F 16 10 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 E8 03 00 00 00 00 00"},
    {"delay with a letter naming no channel", Make<CDelayDurate>(), 'I',
     "FF 0F 16 10 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"dyn delay default", Make<CDynDelayDurate>(), 'A',
     "00 0F 16 17 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"dyn delay nAverage 300",
     Make<CDynDelayDurate>([](CDynDelayDurate& m) { m.m_Averaging.nAverage = 300; }), 'A',
     "00 0F 16 17 04 2C A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"dyn delay all flags", Make<CDynDelayDurate>([](CDynDelayDurate& m) {
         m.m_Sweep.bEnable = true;
         m.m_Sweep.dSweep = 2e-05;
         m.m_Dly.bInvert = true;
         m.m_Dly.bModeBit3 = true;
     }),
     'D', "03 0F 16 BF 04 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 A0 0F 00 00 00 00 00"},
    {"up/down default", Make<CUpDown>(), 'A',
     "00 0F 16 13 44 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"up/down negative delay", Make<CUpDown>([](CUpDown& m) { m.m_Dly.dDelay = -2e-05; }), 'A',
     "00 0F 16 13 44 00 60 F0 FF FF D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"up/down negative zero delay", Make<CUpDown>([](CUpDown& m) { m.m_Dly.dDelay = -0.0; }), 'A',
     "00 0F 16 13 44 00 00 00 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"up/down lowest delay",
     Make<CUpDown>([](CUpDown& m) { m.m_Dly.dDelay = -16777215.0 / 200000000.0; }), 'A',
     "00 0F 16 13 44 00 01 00 00 FF D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"up/down first scaling", Make<CUpDown>([](CUpDown& m) { m.m_Scaling.bUseFirst = true; }), 'A',
     "00 0F 16 13 04 10 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"up/down second scaling low byte",
     Make<CUpDown>([](CUpDown& m) { m.m_Scaling.nSecond = 0x1234; }), 'A',
     "00 0F 16 13 44 34 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"up/down trigger", Make<CUpDown>([](CUpDown& m) {
         m.m_Trigger.nKind = 1;
         m.m_Trigger.bOption1 = true;
         m.m_Trigger.bOption2 = false;
         m.m_Trigger.nValue = 0x123456;
         m.m_Trigger.nValueMode = 2;
         m.m_Dly.bInvert = true;
     }),
     'A', "00 0F 16 73 46 00 A0 0F 00 00 D0 07 00 00 56 34 12 01 00 00 00 00 00 00 00"},
    {"validate default", Make<CValidate>(), 'A',
     "00 0F 16 10 44 00 70 17 00 00 70 17 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"validate options", Make<CValidate>([](CValidate& m) {
         m.m_Trigger.bOption1 = true;
         m.m_Trigger.bOption2 = false;
     }),
     'A', "00 0F 16 10 42 00 70 17 00 00 70 17 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"validate flags and kind 1", Make<CValidate>([](CValidate& m) {
         m.m_Validate.bInvert = true;
         m.m_Validate.bModeBit3 = true;
         m.m_Trigger.nKind = 1;
     }),
     'A', "00 0F 16 78 44 00 70 17 00 00 70 17 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    {"validate trigger value", Make<CValidate>([](CValidate& m) {
         m.m_Trigger.nKind = 2;
         m.m_Trigger.nValue = (1 << 24) + 5;
         m.m_Trigger.nValueMode = 1;
         m.m_Trigger.bValueFlag = true;
     }),
     'A', "00 0F 16 00 44 00 70 17 00 00 70 17 00 00 05 00 00 07 00 00 00 00 00 00 00"},
    {"clock default", Make<CClock>(), 'A',
     "00 0F 13 16 00 00 D0 07 00 00 D0 07 00 00 00 00 00 00 00 00 00 A5"},
    {"clock inverted exchanges the times", Make<CClock>([](CClock& m) {
         m.m_Clock.dDuration = 2e-05;
         m.m_Clock.bInvert = true;
     }),
     'A', "00 0F 13 36 00 00 A0 0F 00 00 D0 07 00 00 00 00 00 00 00 00 00 A5"},
    {"clock second count beyond 24 bits",
     Make<CClock>([](CClock& m) { m.m_Clock.dDuration = 0.1; }), 'A',
     "00 0F 13 16 00 00 D0 07 00 00 00 2D 31 01 00 00 00 00 00 00 00 A5"},
};

void ExpectPayloads(const SPayloadCase* begin, const SPayloadCase* end, bool padded) {
    CVeltor device;
    for (const SPayloadCase* row = begin; row != end; ++row) {
        SCOPED_TRACE(row->szName);
        auto mode = row->make();
        Bytes expected = Hex(row->szExpected);
        if (padded) {
            expected.resize(25, 0);
        }
        EXPECT_EQ(ToHex(Payload(*mode, &device, row->cChannel)), ToHex(expected));
    }
}

TEST(ModePayloads, SimpleAndCountModesAt200MHz) {
    ExpectPayloads(std::begin(kPayloads), std::end(kPayloads), true);
}

TEST(ModePayloads, TimedModesAt200MHz) {
    ExpectPayloads(std::begin(kTimedPayloads), std::end(kTimedPayloads), false);
}

std::uint32_t Le32(const Bytes& bytes, std::size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

// Counts of 10, 20 and 30 µs at each clock source (the half rounds up: 62.5
// counts of 20 µs at 3.125 MHz give 63).
struct SClockCounts {
    const SClockSource& source;
    std::uint32_t n10us;
    std::uint32_t n20us;
    std::uint32_t n30us;
};

const SClockCounts kClockCounts[] = {
    {kClockSources[0], 2000, 4000, 6000},
    {kClockSources[1], 31, 63, 94},
    {kClockSources[2], 200, 400, 600},
    {kClockSources[3], 3, 6, 9},
};

TEST(ModePayloads, TimesInCountsOfTheChannelsOwnClock) {
    for (const SClockCounts& row : kClockCounts) {
        SCOPED_TRACE(row.source.szName);
        CVeltor device;
        UseClock(device, row.source);
        const char channel = row.source.cChannel;

        CDelayDurate delay;
        delay.m_Sweep.bEnable = true;
        delay.m_Sweep.dSweep = 3e-05;
        Bytes bytes = Payload(delay, &device, channel);
        EXPECT_EQ(Le32(bytes, 6), row.n20us);
        EXPECT_EQ(Le32(bytes, 10), row.n10us);
        EXPECT_EQ(Le32(bytes, 18), row.n30us);

        CDynDelayDurate dyn;
        dyn.m_Sweep.dSweep = 1e-05;
        bytes = Payload(dyn, &device, channel);
        EXPECT_EQ(Le32(bytes, 6), row.n20us);
        EXPECT_EQ(Le32(bytes, 10), row.n10us);
        EXPECT_EQ(Le32(bytes, 18), row.n10us);

        CUpDown upDown;
        bytes = Payload(upDown, &device, channel);
        EXPECT_EQ(Le32(bytes, 6), row.n20us);
        EXPECT_EQ(Le32(bytes, 10), row.n10us);
        upDown.m_Dly.dDelay = -2e-05;
        EXPECT_EQ(Le32(Payload(upDown, &device, channel), 6), 0u - row.n20us);

        CValidate validate;
        bytes = Payload(validate, &device, channel);
        EXPECT_EQ(Le32(bytes, 6), row.n30us);
        EXPECT_EQ(Le32(bytes, 10), row.n30us);

        CClock clock;
        clock.m_Clock.dDelay = 3e-05;
        bytes = Payload(clock, &device, channel);
        EXPECT_EQ(Le32(bytes, 6), row.n30us);
        EXPECT_EQ(Le32(bytes, 10) & 0xFFFFFF, row.n10us);
        clock.m_Clock.bInvert = true;
        bytes = Payload(clock, &device, channel);
        EXPECT_EQ(Le32(bytes, 6), row.n10us);
        EXPECT_EQ(Le32(bytes, 10) & 0xFFFFFF, row.n30us);
    }
}

TEST(ModePayloads, UntimedModesIgnoreTheClock) {
    CVeltor reference;
    for (const SClockSource& source : kClockSources) {
        SCOPED_TRACE(source.szName);
        CVeltor device;
        UseClock(device, source);
        for (const SPayloadCase& row : kPayloads) {
            SCOPED_TRACE(row.szName);
            auto mode = row.make();
            Bytes bytes = Payload(*mode, &device, source.cChannel);
            EXPECT_EQ(ToHex(bytes), ToHex(Payload(*mode, &reference, source.cChannel)));
        }
    }
}

TEST(ModePayloads, WithoutALetterDynDelayWritesNothing) {
    CVeltor device;
    CDynDelayDurate mode;
    unsigned char buffer[64];
    std::memset(buffer, 0xCC, sizeof buffer);
    EXPECT_EQ(mode.MakeCommand(buffer, &device, static_cast<char>(0xFF)), 0);
    EXPECT_EQ(ToHex(Bytes(buffer, buffer + 64)), ToHex(Bytes(64, 0xCC)));

    // The delay mode has no such exception: 0xFF is a letter naming no channel.
    CDelayDurate delay;
    Bytes bytes = Payload(delay, &device, static_cast<char>(0xFF));
    ASSERT_EQ(bytes.size(), 25u);
    EXPECT_EQ(bytes[0], 0xFF);
    // Another letter naming no channel encodes, with no clock behind it.
    bytes = Payload(mode, &device, 'z');
    ASSERT_EQ(bytes.size(), 25u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(Le32(bytes, 6), 0u);
}

TEST(ModePayloads, BaseWritesNothing) {
    CVeltor device;
    CTimingMode mode;
    EXPECT_TRUE(Payload(mode, &device, 'A').empty());
}

// A host may call MakeCommand without a device: the layout stays, times are 0.
TEST(ModePayloads, WithoutADeviceTimesAreZero) {
    CDelayDurate delay;
    EXPECT_EQ(
        ToHex(Payload(delay, nullptr, 'A')),
        ToHex(Hex("00 0F 16 10 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")));
    CUpDown upDown;
    upDown.m_Dly.dDelay = -1.0;
    EXPECT_EQ(Le32(Payload(upDown, nullptr, 'A'), 6), 0u);
}

struct SQueryCase {
    const char* szName;
    const SClockSource& source;
    unsigned char nModeByte;
    unsigned char nCounterMode;
    const char* szCount;  // bytes 6..9
    bool bDecoded;
    double dMeasured;
};

const SQueryCase kQueries[] = {
    {"10000 counts at 200 MHz", kClockSources[0], 0x13, 0, "10 27 00 00", true, 5e-05},
    {"byte 9 ignored", kClockSources[0], 0x03, 0, "FF FF FF 7F", true, 16777215 / 200e6},
    {"10000 counts at 3.125 MHz", kClockSources[1], 0xF3, 0, "10 27 00 00", true, 0.0032},
    {"10000 counts at 20 MHz", kClockSources[2], 0x13, 0, "10 27 00 00", true, 0.0005},
    {"10000 counts at 312.5 kHz", kClockSources[3], 0x13, 0, "10 27 00 00", true, 0.032},
    {"mode code 0", kClockSources[0], 0x10, 0, "10 27 00 00", false, -1.0},
    {"mode code 7", kClockSources[0], 0x17, 0, "10 27 00 00", false, -1.0},
    {"counter not in mode 0", kClockSources[0], 0x13, 1, "10 27 00 00", false, -1.0},
};

TEST(ModePayloads, CountParsesTheReportedCount) {
    for (const SQueryCase& row : kQueries) {
        SCOPED_TRACE(row.szName);
        CVeltor device;
        UseClock(device, row.source);
        CCount count;
        count.m_Counter.nMode = row.nCounterMode;
        count.m_Counter.dMeasured = -1.0;
        Bytes buffer = Hex("00 0F 16 00 07 00");
        buffer[3] = row.nModeByte;
        for (unsigned char byte : Hex(row.szCount)) {
            buffer.push_back(byte);
        }
        buffer.resize(25, 0);
        EXPECT_EQ(count.ParseQuery(buffer.data(), &device, row.source.cChannel, false),
                  row.bDecoded);
        EXPECT_DOUBLE_EQ(count.m_Counter.dMeasured, row.dMeasured);
    }
}

TEST(ModePayloads, CountKeepsItsTimeWithoutAClock) {
    CCount count;
    count.m_Counter.dMeasured = 1.5;
    Bytes buffer = Hex("00 0F 16 03 07 00 10 27 00 00");
    EXPECT_FALSE(count.ParseQuery(buffer.data(), nullptr, 'A', true));
    CVeltor device;
    EXPECT_FALSE(count.ParseQuery(buffer.data(), &device, 'I', true));
    EXPECT_FALSE(count.ParseQuery(nullptr, &device, 'A', true));
    EXPECT_EQ(count.m_Counter.dMeasured, 1.5);
}

}  // namespace
