// What a host learns about a channel's logic text before anything is sent:
// Compile's result, its message and line, and the compiled code.
#include <gtest/gtest.h>
#include <veltor/CChLogic.h>
#include <veltor/CCommand.h>
#include <veltor/CLogic.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

Bytes CodeOf(const CChLogic& logic) {
    unsigned char code[CChLogic::kMaxRequestCode];
    int length = logic.GetCode(code, sizeof(code));
    EXPECT_GE(length, 0) << logic.GetLastError();
    return length < 0 ? Bytes() : Bytes(code, code + length);
}

// Compile and GetCommand leave the same result, message and line.
void ExpectCompile(CChLogic& logic, bool ok, const std::string& error, int line,
                   const std::string& shown) {
    EXPECT_EQ(logic.Compile(), ok) << shown;
    EXPECT_EQ(logic.IsValid(), ok) << shown;
    EXPECT_EQ(logic.GetLastError(), error) << shown;
    EXPECT_EQ(logic.GetErrorLine(), line) << shown;
    std::unique_ptr<CCommand> command(logic.GetCommand());
    EXPECT_EQ(command != nullptr, ok) << shown;
    EXPECT_EQ(logic.GetLastError(), error) << shown;
    EXPECT_EQ(logic.GetErrorLine(), line) << shown;
}

TEST(LogicDiagnostics, CompiledCode) {
    CLogic global;
    ASSERT_TRUE(global.SetGlobalLogic("g = in1 & in2;"));
    const struct {
        const char* text;
        Bytes code;
    } cases[] = {
        {"inA = in1 & !in2;", {0xC0, 0x11}},
        {"inA = g | in3;", {0xC0, 0x01, 0x42}},
        {"inA = ;", {}},
    };
    for (const auto& c : cases) {
        CChLogic logic(global.GetGlobalSymbols(), 'A');
        logic.SetLogicText(c.text);
        ExpectCompile(logic, true, "No errors.", 0, c.text);
        EXPECT_EQ(CodeOf(logic), c.code) << c.text;
    }
}

TEST(LogicDiagnostics, FailuresTellWhatAndWhere) {
    CLogic global;
    ASSERT_TRUE(global.SetGlobalLogic("g = in1 & in2;"));
    const std::string hintA = "; channel A's logic text must assign inA";
    const struct {
        char channel;
        std::string text;
        std::string error;
        int line;
    } cases[] = {
        // Compile failures: the line where the compiled assignment's name starts.
        {'A', "inA = in1 & ;", "Error--a binary operator lacks its right operand (line 1)", 1},
        {'A', "x = in1;\ny = x | in2;\ninA = y & ;",
         "Error--a binary operator lacks its right operand (line 3)", 3},
        {'A', "x = in1;\n// the input\ninA =\n  x &\n  ;",
         "Error--a binary operator lacks its right operand (line 3)", 3},
        {'A', "/* a\n */ inA = in1 & ();", "Error--empty parentheses (line 2)", 2},
        {'A', "inA = in1;\nz = in2 !;", "Error--a negation lacks its operand (line 2)", 2},
        {'A', "// one code byte too many\ninA = in1" + Repeat(" & in2", 247) + ";",
         "Error--logic code exceeds 247 bytes (line 2)", 2},
        // Parser failures keep the parser's message and line.
        {'A', "inA = in1;\nx = nope;", "Error--Symbol 'nope' not found. (line 2)", 2},
        {'A', "x = nope;\ninA = x;", "Error--Symbol 'nope' not found. (line 1)", 1},
        {'A', "g = in2;\ninA = g;", "Error--'g' is a duplicate symbol. (line 1)", 1},
        {'A', "inA = in1;\ninB = in2;", "Error--'inB' is a duplicate symbol. (line 2)", 2},
        {'A', "inA = in1;\ninA = in2;", "Error--'inA' is a duplicate symbol. (line 2)", 2},
        {'A', "inA = in1;" + std::string(4100, ' '),
         "Error--Logic text exceeds 4095 characters! (line 1)", 1},
        // The channel's own input left unassigned.
        {'A', "x = in1;", "Error--Symbol: 'inA' must be defined (line 1)" + hintA, 1},
        {'A', "", "Error--Symbol: 'inA' must be defined (line 1)" + hintA, 1},
        {'A', "inB = in1;", "Error--'inB' is a duplicate symbol. (line 1)" + hintA, 1},
        {'c', "x = in1;\n",
         "Error--Symbol: 'inC' must be defined (line 2); channel C's logic text must assign inC",
         2},
        {'Q', "inQ = in1;", "Error--no channel 'Q'", 0},
    };
    for (const auto& c : cases) {
        const std::string shown = c.text.substr(0, 40);
        CChLogic logic(global.GetGlobalSymbols(), c.channel);
        logic.SetLogicText(c.text.c_str());
        ExpectCompile(logic, false, c.error, c.line, shown);
        unsigned char code[CChLogic::kMaxRequestCode];
        EXPECT_EQ(logic.GetCode(code, sizeof(code)), -1) << shown;
    }
}

TEST(LogicDiagnostics, CodeBelongsToTheCurrentTextsLastCompile) {
    CChLogic logic(nullptr, 'B');
    logic.SetLogicText("inB = in1 & in2 | in3;");
    ASSERT_TRUE(logic.Compile());
    EXPECT_EQ(CodeOf(logic), (Bytes{0xC0, 0x01, 0x42}));
    unsigned char code[CChLogic::kMaxRequestCode];
    EXPECT_EQ(logic.GetCode(code, 2), -1);

    // A failed compile has overwritten the code it had begun: none is given.
    logic.SetLogicText("inB = in1 & in2 | (in3 &);");
    EXPECT_FALSE(logic.Compile());
    EXPECT_EQ(logic.GetCode(code, sizeof(code)), -1);

    // A parse alone leaves the message, the line and the validity.
    logic.SetLogicText("inB = in4;");
    EXPECT_TRUE(logic.ParseLogicText());
    EXPECT_STREQ(logic.GetLastError(), "Error--a binary operator lacks its right operand (line 1)");
    EXPECT_EQ(logic.GetErrorLine(), 1);
    EXPECT_FALSE(logic.IsValid());

    ASSERT_TRUE(logic.Compile());
    EXPECT_EQ(logic.GetErrorLine(), 0);
    EXPECT_EQ(CodeOf(logic), (Bytes{0xC3}));
    // A new text has no code until it is compiled.
    logic.SetLogicText("inB = in5;");
    EXPECT_EQ(logic.GetCode(code, sizeof(code)), -1);
}

TEST(LogicDiagnostics, GlobalLogicErrorLine) {
    CLogic global;
    EXPECT_EQ(global.GetErrorLine(), 0);
    EXPECT_FALSE(global.SetGlobalLogic("a = in1;\n\n/* c\n */ a = in2;"));
    EXPECT_STREQ(global.GetLastError(), "Error--'a' is a duplicate symbol. (line 4)");
    EXPECT_EQ(global.GetErrorLine(), 4);
    EXPECT_FALSE(global.SetGlobalLogic("a = in1 &\n | in2;"));
    EXPECT_EQ(global.GetErrorLine(), 2);
    // Like the message, the line stays through a later success.
    EXPECT_TRUE(global.SetGlobalLogic("a = in1;"));
    EXPECT_EQ(global.GetErrorLine(), 2);
}

}  // namespace
