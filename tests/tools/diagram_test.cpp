#include "tools/Diagram.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <veltor/veltor.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace veltor::tools;
using namespace veltor::tools::diagram;

namespace {

constexpr double k200MHz = 200e6;
constexpr double k3MHz = 3.125e6;  // 0.32 µs a count

struct CustomMode : CTimingMode {};

// Every kind of mode, set up once for the tables and the drawings.
struct Modes {
    CDelayDurate delay, delayInverted, delaySwept;
    CDynDelayDurate dyn;
    CValidate validate;
    CUpDown upDown, upDownHalf;
    CClock clock, clockInverted, fastClock;
    CToggle toggle, toggleInverted;
    CCount count, countOnly;
    CPassive passive;
    CNull null;
    CustomMode custom;

    Modes() {
        delay.m_Sweep.dSweep = 1e-6;  // sent, but off
        delayInverted.m_Dly.bInvert = true;
        delaySwept.m_Sweep = {true, 1e-6};
        dyn.m_Dly = {true, 4e-6, 8e-6, false};
        upDown.m_Dly.dDelay = -5e-6;
        upDownHalf.m_Dly = {false, -4.5 / k3MHz, 1600 / k3MHz, false};
        clockInverted.m_Clock = {10e-6, 30e-6, true};
        fastClock.m_Clock = {1e-6, 1e-6, false};
        toggleInverted.m_Toggle.bInvert = true;
        countOnly.m_Counter.nMode = 1;
        passive.m_Passive.bInvert = true;
    }
};

TEST(DiagramTrace, EdgesFollowTheModeAtItsClock) {
    const Modes m;
    const struct {
        const char* name;
        const CTimingMode* mode;
        double hz, axisEnd;
        bool idleHigh;
        std::vector<Edge> edgesUs;
    } cases[] = {
        {"delay", &m.delay, k200MHz, 0, false, {{20, 1}, {30, 0}}},
        {"delay inverted", &m.delayInverted, k200MHz, 0, true, {{20, 0}, {30, 1}}},
        // 62.5 counts round up to 63, 31.25 down to 31.
        {"delay at 3.125 MHz", &m.delay, k3MHz, 0, false, {{63 * 0.32, 1}, {94 * 0.32, 0}}},
        {"validate at 3.125 MHz", &m.validate, k3MHz, 0, false, {{94 * 0.32, 1}, {188 * 0.32, 0}}},
        {"dyn inverted", &m.dyn, k200MHz, 0, true, {{4, 0}, {12, 1}}},
        {"up/down before the trigger", &m.upDown, k200MHz, 0, false, {{-5, 1}, {5, 0}}},
        // -4.5 counts go out as -5: the size rounds half up, not the signed value.
        {"up/down half count", &m.upDownHalf, k3MHz, 0, false, {{-5 * 0.32, 1}, {1595 * 0.32, 0}}},
        {"clock", &m.clock, k200MHz, 40e-6, false, {{0, 1}, {10, 0}, {20, 1}, {30, 0}, {40, 1}}},
        // Still high for dDelay and low for dDuration, but starting low.
        {"clock inverted", &m.clockInverted, k200MHz, 40e-6, true, {{0, 0}, {30, 1}, {40, 0}}},
        {"toggle", &m.toggle, k200MHz, 0, false, {{0, 1}}},
        {"toggle inverted", &m.toggleInverted, k200MHz, 0, true, {{0, 0}}},
        {"passive inverted", &m.passive, k200MHz, 0, true, {}},
        {"null", &m.null, k200MHz, 0, false, {}},
        {"count", &m.count, k200MHz, 0, false, {}},
        {"default", nullptr, k200MHz, 0, false, {}},
        {"custom", &m.custom, k200MHz, 0, false, {}},
        {"no usable clock", &m.delay, 0.0, 0, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Trace trace = TraceMode(c.mode, c.hz, c.axisEnd);
        EXPECT_EQ(trace.idleHigh, c.idleHigh);
        ASSERT_EQ(trace.edges.size(), c.edgesUs.size());
        for (std::size_t i = 0; i < c.edgesUs.size(); ++i) {
            EXPECT_NEAR(trace.edges[i].time, c.edgesUs[i].time * 1e-6, 1e-15) << "edge " << i;
            EXPECT_EQ(trace.edges[i].high, c.edgesUs[i].high) << "edge " << i;
        }
    }
}

TEST(DiagramTrace, NotesAndTheTimeEachNeeds) {
    const Modes m;
    const struct {
        const CTimingMode* mode;
        std::string notes;
        double latestUs;
    } cases[] = {
        {&m.delay, "delay 20 µs|width 10 µs", 30},
        {&m.delaySwept, "delay 20 µs|width 10 µs|+sweep 1 µs", 31},
        {&m.dyn, "delay 4 µs|width 8 µs|dynamic", 12},
        {&m.upDown, "delay -5 µs|width 10 µs", 5},
        // Two periods, so that a lone clock still shows a wave.
        {&m.clock, "period 20 µs (50 kHz)|high 10 µs, low 10 µs", 40},
        {&m.count, "counts triggers|measures delay", 0},
        {&m.countOnly, "counts triggers", 0},
        {&m.passive, "passive", 0},
        {nullptr, "off", 0},
        {&m.custom, "custom mode", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.notes);
        const Trace trace = TraceMode(c.mode, k200MHz, 0.0);
        std::string notes;
        for (const std::string& note : trace.notes) {
            notes += (notes.empty() ? "" : "|") + note;
        }
        EXPECT_EQ(notes, c.notes);
        EXPECT_NEAR(trace.latest, c.latestUs * 1e-6, 1e-15);
    }
    const Trace swept = TraceMode(&m.delaySwept, k200MHz, 0.0);
    EXPECT_NEAR(swept.sweepFrom, 30e-6, 1e-15);
    EXPECT_NEAR(swept.sweepTo, 31e-6, 1e-15);
    EXPECT_NEAR(TraceMode(&m.upDown, k200MHz, 0.0).earliest, -5e-6, 1e-15);
    // A million periods over the axis are drawn as a band, not as edges.
    const Trace fast = TraceMode(&m.fastClock, k200MHz, 1.0);
    EXPECT_TRUE(fast.tooDense);
    EXPECT_LE(fast.edges.size(), 1u);
}

TEST(DiagramAxis, SpanAndTicks) {
    const std::pair<double, double> spans[] = {{30e-6, 50e-6},  {50e-6, 100e-6}, {1e-6 / 1.2, 1e-6},
                                               {4e-3, 5e-3},    {1.5, 2.0},      {0.0, 100e-6},
                                               {-1e-6, 100e-6}, {NAN, 100e-6}};
    for (const auto& [latest, span] : spans) {
        EXPECT_DOUBLE_EQ(AutoSpan(latest), span) << latest;
    }
    const std::pair<double, double> steps[] = {
        {100e-6, 10e-6}, {105e-6, 20e-6}, {2.0, 0.2}, {5e-9, 0.5e-9}};
    for (const auto& [width, step] : steps) {
        EXPECT_DOUBLE_EQ(TickStep(width), step) << width;
    }
    const std::vector<double> ticks = Ticks(-5e-6, 100e-6, 20e-6);
    ASSERT_EQ(ticks.size(), 6u);
    EXPECT_EQ(ticks.front(), 0.0);
    EXPECT_DOUBLE_EQ(ticks.back(), 100e-6);
    EXPECT_DOUBLE_EQ(Ticks(-40e-6, 10e-6, 20e-6).front(), -40e-6);
}

TEST(DiagramText, UnitsAndEscaping) {
    const std::pair<double, const char*> times[] = {
        {0.0, "0"},           {20e-6, "20 µs"},          {-1.5e-3, "-1.5 ms"},
        {320e-9, "320 ns"},   {63 * 320e-9, "20.16 µs"}, {999.99e-9, "1 µs"},
        {3 * 20e-6, "60 µs"}, {1374.389, "1374 s"}};
    for (const auto& [seconds, text] : times) {
        EXPECT_EQ(FormatTime(seconds), text);
    }
    EXPECT_EQ(FormatFrequency(50e3), "50 kHz");
    EXPECT_EQ(FormatFrequency(3.125e6), "3.125 MHz");

    const std::string bad = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> texts[] = {
        {"a<b>&\"'", "a&lt;b&gt;&amp;&quot;&apos;"},
        {"20 µs\tx", "20 µs\tx"},
        {std::string("\x01x\0", 3), "x"},
        {"\xC3", bad},                      // cut short
        {"\xC0\xAF", bad + bad},            // overlong '/'
        {"\xED\xA0\x80", bad + bad + bad},  // a surrogate
        {"\xEF\xBF\xBF", bad + bad + bad},  // U+FFFF
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const auto& [raw, escaped] : texts) {
        EXPECT_EQ(EscapeXml(raw), escaped);
    }
}

// Two devices between them hold every kind of mode; on the second, pair AB
// runs at 3.125 MHz, where the validate mode's default delay is too short.
struct Bench {
    Modes m;
    CVeltor first, second;

    Bench() {
        CTimingMode* firstModes[] = {&m.delaySwept,    &m.dyn,    &m.validate, &m.upDown,
                                     &m.clockInverted, &m.toggle, &m.count,    &m.passive};
        CTimingMode* secondModes[] = {&m.validate,  &m.null,      nullptr,           &m.custom,
                                      &m.fastClock, &m.countOnly, &m.toggleInverted, &m.validate};
        for (int i = 0; i < 8; ++i) {
            const char letter = static_cast<char>('A' + i);
            first.GetChannel(letter)->SetTimingMode(firstModes[i]);
            second.GetChannel(letter)->SetTimingMode(secondModes[i]);
        }
        second.GetPropA()->nClockAB = 1;
    }
};

TEST(DiagramSvg, OutOfRangeIsMarkedOnTheRowWhoseCheckFails) {
    Bench bench;
    const std::string first = DrawTiming(bench.first);
    EXPECT_EQ(first.find("out of range"), std::string::npos);
    EXPECT_NE(first.find(">100 µs<"), std::string::npos);  // 2 clock periods, 1.2 times, 1-2-5

    const std::string second = DrawTiming(bench.second, {2e-3, "<&>"});
    const std::size_t note = second.find("out of range");
    ASSERT_NE(note, std::string::npos);
    EXPECT_EQ(second.find("out of range", note + 1), std::string::npos);
    EXPECT_LT(note, second.find(">CNull<"));  // on row A
    EXPECT_NE(second.find("&lt;&amp;&gt;"), std::string::npos);
    EXPECT_NE(second.find(">2 ms<"), std::string::npos);  // the span given, not chosen
}

TEST(DiagramSvg, RendersAsAnImage) {
    if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "rsvg-convert is not on PATH";
    }
    Bench bench;
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::string stem = "veltor_diagram_" + std::to_string(getpid());
    const std::filesystem::path svg = dir / (stem + ".svg");
    const std::filesystem::path png = dir / (stem + ".png");
    const std::pair<const CVeltor*, DiagramOptions> drawings[] = {
        {&bench.first, {0.0, "Every mode & its \"times\""}}, {&bench.second, {1.0, ""}}};
    for (const auto& [device, options] : drawings) {
        std::ofstream(svg) << DrawTiming(*device, options);
        const std::string command = "rsvg-convert -o '" + png.string() + "' '" + svg.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        char signature[8] = {};
        std::ifstream(png, std::ios::binary).read(signature, sizeof signature);
        EXPECT_EQ(std::string(signature, 8), "\x89PNG\r\n\x1A\n");
        std::filesystem::remove(svg);
        std::filesystem::remove(png);
    }
}

}  // namespace
