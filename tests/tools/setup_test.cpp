// Setup files: the example files, round trips through the host objects,
// refused files and the hand-over to a device.
#include "setup/Setup.h"

#include <gtest/gtest.h>
#include <veltor/veltor.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "setup/Times.h"
#include "sim/Simulator.h"

namespace {

namespace setup = veltor::setup;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(SetupExamples, AreCanonicalAndReadyForTheInstrument) {
    const std::set<std::string> allModes = {"delay",    "dyn-delay", "toggle",  "count", "up-down",
                                            "validate", "clock",     "passive", "null"};
    std::set<std::string> seen;
    for (const auto& entry :
         std::filesystem::directory_iterator(VELTOR_SOURCE_DIR "/examples/setups")) {
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        setup::Setup loaded = setup::Load(path);
        EXPECT_EQ(setup::Format(loaded), ReadFile(path));

        CVeltor device;
        setup::Attach(loaded, device);
        if (loaded.globalLogic) {
            EXPECT_TRUE(device.SetGlobalLogic(loaded.globalLogic->c_str()));
        }
        for (char letter = 'A'; letter <= 'H'; ++letter) {
            const setup::Channel& channel = loaded.channels[letter - 'A'];
            EXPECT_TRUE(!channel.logic || device.GetChannel(letter)->CheckLogic()) << letter;
            EXPECT_TRUE(device.GetChannel(letter)->CheckParameters()) << letter;
            if (channel.mode) {
                seen.insert(setup::ModeName(*channel.mode));
            }
        }
        const std::string stem = entry.path().stem().string();
        if (allModes.count(stem) != 0) {
            EXPECT_TRUE(loaded.channels[0].mode);
            EXPECT_EQ(setup::ModeName(*loaded.channels[0].mode), stem);
        }
    }
    EXPECT_EQ(seen, allModes);
}

// Each mode with every field away from its default, and the records' fields
// as comparable tuples (dMeasured and m_nReserved are not part of the file).
struct ModeCase {
    const char* name;
    std::function<std::unique_ptr<CTimingMode>()> make;
    std::function<bool(const CTimingMode&, const CTimingMode&)> same;
};

template <class M, class Set, class Tie>
ModeCase Case(const char* name, Set set, Tie tie) {
    return {name,
            [set] {
                auto mode = std::make_unique<M>();
                set(*mode);
                return mode;
            },
            [tie](const CTimingMode& a, const CTimingMode& b) {
                const M* x = dynamic_cast<const M*>(&a);
                const M* y = dynamic_cast<const M*>(&b);
                return x != nullptr && y != nullptr && tie(*x) == tie(*y);
            }};
}

auto Fields(const SDlyProp& r) {
    return std::make_tuple(r.bInvert, r.dDelay, r.dDuration, r.bModeBit3);
}
auto Fields(const SValidateProp& r) {
    return std::make_tuple(r.bInvert, r.dDelay, r.dDuration, r.bModeBit3);
}
auto Fields(const SSweepProp& r) {
    return std::make_tuple(r.bEnable, r.dSweep);
}
auto Fields(const STriggerProp& r) {
    return std::make_tuple(r.bOption1, r.bOption2, r.nKind, r.nValue, r.nValueMode, r.bValueFlag);
}
const SDlyProp kTimes = {true, 1.2345678901234567e-6, 3.0000000000000004e-5, true};
const STriggerProp kTrigger = {true, false, 1, -123456, 2, true};
// Codes beyond the named ones stay integers.
const STriggerProp kOddTrigger = {false, false, 7, 0x7FFFFFFF, -1, true};

const ModeCase kModes[] = {
    Case<CDelayDurate>(
        "delay",
        [](CDelayDurate& m) {
            m.m_Dly = kTimes;
            m.m_Sweep = {true, 1.25e-3};
            m.m_Trigger = kTrigger;
        },
        [](const CDelayDurate& m) {
            return std::make_tuple(Fields(m.m_Dly), Fields(m.m_Sweep), Fields(m.m_Trigger));
        }),
    Case<CDynDelayDurate>(
        "dyn-delay",
        [](CDynDelayDurate& m) {
            m.m_Dly = kTimes;
            m.m_Sweep = {true, 0.1 + 0.2};
            m.m_Averaging.nAverage = 300;
        },
        [](const CDynDelayDurate& m) {
            return std::make_tuple(Fields(m.m_Dly), Fields(m.m_Sweep), m.m_Averaging.nAverage);
        }),
    Case<CUpDown>(
        "up-down",
        [](CUpDown& m) {
            m.m_Dly = kTimes;
            m.m_Dly.dDelay = -2.5e-6;
            m.m_Trigger = kOddTrigger;
            m.m_Scaling = {true, -5, 99};
        },
        [](const CUpDown& m) {
            return std::make_tuple(Fields(m.m_Dly), Fields(m.m_Trigger), m.m_Scaling.bUseFirst,
                                   m.m_Scaling.nFirst, m.m_Scaling.nSecond);
        }),
    Case<CValidate>(
        "validate",
        [](CValidate& m) {
            m.m_Validate = {true, 4.5e-6, 7.75e-6, true};
            m.m_Trigger = kTrigger;
        },
        [](const CValidate& m) {
            return std::make_tuple(Fields(m.m_Validate), Fields(m.m_Trigger));
        }),
    Case<CClock>(
        "clock",
        [](CClock& m) {
            m.m_Clock = {5e-7, 2.5e-7, true};
        },
        [](const CClock& m) {
            return std::make_tuple(m.m_Clock.dDelay, m.m_Clock.dDuration, m.m_Clock.bInvert);
        }),
    Case<CCount>(
        "count",
        [](CCount& m) {
            m.m_Counter.nMode = 200;
            m.m_Counter.bOption = true;
            m.m_Counter.nSetting = -7;
            m.m_Counter.dMeasured = 0.5;
            std::strcpy(m.m_Counter.szText, "gate\r\n\t\"quoted\" \xC3\xBC\\");
        },
        [](const CCount& m) {
            return std::make_tuple(m.m_Counter.nMode, m.m_Counter.bOption, m.m_Counter.nSetting,
                                   std::string(m.m_Counter.szText));
        }),
    Case<CToggle>(
        "toggle", [](CToggle& m) { m.m_Toggle.bInvert = true; },
        [](const CToggle& m) { return m.m_Toggle.bInvert; }),
    Case<CPassive>(
        "passive", [](CPassive& m) { m.m_Passive.bInvert = true; },
        [](const CPassive& m) { return m.m_Passive.bInvert; }),
    Case<CNull>(
        "null", [](CNull& m) { m.m_Null.bInvert = true; },
        [](const CNull& m) { return m.m_Null.bInvert; }),
};

auto Fields(const SGeneral& g) {
    return std::make_tuple(g.nClockAB, g.nClockCD, g.nClockEF, g.nClockGH, g.dRefClockHz, g.bLockFP,
                           g.bDisableOutputs);
}

TEST(SetupRoundTrip, CaptureFormatParseAttachKeepsEveryField) {
    for (const ModeCase& mode : kModes) {
        SCOPED_TRACE(mode.name);
        CVeltor original;
        SGeneral& general = *original.GetPropA();
        general.nClockAB = 1;
        general.nClockCD = 3;
        general.nClockEF = 2;
        general.nClockGH = 0;
        general.dRefClockHz = 10e6 + 0.1;
        general.bLockFP = general.bDisableOutputs = true;
        original.SetGlobalLogic("g = in1 | in2; // \"both\"\r\n");
        const std::unique_ptr<CTimingMode> given = mode.make();
        original.GetChannel('C')->SetTimingMode(given.get());
        original.GetChannel('C')->SetChannelLogic("inC = g &\r\n not in2;\n");

        const std::string text = setup::Format(setup::Capture(original));
        setup::Setup parsed = setup::Parse(text);
        CVeltor copy;
        setup::Attach(parsed, copy);
        EXPECT_EQ(setup::Format(setup::Capture(copy)), text);
        ASSERT_NE(copy.GetChannel('C')->GetTimingMode(), nullptr);
        EXPECT_STREQ(setup::ModeName(*copy.GetChannel('C')->GetTimingMode()), mode.name);
        EXPECT_TRUE(mode.same(*given, *copy.GetChannel('C')->GetTimingMode()));
        EXPECT_EQ(Fields(*copy.GetPropA()), Fields(*original.GetPropA()));
        EXPECT_EQ(copy.GetGlobalLogic(), original.GetGlobalLogic());
        EXPECT_EQ(copy.GetChannel('C')->GetChannelLogic(), "inC = g &\r\n not in2;\n");
        EXPECT_EQ(copy.GetChannel('D')->GetTimingMode(), nullptr);
        original.GetChannel('C')->SetTimingMode(nullptr);
    }
}

TEST(SetupRoundTrip, AbsentFieldsKeepTheRecordDefaults) {
    setup::Setup defaults;
    defaults.channels[0].mode = std::make_unique<CUpDown>();
    EXPECT_EQ(setup::Format(setup::Parse(R"({"channels": {"A": {"mode": "up-down"}}})")),
              setup::Format(defaults));
}

TEST(SetupFiles, SaveThenLoadAndUnreadableFiles) {
    const std::string path = ::testing::TempDir() + "setup_test_saved.json";
    setup::Setup saved;
    saved.channels[7].mode = std::make_unique<CClock>();
    setup::Save(path, saved);
    EXPECT_EQ(setup::Format(setup::Load(path)), setup::Format(saved));
    std::filesystem::remove(path);
    try {
        setup::Load(path);
        FAIL() << "no error";
    } catch (const setup::Error& error) {
        EXPECT_EQ(error.Path(), "");
        EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
}

struct BadFile {
    std::string text;
    std::string path;
    std::string says;
};

TEST(SetupErrors, RefusedFilesNameTheKeyPath) {
    const std::string lengthy(4096, 'x');
    const BadFile bad[] = {
        {R"({"channels": {"C": {"mode": "delay", "dealy": 1e-6}}})", "channels.C.dealy",
         "unknown key for mode \"delay\""},
        {R"({"channels": {"C": {"mode": "clock", "sweep": {}}}})", "channels.C.sweep",
         "unknown key"},
        {R"({"channels": {"A": {"invert": true}}})", "channels.A.invert", "without \"mode\""},
        {R"({"general": {"clocks": {"IJ": 0}}})", "general.clocks.IJ", "unknown key"},
        {R"({"channel": {}})", "channel", "unknown key"},
        {R"({"channels": {"C": {"mode": "delay", "delay": "abc"}}})", "channels.C.delay",
         "expected a time: a number of seconds or a number with a unit (s, ms, us, µs, ns), "
         "as in \"1.5 us\"; got \"abc\""},
        {R"({"channels": {"C": {"mode": "clock", "duration": "2 uss"}}})", "channels.C.duration",
         "(s, ms, us, µs, ns), as in \"1.5 us\"; got \"2 uss\""},
        {R"({"channels": {"C": {"mode": "delay", "sweep": {"time": null}}}})",
         "channels.C.sweep.time", "expected a time"},
        {R"({"channels": {"C": {"mode": "delay", "delay": "1e400 s"}}})", "channels.C.delay",
         "a time too large for a double; got \"1e400 s\""},
        {R"({"general": {"referenceHz": "10 MHz"}})", "general.referenceHz", "expected a number"},
        {R"({"channels": {"A": {"enabled": "yes"}}})", "channels.A.enabled",
         "expected true or false, got \"yes\""},
        {R"({"channels": {"A": {"enabled": true, "invert": true}}})", "channels.A.invert",
         "without \"mode\" takes only \"enabled\" and \"logic\""},
        {R"({"general": {"outputs": true}})", "general.outputs",
         "expected \"on\" or \"off\", got true"},
        {R"({"general": {"panel": "open"}})", "general.panel",
         "expected \"unlocked\" or \"locked\", got \"open\""},
        {R"({"general": {"panel": "locked", "lockPanel": true}})", "general.lockPanel",
         "replaced by \"panel\", which is given too"},
        {R"({"general": {"outputsOff": "yes"}})", "general.outputsOff", "expected true or false"},
        {R"({"channels": {"A": {"mode": "null", "invert": 1}}})", "channels.A.invert",
         "expected true or false, got 1"},
        {R"({"channels": {"A": {"mode": "delay", "sweep": true}}})", "channels.A.sweep",
         "expected an object, got true"},
        {R"({"channels": {"A": {"logic": null}}})", "channels.A.logic", "expected a string"},
        {R"({"channels": {"B": {"mode": "pulse"}}})", "channels.B.mode",
         "unknown mode \"pulse\"; known: delay, dyn-delay, toggle, count, up-down, validate, "
         "clock, passive, null"},
        {R"({"channels": {"J": {}}})", "channels.J", "unknown channel; channels are A to H"},
        {R"({"channels": {"c": {}}})", "channels.c", "upper case: write \"C\""},
        {R"({"general": {"clocks": {"AB": "100MHz"}}})", "general.clocks.AB",
         "unknown clock source \"100MHz\"; known: 200MHz, 3.125MHz, 2xref, 2xref/64, or an "
         "integer code from 0 to 3"},
        // Only the low two bits of a code reach the instrument, which would
        // then run the pair on another clock than the host computes for.
        {R"({"general": {"clocks": {"CD": 5}}})", "general.clocks.CD",
         "unknown clock source 5; known: 200MHz, 3.125MHz, 2xref, 2xref/64, or an integer code "
         "from 0 to 3"},
        {R"({"general": {"clocks": {"GH": -1}}})", "general.clocks.GH", "unknown clock source -1"},
        {R"({"general": {"clocks": {"EF": 4.0}}})", "general.clocks.EF", "unknown clock source 4"},
        {R"({"general": {"clocks": {"AB": 1.5}}})", "general.clocks.AB",
         "expected an integer, got 1.5"},
        {R"({"channels": {"A": {"mode": "delay", "trigger": {"value": 1e12}}}})",
         "channels.A.trigger.value", "from -2147483648 to 2147483647, got 1000000000000.0"},
        {R"({"channels": {"A": {"mode": "up-down", "scaling": {"first": 2147483648}}}})",
         "channels.A.scaling.first", "from -2147483648 to 2147483647"},
        {R"({"channels": {"A": {"mode": "count", "counterMode": 256}}})", "channels.A.counterMode",
         "from 0 to 255"},
        {R"({"channels": {"A": {"mode": "dyn-delay", "average": 2.5}}})", "channels.A.average",
         "expected an integer, got 2.5"},
        {R"({"channels": {"A": {"mode": "count", "text": ")" + lengthy + R"("}}})",
         "channels.A.text", "text too long: 4096 bytes, at most 4095"},
        {R"({"channels": {"A": {"logic": "inA = in1;\u0000"}}})", "channels.A.logic", "NUL"},
        {R"({"channels": {"A": {"mode": "clock", "delay": 1e-6, "delay": 2e-6}}})",
         "channels.A.delay", "key given twice"},
        {"{\n  \"general\": {,\n}", "", "line 2, column 15"},
        {"[]", "", "expected an object, got an array"},
        {"{\"globalLogic\": \"\xFF\"}", "", "ill-formed UTF-8 byte; last read: '\"\\xFF'"},
    };
    for (const BadFile& file : bad) {
        SCOPED_TRACE(file.text.substr(0, 80));
        try {
            setup::Parse(file.text);
            ADD_FAILURE() << "accepted";
        } catch (const setup::Error& error) {
            EXPECT_EQ(error.Path(), file.path);
            const std::string what = error.what();
            EXPECT_NE(what.find(file.says), std::string::npos) << what;
            EXPECT_EQ(what.rfind(file.path.empty() ? "" : file.path + ": ", 0), 0u) << what;
        }
    }
}

TEST(SetupErrors, FormatRefusesWhatNoFileCouldReadBack) {
    struct Custom : CTimingMode {};
    struct Unwritable {
        std::function<void(setup::Setup&)> make;
        std::string path;
    };
    const Unwritable cases[] = {
        {[](setup::Setup& s) { s.channels[1].mode = std::make_unique<Custom>(); },
         "channels.B.mode"},
        {[](setup::Setup& s) {
             auto mode = std::make_unique<CDynDelayDurate>();
             mode->m_Sweep.dSweep = std::nan("");
             s.channels[3].mode = std::move(mode);
         },
         "channels.D.sweep.time"},
        {[](setup::Setup& s) { s.globalLogic = "g = in1; // \xFF"; }, "globalLogic"},
        {[](setup::Setup& s) { s.general.nClockGH = 7; }, "general.clocks.GH"},
    };
    for (const Unwritable& unwritable : cases) {
        setup::Setup setup;
        unwritable.make(setup);
        try {
            setup::Format(setup);
            ADD_FAILURE() << unwritable.path << " written";
        } catch (const setup::Error& error) {
            EXPECT_EQ(error.Path(), unwritable.path);
        }
    }
}

TEST(SetupAttach, GivesTheDeviceGeneralPropertiesLogicAndModes) {
    setup::Setup given = setup::Parse(R"({
      "general": {"clocks": {"CD": "3.125MHz"}, "referenceHz": 1e7, "panel": "locked"},
      "globalLogic": "g = in1 & in2;",
      "channels": {"A": {"mode": "delay", "delay": 1e-6, "logic": "inA = g;"},
                   "B": {"logic": "inB = in3;"}}})");
    CVeltor device;
    CToggle earlier;
    device.GetChannel('B')->SetTimingMode(&earlier);
    device.GetChannel('C')->SetTimingMode(&earlier);
    device.GetChannel('C')->SetChannelLogic("inC = in5;");

    setup::Attach(given, device);
    EXPECT_EQ(device.GetPropA()->nClockCD, 1);
    EXPECT_EQ(device.GetPropA()->dRefClockHz, 1e7);
    EXPECT_TRUE(device.GetPropA()->bLockFP);
    EXPECT_EQ(device.GetClockFrequencyHz('C'), 3.125e6);
    EXPECT_EQ(device.GetGlobalLogic(), "g = in1 & in2;");
    EXPECT_EQ(device.GetChannel('A')->GetTimingMode(), given.channels[0].mode.get());
    EXPECT_EQ(device.GetChannel('A')->GetChannelLogic(), "inA = g;");
    EXPECT_TRUE(device.GetChannel('A')->CheckLogic());
    EXPECT_EQ(device.GetChannel('B')->GetChannelLogic(), "inB = in3;");
    EXPECT_EQ(device.GetChannel('B')->GetTimingMode(), nullptr);
    EXPECT_EQ(device.GetChannel('C')->GetTimingMode(), nullptr);
    EXPECT_EQ(device.GetChannel('C')->GetChannelLogic(), "inC = in5;");
}

// What `veltor check` lists for a device: a pair's clock-source code outside
// 0 to 3, one problem per pair, next to the channels' own problems.
TEST(SetupCheck, ClockSourcesOutsideZeroToThreeAreProblems) {
    const std::string kNames =
        "; only 0 to 3 name a clock (0: 200 MHz, 1: 3.125 MHz, 2: twice the reference clock, "
        "3: one sixty-fourth of source 2)";
    CVeltor device;
    SGeneral& general = *device.GetPropA();
    general.nClockAB = 3;
    general.nClockCD = 5;
    general.nClockGH = -2;
    std::vector<std::string> texts;
    for (const veltor::DeviceProblem& problem : veltor::FindDeviceProblems(device)) {
        EXPECT_EQ(problem.channel, 0);
        EXPECT_FALSE(problem.logic);
        texts.push_back(problem.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"the clock source of pair CD is 5" + kNames,
                                               "the clock source of pair GH is -2" + kNames}));
    general.nClockCD = 0;
    general.nClockGH = 2;
    EXPECT_TRUE(veltor::FindDeviceProblems(device).empty());
}

// A time with a unit reads as the very double of the same time in seconds,
// so that a file in units sends the same counts as one in seconds.
TEST(SetupTimes, UnitsGiveTheDoubleOfTheSameTimeInSeconds) {
    const struct {
        const char* text;
        double seconds;
    } taken[] = {
        {"1.5 us", 1.5e-6}, {"1.5\u00b5s", 1.5e-6}, {"1.5\u03bcs", 1.5e-6},
        {"10 ns", 10e-9},   {"1ms", 1e-3},          {"2 s", 2.0},
        {"2", 2.0},         {" -50 us\t", -50e-6},  {"+.5 ms", 0.5e-3},
        {"5.", 5.0},        {"1.2e3 ns", 1.2e-6},   {"3E-3s", 3e-3},
        {"0.1 ms", 0.1e-3}, {"1e-330 s", 0.0},
    };
    for (const auto& time : taken) {
        EXPECT_EQ(setup::ParseTime(time.text), time.seconds) << time.text;
    }
    for (const char* text : {"", " ", "us", "1.5 uss", "1.5 MS", "1,5 us", "1.5 u s", "e5", "1e",
                             "--1", "1 s s", "0x10", "inf", "nan", "1e1234567", "1e400"}) {
        EXPECT_THROW(setup::ParseTime(text), std::invalid_argument) << text;
    }
    // Written back as numbers of seconds.
    EXPECT_EQ(setup::Format(setup::Parse(R"({"channels": {"A": {"mode": "delay",
        "delay": "1.5 us", "duration": "10us", "sweep": {"time": "200 ns"}}}})")),
              setup::Format(setup::Parse(R"({"channels": {"A": {"mode": "delay",
        "delay": 1.5e-6, "duration": 1e-5, "sweep": {"time": 2e-7}}}})")));
}

TEST(SetupGeneral, OutputsAndPanelAreWordsAndTheFormerFlagsStillRead) {
    struct Case {
        const char* general;
        bool disableOutputs;
        bool lockPanel;
    };
    const Case cases[] = {
        {"{}", false, false},
        {R"({"outputs": "off", "panel": "locked"})", true, true},
        {R"({"outputs": "on", "panel": "unlocked"})", false, false},
        {R"({"outputsOff": true, "lockPanel": true})", true, true},
        {R"({"outputs": "off", "lockPanel": false})", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.general);
        const setup::Setup read = setup::Parse(std::string(R"({"general": )") + c.general + "}");
        EXPECT_EQ(read.general.bDisableOutputs, c.disableOutputs);
        EXPECT_EQ(read.general.bLockFP, c.lockPanel);
        const auto written = nlohmann::json::parse(setup::Format(read))["general"];
        EXPECT_EQ(written["outputs"], c.disableOutputs ? "off" : "on");
        EXPECT_EQ(written["panel"], c.lockPanel ? "locked" : "unlocked");
        EXPECT_FALSE(written.contains("outputsOff") || written.contains("lockPanel"));
    }
}

// Against the simulated instrument on a pseudo-terminal: the channels are
// enabled and disabled after the update, and Capture writes back what the
// instrument acknowledged.
TEST(SetupApply, EnablesChannelsAfterTheUpdateAndCaptureWritesThemBack) {
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), CSerDev::kBaud115200), 0);
    std::vector<std::string> steps;
    device.SetTrace([&steps](const CSerDev::TraceEvent& event) {
        if (event.kind == CSerDev::TraceEvent::kRequest) {
            steps.push_back(event.status);
        }
    });
    ASSERT_TRUE(device.GetChannel('B')->CmdEnable());
    steps.clear();
    setup::Setup given = setup::Parse(R"({"channels": {
        "A": {"enabled": true, "mode": "delay", "delay": "1.5 us", "duration": "10 us"},
        "B": {"enabled": false},
        "D": {"enabled": true, "logic": "inD = in2;"}}})");
    ASSERT_TRUE(setup::Apply(given, device)) << device.GetLastError();
    device.SetTrace(nullptr);

    const vsim::InstrumentState state = sim.State();
    EXPECT_EQ((std::vector<bool>{state.ch[0].enabled, state.ch[1].enabled, state.ch[2].enabled,
                                 state.ch[3].enabled}),
              (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(state.ch[0].delayCounts1, 300u);
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(steps.end() - 4, steps.end()),
              (std::vector<std::string>{"Unlocking the front panel...", "Enabling the channel...",
                                        "Disabling the channel...", "Enabling the channel..."}));

    const setup::Setup captured = setup::Capture(device);
    EXPECT_EQ(captured.channels[0].enabled, std::optional<bool>(true));
    EXPECT_EQ(captured.channels[1].enabled, std::optional<bool>(false));
    EXPECT_EQ(captured.channels[2].enabled, std::nullopt);
    EXPECT_EQ(captured.channels[3].enabled, std::optional<bool>(true));
    EXPECT_EQ(setup::Format(setup::Parse(setup::Format(captured))), setup::Format(captured));
}

// An enable the instrument refused may or may not be in effect: Capture
// leaves the channel's "enabled" out rather than write a guess.
TEST(SetupApply, AFailedEnableLeavesTheChannelOutOfTheCapture) {
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), CSerDev::kBaud115200), 0);
    ASSERT_TRUE(device.GetChannel('B')->CmdDisable());
    EXPECT_EQ(setup::Capture(device).channels[1].enabled, std::optional<bool>(false));
    vsim::Fault refusal;
    refusal.kind = vsim::FaultKind::Negative;
    sim.QueueFaults(refusal, 5);
    EXPECT_FALSE(device.GetChannel('B')->CmdEnable());
    EXPECT_EQ(device.GetChannel('B')->GetEnabledState(), -1);
    EXPECT_EQ(setup::Capture(device).channels[1].enabled, std::nullopt);
}

// The schema in docs/ declares exactly the keys the setup files have: those
// the writer puts down (every field of every mode, all of general), read
// from the same field tables as the reader; and its former keys still read.
TEST(SetupSchema, DeclaresExactlyTheKeysTheWriterWrites) {
    using Json = nlohmann::json;
    const Json schema = Json::parse(ReadFile(VELTOR_SOURCE_DIR "/docs/setup.schema.json"));
    const auto resolve = [&schema](const Json& node) -> const Json& {
        if (node.contains("$ref")) {
            const std::string ref = node["$ref"];
            return schema["$defs"][ref.substr(std::string("#/$defs/").size())];
        }
        return node;
    };
    // Key paths below a schema node, through its $ref and its properties.
    std::function<void(const Json&, const std::string&, std::set<std::string>&)> declared =
        [&](const Json& node, const std::string& prefix, std::set<std::string>& keys) {
            if (node.contains("$ref")) {
                declared(resolve(node), prefix, keys);
            }
            const Json properties = node.value("properties", Json::object());
            for (const auto& [key, sub] : properties.items()) {
                if (!sub.value("deprecated", false)) {
                    keys.insert(prefix + key);
                    declared(sub, prefix + key + ".", keys);
                }
            }
        };
    // Key paths of a JSON object.
    std::function<void(const Json&, const std::string&, std::set<std::string>&)> written =
        [&](const Json& object, const std::string& prefix, std::set<std::string>& keys) {
            for (const auto& [key, sub] : object.items()) {
                keys.insert(prefix + key);
                if (sub.is_object()) {
                    written(sub, prefix + key + ".", keys);
                }
            }
        };

    // Everything but the channels' own keys.
    std::set<std::string> schemaTop;
    declared(schema, "", schemaTop);
    setup::Setup full;
    full.globalLogic = "g = in1;";
    std::set<std::string> writtenTop;
    written(Json::parse(setup::Format(full)), "", writtenTop);
    EXPECT_EQ(schemaTop, writtenTop);

    // Per mode: the channel's own keys and the mode's.
    const Json& channel = schema["$defs"]["channel"];
    std::set<std::string> schemaBase;
    declared(channel, "", schemaBase);
    std::map<std::string, std::set<std::string>> schemaModes;
    for (const Json& rule : channel["allOf"]) {
        const Json& mode = rule["if"]["properties"]["mode"];
        std::vector<std::string> names;
        if (mode.contains("const")) {
            names.push_back(mode["const"]);
        } else {
            names = mode["enum"].get<std::vector<std::string>>();
        }
        for (const std::string& name : names) {
            schemaModes[name] = schemaBase;
            declared(rule["then"], "", schemaModes[name]);
        }
    }
    std::map<std::string, std::set<std::string>> writtenModes;
    for (const std::string name : channel["properties"]["mode"]["enum"]) {
        setup::Setup one;
        one.channels[0].mode = setup::MakeMode(name);
        ASSERT_TRUE(one.channels[0].mode) << name;
        one.channels[0].logic = "inA = in1;";
        one.channels[0].enabled = true;
        written(Json::parse(setup::Format(one))["channels"]["A"], "", writtenModes[name]);
    }
    EXPECT_EQ(schemaModes, writtenModes);

    // The former keys, left out above, are read still.
    for (const auto& [key, sub] : schema["$defs"]["general"]["properties"].items()) {
        if (sub.value("deprecated", false)) {
            EXPECT_NO_THROW(setup::Parse(R"({"general": {")" + key + R"(": true}})")) << key;
        }
    }
}

}  // namespace
