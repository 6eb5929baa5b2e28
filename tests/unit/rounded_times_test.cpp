// Times that run other than as written: each is listed with the value the
// instrument runs, and its counts are the very counts the mode's payload
// carries.
#include <gtest/gtest.h>
#include <veltor/veltor.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "modes_support.h"

namespace {

using modes_test::Payload;

struct Listed {
    std::string name;
    double written;
    double running;
    long long counts;
};

struct RoundingCase {
    const char* what;
    std::function<std::unique_ptr<CTimingMode>()> make;
    char channel;  // A, B: 200 MHz; C, D: 3.125 MHz
    std::vector<Listed> listed;
};

template <class Mode>
std::function<std::unique_ptr<CTimingMode>()> Make(std::function<void(Mode&)> prepare) {
    return [prepare] {
        auto mode = std::make_unique<Mode>();
        prepare(*mode);
        return std::unique_ptr<CTimingMode>(std::move(mode));
    };
}

// The count the payload carries for a time: the first time at byte 6, the
// second at 10 (the clock mode's in 24 bits and an overflow byte), the
// sweep at 18.
long long PayloadCounts(const modes_test::Bytes& payload, const std::string& name) {
    const auto word = [&](int at, int width) {
        std::uint32_t value = 0;
        for (int i = width - 1; i >= 0; --i) {
            value = value << 8 | payload[at + i];
        }
        return value;
    };
    if (name == "sweep") {
        return word(18, 4);
    }
    if (name == "duration") {
        return payload.size() == 22 ? word(10, 3) + (payload[13] == 1 ? 1u << 24 : 0u)
                                    : word(10, 4);
    }
    // A negative delay goes out as a 32-bit two's complement count.
    return static_cast<std::int32_t>(word(6, 4));
}

TEST(RoundedTimes, ListEachTimeOffItsClockWithTheCountsTheModeSends) {
    const RoundingCase cases[] = {
        {"1.5 µs at 3.125 MHz runs as 5 counts of 320 ns",
         Make<CDelayDurate>([](CDelayDurate& m) {
             m.m_Dly.dDelay = 1.5e-6;
             m.m_Dly.dDuration = 1e-3;
         }),
         'C',
         {{"delay", 1.5e-6, 1.6e-6, 5}}},
        {"the same times at 200 MHz run as written",
         Make<CDelayDurate>([](CDelayDurate& m) {
             m.m_Dly.dDelay = 1.5e-6;
             m.m_Dly.dDuration = 1e-3;
         }),
         'A',
         {}},
        {"an exact half count rounds up, on a lower-case letter",
         Make<CDelayDurate>([](CDelayDurate& m) { m.m_Dly.dDelay = 1.0025e-6; }),
         'b',
         {{"delay", 1.0025e-6, 1.005e-6, 201}}},
        {"a negative up/down delay rounds its magnitude",
         Make<CUpDown>([](CUpDown& m) {
             m.m_Dly.dDelay = -50e-6;
             m.m_Dly.dDuration = 1e-3;
         }),
         'D',
         {{"delay", -50e-6, -49.92e-6, -156}}},
        {"the sweep while it is on",
         Make<CDynDelayDurate>([](CDynDelayDurate& m) {
             m.m_Dly.dDelay = 3.2e-6;
             m.m_Dly.dDuration = 1e-3;
             m.m_Sweep = {true, 1e-6};
         }),
         'C',
         {{"sweep", 1e-6, 0.96e-6, 3}}},
        {"not the sweep while it is off",
         Make<CDynDelayDurate>([](CDynDelayDurate& m) {
             m.m_Dly.dDelay = 3.2e-6;
             m.m_Dly.dDuration = 1e-3;
             m.m_Sweep = {false, 1e-6};
         }),
         'C',
         {}},
        {"both clock times, the low one at its longest",
         Make<CClock>([](CClock& m) {
             m.m_Clock = {1.0001e-6, 0.0524286 - 1e-9, false};
         }),
         'A',
         {{"delay", 1.0001e-6, 1e-6, 200}, {"duration", 0.0524286 - 1e-9, 0.0524286, 10485720}}},
        {"four-tenths of a count in 4294967280 is still listed",
         Make<CValidate>([](CValidate& m) {
             m.m_Validate = {false, 1e-5, 21.474836402, false};
         }),
         'A',
         {{"duration", 21.474836402, 21.4748364, 4294967280}}},
        {"a time outside its interval is a problem, not a rounding",
         Make<CDelayDurate>([](CDelayDurate& m) { m.m_Dly.dDuration = 1.0000001e-9; }),
         'A',
         {}},
        {"a letter without a clock",
         Make<CDelayDurate>([](CDelayDurate& m) { m.m_Dly.dDelay = 1.0001e-6; }),
         'Z',
         {}},
        {"a mode without times", Make<CToggle>([](CToggle&) {}), 'C', {}},
    };
    CVeltor device;
    device.GetPropA()->nClockCD = 1;
    for (const RoundingCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::unique_ptr<CTimingMode> mode = c.make();
        const std::vector<veltor::RoundedTime> found =
            veltor::FindRoundedTimes(*mode, &device, c.channel);
        ASSERT_EQ(found.size(), c.listed.size());
        const modes_test::Bytes payload = Payload(*mode, &device, c.channel);
        for (std::size_t i = 0; i < found.size(); ++i) {
            const veltor::RoundedTime& time = found[i];
            const Listed& expected = c.listed[i];
            EXPECT_EQ(time.channel, c.channel == 'b' ? 'B' : c.channel);
            EXPECT_EQ(time.name, expected.name);
            EXPECT_EQ(time.written, expected.written);
            EXPECT_DOUBLE_EQ(time.running, expected.running);
            EXPECT_EQ(time.counts, expected.counts);
            EXPECT_EQ(time.clockHz, device.GetClockFrequencyHz(c.channel));
            EXPECT_EQ(time.counts, PayloadCounts(payload, time.name));
        }
    }
}

TEST(RoundedTimes, TheDeviceListsEachChannelsOwnModeInOrder) {
    CVeltor device;
    device.GetPropA()->nClockCD = 1;
    CDelayDurate offClock;
    offClock.m_Dly = {false, 1.5e-6, 1e-3, false};
    CClock exact;
    device.GetChannel('D')->SetTimingMode(&offClock);
    device.GetChannel('B')->SetTimingMode(&offClock);
    device.GetChannel('C')->SetTimingMode(&exact);
    std::vector<char> channels;
    for (const veltor::RoundedTime& time : veltor::FindRoundedTimes(device)) {
        channels.push_back(time.channel);
    }
    // B runs at 200 MHz, where 1.5 µs is 300 counts.
    EXPECT_EQ(channels, std::vector<char>{'D'});
    for (char letter : {'B', 'C', 'D'}) {
        device.GetChannel(letter)->SetTimingMode(nullptr);
    }
}

}  // namespace
