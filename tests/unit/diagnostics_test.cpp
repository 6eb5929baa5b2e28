// Why a mode is refused: each time outside its interval named, with its
// value and the interval in seconds and counts of the channel's clock.
#include <gtest/gtest.h>
#include <veltor/veltor.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct RefusedMode {
    const char* name;
    std::function<CTimingMode*()> make;
    char channel;
    std::vector<std::string> problems;
};

template <class Mode>
std::function<CTimingMode*()> Make(std::function<void(Mode&)> prepare) {
    return [prepare]() {
        Mode* mode = new Mode;
        prepare(*mode);
        return mode;
    };
}

TEST(Diagnostics, RefusedModesNameEachParameterWithItsInterval) {
    const RefusedMode cases[] = {
        {"duration below 1539 counts at 200 MHz",
         Make<CDelayDurate>([](CDelayDurate& m) { m.m_Dly.dDuration = 1e-9; }),
         'A',
         {"duration 1e-09 s is outside 7.695e-06 s to 21.474836475 s (1539 to 4294967295 counts "
          "of the 200 MHz clock)"}},
        {"delay and sweep of the dynamic mode",
         Make<CDynDelayDurate>([](CDynDelayDurate& m) {
             m.m_Dly.dDelay = -1.0;
             m.m_Sweep.bEnable = true;
             m.m_Sweep.dSweep = 5000.0;
         }),
         'B',
         {"delay -1 s is outside 2e-08 s to 21.474836475 s (4 to 4294967295 counts of the 200 "
          "MHz clock)",
          "sweep 5000 s is outside 0 s to 21.474836475 s (0 to 4294967295 counts of the 200 MHz "
          "clock)"}},
        {"a sweep that is off is not checked",
         Make<CDelayDurate>([](CDelayDurate& m) { m.m_Sweep.dSweep = 5000.0; }),
         'A',
         {}},
        {"negative up/down delay beyond its interval at 3.125 MHz",
         Make<CUpDown>([](CUpDown& m) {
             m.m_Dly.dDelay = -10.0;
             m.m_Dly.dDuration = 1e-3;
         }),
         'C',
         {"delay -10 s is outside -5.3687088 s to 5.3687088 s (-16777215 to 16777215 counts of "
          "the 3.125 MHz clock)"}},
        {"clock high time too long",
         Make<CClock>([](CClock& m) { m.m_Clock.dDelay = 1.0; }),
         'A',
         {"delay 1 s is outside 6.4e-07 s to 0.0524286 s (128 to 10485720 counts of the 200 MHz "
          "clock)"}},
        {"validate delay below 512 counts",
         Make<CValidate>([](CValidate& m) { m.m_Validate.dDelay = 1e-6; }),
         'A',
         {"delay 1e-06 s is outside 2.56e-06 s to 21.474836475 s (512 to 4294967295 counts of "
          "the 200 MHz clock)"}},
        {"no clock for a letter naming no channel",
         Make<CValidate>([](CValidate&) {}),
         'Z',
         {"delay 3e-05 s cannot be checked: the channel has no clock",
          "duration 3e-05 s cannot be checked: the channel has no clock"}},
    };
    CVeltor device;
    device.GetPropA()->nClockCD = 1;
    for (const RefusedMode& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<CTimingMode> mode(c.make());
        EXPECT_EQ(veltor::FindParameterProblems(*mode, &device, c.channel), c.problems);
        EXPECT_EQ(mode->CheckParameters(&device, c.channel), c.problems.empty());
    }
}

// A host's subclass with a stricter check of its own is still explained.
TEST(Diagnostics, ASubclassRefusalBeyondTheTimesIsReported) {
    struct Strict : CDelayDurate {
        bool CheckParameters(CVeltor const*, char) const override { return false; }
    } mode;
    CVeltor device;
    EXPECT_EQ(veltor::FindParameterProblems(mode, &device, 'A'),
              std::vector<std::string>{"the mode refuses its parameters (its own check)"});
}

}  // namespace
