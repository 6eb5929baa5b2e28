#include <gtest/gtest.h>

#include <functional>

#include "sim/Instrument.h"
#include "sim/Logic.h"
#include "sim_helpers.h"

namespace {

using simtest::Bytes;

// in(k) is the k-th instrument input, 1-based as in "in1".
struct Inputs {
    unsigned bits;
    bool in(int k) const { return ((bits >> (k - 1)) & 1u) != 0; }
};

struct LogicCase {
    const char* expression;
    Bytes code;
    std::function<bool(Inputs)> expected;
};

// The worked codes of the channel logic compiler, and a few hand-built
// programs for the parts of the instruction set it uses less.
TEST(SimLogic, CompilerCodesEvaluateAsTheirExpressions) {
    const std::vector<LogicCase> cases = {
        {"!a", {0xD0}, [](Inputs i) { return !i.in(1); }},
        {"!c", {0xD2}, [](Inputs i) { return !i.in(3); }},
        {"a&b", {0xC0, 0x01}, [](Inputs i) { return i.in(1) && i.in(2); }},
        {"a|b&c", {0xC0, 0x41, 0x02}, [](Inputs i) { return (i.in(1) || i.in(2)) && i.in(3); }},
        {"a^b", {0xC0, 0x81}, [](Inputs i) { return i.in(1) != i.in(2); }},
        {"a&!b", {0xC0, 0x11}, [](Inputs i) { return i.in(1) && !i.in(2); }},
        {"!(a&b)", {0xC0, 0x21}, [](Inputs i) { return !(i.in(1) && i.in(2)); }},
        {"a&(b|c)",
         {0xC0, 0xC1, 0x42, 0x0F},
         [](Inputs i) { return i.in(1) && (i.in(2) || i.in(3)); }},
        {"(a&b)|(c&d)",
         {0xC0, 0x01, 0xC2, 0x03, 0x4F},
         [](Inputs i) { return (i.in(1) && i.in(2)) || (i.in(3) && i.in(4)); }},
        {"a&z", {0xC0, 0xE0, 0x0F}, [](Inputs i) { return i.in(1); }},
        {"!z", {0xF0}, [](Inputs) { return false; }},
        {"z", {0xE0}, [](Inputs) { return true; }},
        {"!(!a)", {0xC0}, [](Inputs i) { return i.in(1); }},
        {"x|c with x=a&b",
         {0xC0, 0x01, 0x42},
         [](Inputs i) { return (i.in(1) && i.in(2)) || i.in(3); }},
        {"h^(g|!(e&f))",
         {0xC7, 0xC6, 0xC4, 0x25, 0x4F, 0x8F},
         [](Inputs i) { return i.in(8) != (i.in(7) || !(i.in(5) && i.in(6))); }},
        {"!(c&(a^b)) via inverted 15",
         {0xC2, 0xC0, 0x81, 0x2F},
         [](Inputs i) { return !(i.in(3) && (i.in(1) != i.in(2))); }},
    };
    for (const auto& c : cases) {
        for (unsigned bits = 0; bits < 256; ++bits) {
            bool ok = false;
            const bool got = vsim::EvaluateLogic(c.code, static_cast<uint8_t>(bits), 0, &ok);
            ASSERT_TRUE(ok) << c.expression;
            ASSERT_EQ(got, c.expected(Inputs{bits})) << c.expression << " inputs " << bits;
        }
    }
}

TEST(SimLogic, OutputOperandsAndOperandInversion) {
    for (unsigned outs = 0; outs < 256; ++outs) {
        const auto o = static_cast<uint8_t>(outs);
        const bool a = (outs & 0x01) != 0, g = (outs & 0x40) != 0, h = (outs & 0x80) != 0;
        EXPECT_EQ(vsim::EvaluateLogic({0xC8}, 0, o), a);
        EXPECT_EQ(vsim::EvaluateLogic({0xDE}, 0, o), !g);
        // outH is no operand: the top bit of `outputs` never matters.
        EXPECT_EQ(vsim::EvaluateLogic({0xC8, 0x4E}, 0, o), a || g) << h;
        // Bit 4 of an operand-15 byte inverts the value below the top.
        EXPECT_EQ(vsim::EvaluateLogic({0xC8, 0xC0, 0x1F}, 0x01, o), !a);
    }
}

TEST(SimLogic, MalformedCodeIsReported) {
    const std::vector<std::pair<const char*, Bytes>> bad = {
        {"combine on empty stack", {0x01}},   {"two values left", {0xC0, 0xC1}},
        {"operand 15 in a load", {0xCF}},     {"operand 15 with one value", {0xC0, 0x0F}},
        {"constant with an operand", {0xE3}}, {"double negation output", {0x20, 0xD0}},
    };
    for (const auto& b : bad) {
        bool ok = true;
        EXPECT_FALSE(vsim::EvaluateLogic(b.second, 0xFF, 0xFF, &ok)) << b.first;
        EXPECT_FALSE(ok) << b.first;
        EXPECT_FALSE(vsim::IsWellFormedLogic(b.second)) << b.first;
    }
    // Empty code is a channel without logic: low, and well formed.
    bool ok = false;
    EXPECT_FALSE(vsim::EvaluateLogic({}, 0xFF, 0xFF, &ok));
    EXPECT_TRUE(ok);
}

TEST(SimLogic, InstrumentEvaluatesTheLoadedCodeAndFlagsBadCode) {
    vsim::Instrument inst;
    inst.HandleRequest(simtest::Request({0x0B, 0x07, 0x03, 0x02, 0xC0, 0x81}));  // D: in1 ^ in2
    inst.HandleRequest(simtest::Request({0x0C, 0x07, 0x02, 0x01, 0x00}));        // E: '(a&)'
    EXPECT_TRUE(inst.State().ch[3].logicWellFormed);
    EXPECT_FALSE(inst.State().ch[4].logicWellFormed);
    for (unsigned bits = 0; bits < 4; ++bits) {
        bool ok = false;
        EXPECT_EQ(inst.LogicInput(3, static_cast<uint8_t>(bits), 0, &ok), bits == 1 || bits == 2);
        EXPECT_TRUE(ok);
    }
    bool ok = true;
    inst.LogicInput(4, 0, 0, &ok);
    EXPECT_FALSE(ok);

    // Loaded code takes effect with the implement request.
    EXPECT_TRUE(inst.State().ch[3].activeLogicCode.empty());
    inst.HandleRequest(simtest::Request({0xC0}));
    EXPECT_EQ(inst.State().ch[3].activeLogicCode, (Bytes{0xC0, 0x81}));
}

}  // namespace
