// Logic texts whose binary operators of different kinds share a group
// without parentheses are flagged, once per assignment, on the right line.
#include <gtest/gtest.h>
#include <veltor/veltor.h>

#include <string>

namespace {

TEST(LogicWarnings, MixedOperatorsWithoutParentheses) {
    struct Case {
        const char* text;
        int line;           // of the warning, 0: none
        const char* names;  // what the warning says is mixed
    };
    const Case cases[] = {
        {"inB = in1 | in2 & in3;", 1, "inB mixes or and and"},
        {"inB = in1 + in2 * in3;", 1, "inB mixes or and and"},
        {"inB = {in1 # in2 ^ in3};", 1, "inB mixes or and xor"},
        {"inB = in1 AND in2\n  xor in3;", 2, "inB mixes and and xor"},
        {"x = in1 ^ in2;\ninB = x | in3 & not in4;", 2, "inB mixes or and and"},
        // One kind in each group, whatever its spelling, is what it seems.
        {"inB = in1 | (in2 & in3);", 0, ""},
        {"inB = (in1 | in2) & (in3 ^ in4);", 0, ""},
        {"inB = in1 OR in2 or in3 # in4 + in5 | in6;", 0, ""},
        {"inB = not in1 & ~in2 & !in3;", 0, ""},
        // Names that hold operator words, and operators in comments.
        {"inB = color & andover;", 0, ""},
        {"// in1 | in2 & in3\ninB = in1 & in2; /* | \n ^ */", 0, ""},
        // A group closed before the next operator keeps its own kind.
        {"/* x\n */ inB = (in1 | in2) & in3 | in4;", 2, "inB mixes and and or"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::vector<veltor::LogicWarning> found = veltor::FindLogicWarnings(c.text);
        if (c.line == 0) {
            EXPECT_TRUE(found.empty()) << found.front().text;
            continue;
        }
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].line, c.line);
        EXPECT_EQ(found[0].text.rfind(c.names, 0), 0u) << found[0].text;
    }
}

TEST(LogicWarnings, OnePerAssignmentAndTheChannelsText) {
    const std::string text = "x = in1 | in2 & in3 ^ in4;\ninB = x & in5 | in6;";
    const std::vector<veltor::LogicWarning> found = veltor::FindLogicWarnings(text);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].line, 1);
    EXPECT_EQ(found[1].line, 2);

    CVeltor device;
    CChannel* channel = device.GetChannel('B');
    ASSERT_TRUE(channel->SetChannelLogic(text.c_str()));
    EXPECT_EQ(channel->GetLogicWarnings().size(), 2u);
    // Warnings never stop a compile.
    EXPECT_TRUE(channel->CompileLogic()) << channel->GetLogicError();
}

}  // namespace
