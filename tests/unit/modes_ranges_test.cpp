// Parameter checks of the timing modes: interval bounds in counts of the
// channel's clock, times that are no numbers, and modes without a clock.
#include <gtest/gtest.h>
#include <veltor/CClock.h>
#include <veltor/CValidate.h>
#include <veltor/CVeltor.h>
#include <veltor/CountModes.h>
#include <veltor/DelayModes.h>
#include <veltor/SimpleModes.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "modes_support.h"

using namespace modes_test;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = 4294967295.0;

// One checked time of a mode and its interval in counts.
struct SParameter {
    const char* szName;
    std::function<void(CTimingMode&, double)> set;
    double dMinCounts;
    double dMaxCounts;
};

struct SModeRanges {
    const char* szName;
    std::function<std::unique_ptr<CTimingMode>()> make;
    std::vector<SParameter> parameters;
};

template <class Mode>
std::function<void(CTimingMode&, double)> Setter(void (*set)(Mode&, double)) {
    return [set](CTimingMode& mode, double seconds) { set(static_cast<Mode&>(mode), seconds); };
}

template <class Mode>
std::function<std::unique_ptr<CTimingMode>()> Maker(void (*prepare)(Mode&) = nullptr) {
    return [prepare]() -> std::unique_ptr<CTimingMode> {
        auto mode = std::make_unique<Mode>();
        if (prepare != nullptr) {
            prepare(*mode);
        }
        return mode;
    };
}

template <class Mode>
void SweepOn(Mode& mode) {
    mode.m_Sweep.bEnable = true;
}

template <class Mode>
std::vector<SParameter> DelaySweepParameters() {
    return {
        {"delay", Setter<Mode>([](Mode& m, double s) { m.m_Dly.dDelay = s; }), 4, kMax},
        {"duration", Setter<Mode>([](Mode& m, double s) { m.m_Dly.dDuration = s; }), 1539, kMax},
        {"sweep", Setter<Mode>([](Mode& m, double s) { m.m_Sweep.dSweep = s; }), 0, kMax},
    };
}

std::vector<SModeRanges> TimedModes() {
    return {
        {"delay", Maker<CDelayDurate>(SweepOn<CDelayDurate>), DelaySweepParameters<CDelayDurate>()},
        {"dyn delay", Maker<CDynDelayDurate>(SweepOn<CDynDelayDurate>),
         DelaySweepParameters<CDynDelayDurate>()},
        {"up/down",
         Maker<CUpDown>(),
         {
             {"delay", Setter<CUpDown>([](CUpDown& m, double s) { m.m_Dly.dDelay = s; }),
              -16777215.0, 16777215.0},
             {"duration", Setter<CUpDown>([](CUpDown& m, double s) { m.m_Dly.dDuration = s; }),
              1600, kMax},
         }},
        {"validate",
         Maker<CValidate>(),
         {
             {"delay", Setter<CValidate>([](CValidate& m, double s) { m.m_Validate.dDelay = s; }),
              512, kMax},
             {"duration",
              Setter<CValidate>([](CValidate& m, double s) { m.m_Validate.dDuration = s; }), 1536,
              kMax},
         }},
        {"clock",
         Maker<CClock>(),
         {
             {"delay", Setter<CClock>([](CClock& m, double s) { m.m_Clock.dDelay = s; }), 128,
              10485720},
             {"duration", Setter<CClock>([](CClock& m, double s) { m.m_Clock.dDuration = s; }), 128,
              10485720},
         }},
    };
}

// A mode whose every checked time sits on its lower bound, which must pass.
std::unique_ptr<CTimingMode> AtLowerBounds(const SModeRanges& mode, double hz) {
    auto made = mode.make();
    for (const SParameter& parameter : mode.parameters) {
        parameter.set(*made, parameter.dMinCounts / hz);
    }
    return made;
}

TEST(ModeRanges, BoundsPassAndOneCountBeyondFails) {
    const std::vector<SModeRanges> modes = TimedModes();
    for (const SClockSource& source : kClockSources) {
        SCOPED_TRACE(source.szName);
        CVeltor device;
        UseClock(device, source);
        const char channel = source.cChannel;
        const double hz = device.GetClockFrequencyHz(channel);
        for (const SModeRanges& mode : modes) {
            SCOPED_TRACE(mode.szName);
            for (const SParameter& parameter : mode.parameters) {
                SCOPED_TRACE(parameter.szName);
                auto made = AtLowerBounds(mode, hz);
                EXPECT_TRUE(made->CheckParameters(&device, channel));
                parameter.set(*made, (parameter.dMinCounts - 1) / hz);
                EXPECT_FALSE(made->CheckParameters(&device, channel));
                parameter.set(*made, parameter.dMaxCounts / hz);
                EXPECT_TRUE(made->CheckParameters(&device, channel));
                parameter.set(*made, (parameter.dMaxCounts + 1) / hz);
                EXPECT_FALSE(made->CheckParameters(&device, channel));
            }
        }
    }
}

TEST(ModeRanges, TimesThatAreNoNumbersFailEveryCheck) {
    CVeltor device;
    for (const SModeRanges& mode : TimedModes()) {
        SCOPED_TRACE(mode.szName);
        for (const SParameter& parameter : mode.parameters) {
            SCOPED_TRACE(parameter.szName);
            for (double odd : {kNaN, -kNaN, kInf, -kInf}) {
                auto made = AtLowerBounds(mode, 200e6);
                parameter.set(*made, odd);
                EXPECT_FALSE(made->CheckParameters(&device, 'A'));
            }
        }
    }
}

// Without a device or with a letter that names no channel there is no clock:
// every interval is empty, so nothing a mode with times holds can pass.
TEST(ModeRanges, WithoutAClockTimedModesFail) {
    CVeltor device;
    for (const SModeRanges& mode : TimedModes()) {
        SCOPED_TRACE(mode.szName);
        auto made = AtLowerBounds(mode, 200e6);
        EXPECT_TRUE(made->CheckParameters(&device, 'a'));
        EXPECT_FALSE(made->CheckParameters(nullptr, 'A'));
        EXPECT_FALSE(made->CheckParameters(&device, 'I'));
        EXPECT_FALSE(made->CheckParameters(&device, static_cast<char>(0xFF)));
        for (const SParameter& parameter : mode.parameters) {
            parameter.set(*made, 0.0);
        }
        EXPECT_FALSE(made->CheckParameters(nullptr, 'A'));
        double minimum = 0.0;
        double maximum = 0.0;
        made->GetDelayRange(&minimum, &maximum, nullptr, 'A');
        EXPECT_TRUE(std::isnan(minimum) && std::isnan(maximum));
        made->GetDurationRange(&minimum, &maximum, &device, 'I');
        EXPECT_TRUE(std::isnan(minimum) && std::isnan(maximum));
    }
}

TEST(ModeRanges, SweepTimeIsCheckedOnlyWhileSweeping) {
    CVeltor device;
    CDelayDurate delay;
    CDynDelayDurate dyn;
    delay.m_Sweep.dSweep = dyn.m_Sweep.dSweep = 100.0;
    EXPECT_TRUE(delay.CheckParameters(&device, 'A'));
    EXPECT_TRUE(dyn.CheckParameters(&device, 'A'));
    delay.m_Sweep.bEnable = dyn.m_Sweep.bEnable = true;
    EXPECT_FALSE(delay.CheckParameters(&device, 'A'));
    EXPECT_FALSE(dyn.CheckParameters(&device, 'A'));
    delay.m_Sweep.dSweep = dyn.m_Sweep.dSweep = 21.474836475;
    EXPECT_TRUE(delay.CheckParameters(&device, 'A'));
    EXPECT_TRUE(dyn.CheckParameters(&device, 'A'));
}

TEST(ModeRanges, ClockIntervalInSeconds) {
    CVeltor device;
    device.GetPropA()->nClockCD = 1;
    CClock clock;
    double minimum = 0.0;
    double maximum = 0.0;
    clock.GetDelayRange(&minimum, &maximum, &device, 'A');
    EXPECT_DOUBLE_EQ(minimum, 6.4e-07);
    EXPECT_DOUBLE_EQ(maximum, 0.0524286);
    clock.GetDurationRange(&minimum, &maximum, &device, 'C');
    EXPECT_DOUBLE_EQ(minimum, 4.096e-05);
    EXPECT_DOUBLE_EQ(maximum, 3.3554304);
    EXPECT_FALSE(clock.IsUsingLogic());
}

// The checks of delay and duration reach the intervals through the virtual
// interface, so a host's subclass can narrow them.
TEST(ModeRanges, ChecksUseOverriddenIntervals) {
    struct CNarrowValidate : CValidate {
        void GetDurationRange(double* minimum, double* maximum, CVeltor const*,
                              char) const override {
            *minimum = 1.0;
            *maximum = 2.0;
        }
    };
    CVeltor device;
    CNarrowValidate narrow;
    EXPECT_FALSE(narrow.CheckParameters(&device, 'A'));
    narrow.m_Validate.dDuration = 1.5;
    EXPECT_TRUE(narrow.CheckParameters(&device, 'A'));
}

TEST(ModeRanges, ModesWithoutTimesAlwaysPass) {
    CNull null;
    CPassive passive;
    CToggle toggle;
    CCount count;
    CTimingMode base;
    count.m_Counter.dMeasured = kNaN;
    count.m_Counter.nMode = 255;
    CVeltor device;
    for (const CTimingMode* mode :
         std::initializer_list<const CTimingMode*>{&null, &passive, &toggle, &count, &base}) {
        for (char channel : {'A', 'h', 'I', '\0', static_cast<char>(0xFF)}) {
            EXPECT_TRUE(mode->CheckParameters(&device, channel));
            EXPECT_TRUE(mode->CheckParameters(nullptr, channel));
        }
    }
}

TEST(ModeRanges, BaseIntervalIsTheWholeCounter) {
    CVeltor device;
    CNull null;
    double minimum = -1.0;
    double maximum = -1.0;
    null.GetDelayRange(&minimum, &maximum, &device, 'B');
    EXPECT_EQ(minimum, 0.0);
    EXPECT_DOUBLE_EQ(maximum, 21.474836475);
    null.GetDurationRange(nullptr, &maximum, &device, 'B');
    EXPECT_DOUBLE_EQ(maximum, 21.474836475);
}

}  // namespace
