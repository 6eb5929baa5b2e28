#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/Instrument.h"
#include "sim/Wire.h"
#include "sim_helpers.h"

namespace {

using simtest::Bytes;
using simtest::ClockPayload;
using simtest::ModePayload;
using simtest::Request;
using vsim::Instrument;
using vsim::InstrumentState;

const Bytes kAck = {0xAA, 0x01, 0xFF};
const Bytes kNak = {0xEE, 0x00};

struct RequestCase {
    const char* name;
    Bytes payload;
    Bytes answer;
    std::function<bool(const InstrumentState&)> check;
    Bytes before = {};  // a request sent first, for the cases that undo something
};

TEST(SimInstrument, EachRequestAnswersAndChangesState) {
    const std::vector<RequestCase> cases = {
        {"outputs on", {0x80}, kAck, [](auto& s) { return s.outputsEnabled; }},
        {"outputs off", {0x90}, kAck, [](auto& s) { return !s.outputsEnabled; }, {0x80}},
        {"lock", {0x50}, kAck, [](auto& s) { return s.panelLocked; }},
        {"unlock", {0x58}, kAck, [](auto& s) { return !s.panelLocked; }, {0x50}},
        {"reset all", {0x70}, kAck, [](auto& s) { return s.resetAllCount == 1; }},
        {"implement",
         {0xC0},
         kAck,
         [](auto& s) { return s.logicImplemented && s.implementCount == 1; }},
        {"enable A", {0x88, 0x08, 0x00}, kAck, [](auto& s) { return s.ch[0].enabled; }},
        {"disable H",
         {0x8F, 0x0E, 0x00},
         kAck,
         [](auto& s) { return !s.ch[7].enabled; },
         {0x8F, 0x08, 0x00}},
        {"trigger C", {0x8A, 0x0C, 0x00}, kAck, [](auto& s) { return s.ch[2].triggerCount == 1; }},
        {"reset D", {0x8B, 0x09, 0x00}, kAck, [](auto& s) { return s.ch[3].resetCount == 1; }},
        {"query C",
         {0x42, 0x0B, 0x00},
         {0xAA, 0x06, 0x02, 0xA0, 0x0F, 0x00, 0x00, 0x49},
         [](auto& s) { return s.ch[2].delayCounts == 4000; }},
        {"query H",
         {0x47, 0x0B, 0x00},
         {0xAA, 0x06, 0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0xF7},
         [](auto&) { return true; }},
        {"clock options",
         {0x10, 0x20, 0x39, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67},
         kAck,
         [](auto& s) {
             return s.clockFlags == 0x20 && s.clockSources == 0x39 && s.clockOptionsReceived == 1 &&
                    !s.panelLocked;
         }},
        {"logic H",
         {0x0F, 0x07, 0x02, 0x01, 0xD7},
         kAck,
         [](auto& s) { return s.ch[7].logicCode == Bytes{0xD7} && s.ch[7].logicWellFormed; }},
        {"empty logic A",
         {0x08, 0x07, 0x01, 0x00},
         kAck,
         [](auto& s) { return s.ch[0].logicCode.empty() && s.ch[0].logicLoadCount == 1; }},
        {"timing mode", ModePayload(1, {0x04}), kAck,
         [](auto& s) { return s.ch[1].hasMode && s.ch[1].modeName == "null"; }},
    };
    for (const auto& c : cases) {
        Instrument inst;
        inst.SetChannelDelay(2, 4000);
        inst.SetChannelDelay(7, 0xFFFFFFFF);
        if (!c.before.empty()) {
            ASSERT_EQ(inst.HandleRequest(Request(c.before)), kAck) << c.name;
        }
        EXPECT_EQ(inst.HandleRequest(Request(c.payload)), c.answer) << c.name;
        EXPECT_TRUE(c.check(inst.State())) << c.name;
        EXPECT_EQ(inst.State().negativeCount, 0u) << c.name;
    }
}

TEST(SimInstrument, MalformedRequestsAreRefusedWithoutEffect) {
    Bytes badSum = Request({0x80});
    badSum.back() ^= 0x01;
    Bytes badPad = Request({0x80});
    badPad[4] = 0x01;
    badPad[5] = static_cast<uint8_t>(badPad[5] - 1);  // checksum still closes
    Bytes badLength = Request({0x80});
    badLength[2] = 0x04;
    const Bytes fixedWrong = {0x10, 0x00, 0x00, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x66};
    Bytes clockNoTrailer = ClockPayload(0, {0x16});
    clockNoTrailer.back() = 0x00;

    const std::vector<std::pair<const char*, Bytes>> frames = {
        {"bad checksum", badSum},
        {"pad byte not zero", badPad},
        {"length byte wrong", badLength},
        {"frame code", Request({0x80}, 0xD9)},
        {"too short", {0x25, 0xD8, 0x02, 0x00}},
        {"empty payload", Request({})},
        {"unknown selector", Request({0x60})},
        {"single byte with extra", Request({0x80, 0x00})},
        {"unknown channel code", Request({0x88, 0x0A, 0x00})},
        {"channel command short", Request({0x88, 0x08})},
        {"channel command count", Request({0x88, 0x08, 0x01})},
        {"query with trigger code", Request({0x40, 0x0C, 0x00})},
        {"clock options short", Request({0x10, 0x00, 0x00})},
        {"clock fixed bytes", Request(fixedWrong)},
        {"clock unknown flag", Request({0x10, 0x01, 0x00, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67})},
        {"logic length mismatch", Request({0x08, 0x07, 0x03, 0x01, 0xD0})},
        {"logic count mismatch", Request({0x08, 0x07, 0x02, 0x02, 0xD0})},
        {"logic code", Request({0x08, 0x06, 0x02, 0x01, 0xD0})},
        {"mode 24 bytes", Request([] {
             Bytes p = ModePayload(0, {0x04});
             p.pop_back();
             return p;
         }())},
        {"mode count byte", Request([] {
             Bytes p = ModePayload(0, {0x04});
             p[2] = 0x13;
             return p;
         }())},
        {"mode command code", Request([] {
             Bytes p = ModePayload(0, {0x04});
             p[1] = 0x0E;
             return p;
         }())},
        {"mode code 2", Request(ModePayload(0, {0x02}))},
        {"clock mode long form", Request(ModePayload(0, {0x16}))},
        {"clock without trailer", Request(clockNoTrailer)},
        {"clock high byte 2", Request(ClockPayload(0, {0x16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}))},
    };
    for (const auto& f : frames) {
        Instrument inst;
        InstrumentState before = inst.State();
        EXPECT_EQ(inst.HandleRequest(f.second), kNak) << f.first;
        before.requestCount = 1;
        before.negativeCount = 1;
        EXPECT_TRUE(inst.State() == before) << f.first;
    }
}

struct ModeCase {
    const char* name;
    Bytes payload;
    const char* modeName;
    uint32_t delay;
    uint32_t duration;
    double delaySeconds;  // at 200 MHz
};

TEST(SimInstrument, TimingModePayloadsDecode) {
    const Bytes kTimes = {0xA0, 0x0F, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00};  // 4000, 2000
    auto with = [&](Bytes head) {
        head.insert(head.end(), kTimes.begin(), kTimes.end());
        return head;
    };
    const std::vector<ModeCase> cases = {
        {"delay", ModePayload(0, with({0x10, 0x04, 0x00})), "delay", 4000, 2000, 2e-5},
        {"dyndelay", ModePayload(0, with({0x17, 0x04, 0x2C})), "dyndelay", 4000, 2000, 2e-5},
        {"validate", ModePayload(0, {0x10, 0x44, 0x00, 0x70, 0x17, 0, 0, 0x70, 0x17}), "validate",
         6000, 6000, 3e-5},
        {"count", ModePayload(0, {0xF3, 0x07}), "count", 0, 0, 0.0},
        {"updown", ModePayload(0, with({0x13, 0x44, 0x00})), "updown", 4000, 2000, 2e-5},
        {"updown negative", ModePayload(0, {0x13, 0x44, 0, 0x60, 0xF0, 0xFF, 0xFF, 0xD0, 0x07}),
         "updown", 0xFFFFF060u, 2000, -2e-5},
        {"toggle inverted", ModePayload(7, {0x21}), "toggle", 0, 0, 0.0},
        {"null", ModePayload(0, {0x04}), "null", 0, 0, 0.0},
        {"passive", ModePayload(2, {0x05}), "passive", 0, 0, 0.0},
        {"clock", ClockPayload(0, with({0x16, 0x00, 0x00})), "clock", 4000, 2000, 2e-5},
    };
    for (const auto& c : cases) {
        Instrument inst;
        ASSERT_EQ(inst.HandleRequest(Request(c.payload)), kAck) << c.name;
        const vsim::ChannelState& ch = inst.State().ch[c.payload[0]];
        EXPECT_TRUE(ch.hasMode) << c.name;
        EXPECT_EQ(ch.modePayload, c.payload) << c.name;
        EXPECT_EQ(ch.modeName, c.modeName) << c.name;
        EXPECT_EQ(ch.modeCode, c.payload[3] & 7) << c.name;
        EXPECT_EQ(ch.delayCounts1, c.delay) << c.name;
        EXPECT_EQ(ch.durationCounts, c.duration) << c.name;
        EXPECT_DOUBLE_EQ(ch.delaySeconds, c.delaySeconds) << c.name;
        EXPECT_DOUBLE_EQ(ch.durationSeconds, c.duration / 200e6) << c.name;
    }
}

TEST(SimInstrument, TimingModeFieldsAndClockDetails) {
    Instrument inst;
    // Delay mode with sweep bit, trigger value 4660, selector 0x07, sweep 10000.
    const Bytes delay = ModePayload(3, {0x98, 0x06, 0x00, 0xA0, 0x0F, 0, 0, 0xD0, 0x07, 0, 0, 0x34,
                                        0x12, 0x00, 0x07, 0x10, 0x27, 0x00, 0x00});
    ASSERT_EQ(inst.HandleRequest(Request(delay)), kAck);
    const auto& d = inst.State().ch[3];
    EXPECT_EQ(d.modeByte, 0x98);
    EXPECT_EQ(d.optionByte, 0x06);
    EXPECT_EQ(d.triggerValue, 4660u);
    EXPECT_EQ(d.valueSelector, 0x07);
    EXPECT_EQ(d.sweepCounts, 10000u);
    EXPECT_FALSE(d.inverted);

    // Inverted clock: the host sends the second time first.
    ASSERT_EQ(inst.HandleRequest(Request(ClockPayload(
                  4, {0x36, 0x00, 0x00, 0xA0, 0x0F, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00}))),
              kAck);
    const auto& c = inst.State().ch[4];
    EXPECT_TRUE(c.inverted);
    EXPECT_EQ(c.delayCounts1, 4000u);
    EXPECT_EQ(c.durationCounts, 2000u);
    EXPECT_EQ(c.sweepCounts, 0u);

    // Byte 13 carries 2^24 of the second count.
    ASSERT_EQ(inst.HandleRequest(Request(
                  ClockPayload(5, {0x16, 0x00, 0x00, 0x80, 0, 0, 0, 0x05, 0x00, 0x00, 0x01}))),
              kAck);
    EXPECT_EQ(inst.State().ch[5].durationCounts, (1u << 24) + 5u);
    EXPECT_EQ(inst.State().ch[5].triggerValue, 0u);
}

TEST(SimInstrument, SecondsFollowThePairsClockSource) {
    struct Case {
        uint8_t sources;
        double refHz;
        double hz[4];  // pairs AB, CD, EF, GH
    };
    const std::vector<Case> cases = {
        {0x00, 100e6, {200e6, 200e6, 200e6, 200e6}},
        {0x39, 100e6, {3.125e6, 200e6, 3.125e6, 200e6}},  // AB 1, CD 2, EF 3, GH 0
        {0x39, 10e6, {3.125e6, 20e6, 312500.0, 200e6}},
        {0xE4, 50e6, {200e6, 3.125e6, 100e6, 1.5625e6}},  // 0, 1, 2, 3
    };
    const Bytes mode = ModePayload(0, {0x10, 0x04, 0x00, 0xA0, 0x0F, 0, 0, 0xD0, 0x07});
    for (const auto& c : cases) {
        Instrument inst;
        inst.SetReferenceHz(c.refHz);
        for (uint8_t ch = 0; ch < 8; ++ch) {
            Bytes p = mode;
            p[0] = ch;
            ASSERT_EQ(inst.HandleRequest(Request(p)), kAck);
        }
        // Options after the modes: the counts stay, their times change.
        ASSERT_EQ(inst.HandleRequest(
                      Request({0x10, 0x28, c.sources, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67})),
                  kAck);
        for (int ch = 0; ch < 8; ++ch) {
            const double hz = c.hz[ch / 2];
            const auto& s = inst.State().ch[ch];
            EXPECT_DOUBLE_EQ(inst.ClockHz(ch), hz) << int(c.sources) << " ch " << ch;
            EXPECT_DOUBLE_EQ(s.delaySeconds, 4000 / hz) << int(c.sources) << " ch " << ch;
            EXPECT_DOUBLE_EQ(s.durationSeconds, 2000 / hz) << int(c.sources) << " ch " << ch;
        }
    }
}

TEST(SimInstrument, DelayReportLayout) {
    EXPECT_EQ(Instrument::DelayReport(2, 4000),
              (Bytes{0x51, 0x06, 0x02, 0xA0, 0x0F, 0x00, 0x00, 0x49}));
    for (uint32_t counts : {0u, 1u, 0x12345678u, 0xFFFFFFFFu}) {
        for (int ch = 0; ch < 8; ++ch) {
            const Bytes r = Instrument::DelayReport(ch, counts);
            ASSERT_EQ(r.size(), 8u);
            EXPECT_EQ(vsim::ByteSum(r.data() + 1, 7), 0);
            EXPECT_EQ(vsim::ReadLe32(&r[3]), counts);
            EXPECT_EQ(r[2], ch);
        }
    }
}

}  // namespace
