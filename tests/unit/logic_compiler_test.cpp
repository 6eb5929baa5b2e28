// The channel logic compiler: code for symbolized logic, refusal of
// incomplete expressions and of code one request cannot carry, and the logic
// load request.
#include <gtest/gtest.h>
#include <veltor/CChLogic.h>
#include <veltor/CCommand.h>
#include <veltor/CLogic.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class Compiler : public CChLogic {
public:
    explicit Compiler(char channel = 'A', CSymbl** globals = nullptr)
        : CChLogic(globals, channel) {}
    void SetLogic(const std::string& logic) {
        std::snprintf(m_Logic, sizeof(m_Logic), "%s", logic.c_str());
    }
    std::string Logic() const { return m_Logic; }
    std::string Text() const { return m_LogicText; }
    Bytes Code() const { return Bytes(m_Code + 1, m_Code + 1 + m_Code[0]); }
};

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

TEST(LogicCompiler, CompilesSymbolizedLogic) {
    const struct {
        std::string logic;
        Bytes code;
    } cases[] = {
        {"(!a)", {0xD0}},
        {"(a&b)", {0xC0, 0x01}},
        {"(a|b&c)", {0xC0, 0x41, 0x02}},
        {"(a^b)", {0xC0, 0x81}},
        {"(a&!b)", {0xC0, 0x11}},
        {"(!(a&b))", {0xC0, 0x21}},
        {"(a&(b|c))", {0xC0, 0xC1, 0x42, 0x0F}},
        {"((a&b)|(c&d))", {0xC0, 0x01, 0xC2, 0x03, 0x4F}},
        {"(a&z)", {0xC0, 0xE0, 0x0F}},
        {"(!z)", {0xF0}},
        {"(!(!a))", {0xC0}},
        {"(`|y|i|o|h)", {0xF0, 0xF0, 0x4F, 0x48, 0x4E, 0x47}},
        {"(!y^!b)", {0xE0, 0x91}},
        {"(c|!(a&b))", {0xC2, 0xC0, 0x21, 0x4F}},
        {"(a&!(b|c)&d)", {0xC0, 0xC1, 0x62, 0x0F, 0x03}},
        {"((((a))))", {0xC0}},
        {"", {}},
        {"()", {}},
        {"(())", {}},
        // Runs of negations in front of an operand or a group.
        {"(!!a)", {0xC0}},
        {"(!!!a)", {0xD0}},
        {"(a&!!b)", {0xC0, 0x01}},
        {"(!!(a&b)|!!!c)", {0xC0, 0x01, 0x52}},
        {"(!!!!(!a))", {0xD0}},
    };
    for (const auto& c : cases) {
        Compiler compiler;
        compiler.SetLogic(c.logic);
        EXPECT_TRUE(compiler.CompressLogic()) << c.logic << ": " << compiler.GetLastError();
        EXPECT_EQ(compiler.Code(), c.code) << c.logic;
        EXPECT_TRUE(compiler.IsValid());
        EXPECT_STREQ(compiler.GetLastError(), "No errors.");
        EXPECT_EQ(compiler.Logic(), c.logic) << "the compile must not change m_Logic";
    }
}

TEST(LogicCompiler, RefusesWhatIsNoCompleteExpression) {
    const struct {
        std::string logic;
        const char* error;
    } cases[] = {
        {"(&a)", "a binary operator lacks its left operand"},
        {"(a|(&b))", "a binary operator lacks its left operand"},
        {"(a&)", "a binary operator lacks its right operand"},
        {"(a&)(b)", "a binary operator lacks its right operand"},
        {"(a!)", "a negation lacks its operand"},
        {"(a!!)", "a negation lacks its operand"},
        {"(!)", "a negation lacks its operand"},
        {"(!!)", "a negation lacks its operand"},
        {"(!&a)", "a negation lacks its operand"},
        {"(a&())", "empty parentheses"},
        {"(()|a)", "empty parentheses"},
        {"(a)(b)", "two operands without an operator between them"},
        {"(a!b)", "two operands without an operator between them"},
        {"(ab)", "two operands without an operator between them"},
        // The compiler's own errors come first and read as they always have.
        {"(a&q)", "Cannot understand symbol 'q'."},
        {"(&q)", "Cannot understand symbol 'q'."},
        {"(a#b)", "Cannot understand symbol '#'."},
        {"((a", "wrong number of unary operators"},
        {"(a&(b", "wrong number of binary operators"},
        {"(a&b", "unbalanced parentheses"},
        {")", "Binary operator stack empty."},
        {"(" + Repeat("a&", 511) + "a)", "Symbol stack full"},
        {Repeat("(&", 512) + "a" + Repeat(")", 512), "Operator stack full."},
        {Repeat("(", 512) + "a" + Repeat(")", 512), "Negation stack full."},
        {"(" + Repeat("a&", 247) + "a)", "logic code exceeds 247 bytes"},
    };
    for (const auto& c : cases) {
        Compiler compiler;
        compiler.SetLogic("(a)");
        ASSERT_TRUE(compiler.CompressLogic());
        compiler.SetLogic(c.logic);
        EXPECT_FALSE(compiler.CompressLogic()) << c.logic;
        EXPECT_FALSE(compiler.IsValid()) << c.logic;
        EXPECT_EQ(compiler.GetLastError(), std::string("Error--") + c.error)
            << c.logic.substr(0, 40);
    }
}

TEST(LogicCompiler, DepthAndLengthLimitsThatStillFit) {
    Compiler deep;
    deep.SetLogic(Repeat("(", 511) + "!a" + Repeat(")", 511));
    EXPECT_TRUE(deep.CompressLogic()) << deep.GetLastError();
    EXPECT_EQ(deep.Code(), Bytes{0xD0});

    // 247 code bytes make the largest request: 251 payload bytes.
    Compiler longest;
    longest.SetLogicText(("inA = in1" + Repeat(" & in2", 246) + ";").c_str());
    std::unique_ptr<CCommand> command(longest.GetCommand());
    ASSERT_NE(command, nullptr) << longest.GetLastError();
    EXPECT_EQ(command->m_RequestLength, 256);
    EXPECT_EQ(command->m_Request[2], 253);
    EXPECT_EQ(command->m_Request[5], 248);  // L + 1
    EXPECT_EQ(command->m_Request[6], 247);  // L

    longest.SetLogicText(("inA = in1" + Repeat(" & in2", 247) + ";").c_str());
    EXPECT_EQ(longest.GetCommand(), nullptr);
    EXPECT_STREQ(longest.GetLastError(), "Error--logic code exceeds 247 bytes (line 1)");
}

TEST(LogicCompiler, DefaultTextsAndLoadRequests) {
    const struct {
        char letter;
        const char* text;
        Bytes payload;
    } cases[] = {
        {'A', "inA = not in1;\r\n", {0x08, 0x07, 0x02, 0x01, 0xD0}},
        {'c', "inC = not in3;\r\n", {0x0A, 0x07, 0x02, 0x01, 0xD2}},
        {'H', "inH = not in8;\r\n", {0x0F, 0x07, 0x02, 0x01, 0xD7}},
    };
    for (const auto& c : cases) {
        Compiler compiler(c.letter);
        EXPECT_EQ(compiler.Text(), c.text);
        EXPECT_FALSE(compiler.IsValid());
        EXPECT_STREQ(compiler.GetLastError(), "");
        std::unique_ptr<CCommand> command(compiler.GetCommand());
        ASSERT_NE(command, nullptr) << c.letter;
        Bytes payload(command->m_Request + 3, command->m_Request + command->m_RequestLength - 2);
        EXPECT_EQ(payload, c.payload) << c.letter;
        EXPECT_EQ(command->m_Request[1], 0xD8);
        EXPECT_STREQ(command->m_Status, "Programming the logic...");
        EXPECT_EQ(command->m_Timeout, 500);
        EXPECT_EQ(command->m_Tries, 5);
        EXPECT_EQ(command->m_UserData, 0u);
        EXPECT_TRUE(compiler.IsValid());
        EXPECT_STREQ(compiler.GetLastError(), "No errors.");
    }

    Compiler a('A');
    std::unique_ptr<CCommand> command(a.GetCommand());
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(Bytes(command->m_Request, command->m_Request + command->m_RequestLength),
              (Bytes{0x25, 0xD8, 0x07, 0x08, 0x07, 0x02, 0x01, 0xD0, 0x00, 0x17}));

    Compiler empty('A');
    empty.SetLogicText("inA = ;");
    command.reset(empty.GetCommand());
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(Bytes(command->m_Request + 3, command->m_Request + 7),
              (Bytes{0x08, 0x07, 0x01, 0x00}));
}

TEST(LogicCompiler, TextsParseAgainstTheGlobalSymbols) {
    CLogic global;
    ASSERT_TRUE(global.SetGlobalLogic("x = in1 & in2;"));
    const std::string wide = "y = x" + Repeat(" ^ x", 51) + "; inA = y;";
    const struct {
        const char* text;
        bool ok;
        Bytes code;
    } cases[] = {
        {"inA = x | in3;", true, {0xC0, 0x01, 0x42}},
        {"y = !x; inA = y ^ outB;", true, {0xC0, 0x21, 0x89}},
        {"inA = in1; z = in2;", true, {0xC1}},  // the last assignment is compiled
        {"x = in2; inA = x;", false, {}},       // a global may not be assigned
        {"z = in2;", false, {}},                // the input must be assigned
        {"inA = inA;", false, {}},
        {"y = y; inA = y;", false, {}},  // used before it is defined
        {"inA = not not in1;", true, {0xC0}},
        {"inA = in1 &;", false, {}},
        {"inA = ! in1 !;", false, {}},
        // An intermediate symbol that expands past 255 characters.
        {wide.c_str(), false, {}},
        {"inA = in3 & in1) | (in2;", false, {}},  // closes its own parentheses
    };
    for (const auto& c : cases) {
        Compiler compiler('A', global.GetGlobalSymbols());
        compiler.SetLogicText(c.text);
        std::unique_ptr<CCommand> command(compiler.GetCommand());
        EXPECT_EQ(command != nullptr, c.ok) << c.text << ": " << compiler.GetLastError();
        if (command) {
            EXPECT_EQ(compiler.Code(), c.code) << c.text;
        }
    }

    // A later parse sees the current global symbols.
    Compiler compiler('A', global.GetGlobalSymbols());
    compiler.SetLogicText("inA = x;");
    EXPECT_TRUE(compiler.ParseLogicText());
    ASSERT_TRUE(global.SetGlobalLogic(""));
    EXPECT_FALSE(compiler.ParseLogicText());
}

TEST(LogicCompiler, StateAcrossTextsAndCompiles) {
    Compiler compiler('B');
    ASSERT_NE(std::unique_ptr<CCommand>(compiler.GetCommand()), nullptr);
    EXPECT_TRUE(compiler.IsValid());

    // A new text clears the validity but not the last result of the compile.
    compiler.SetLogicText("inB = in1 &;");
    EXPECT_FALSE(compiler.IsValid());
    EXPECT_STREQ(compiler.GetLastError(), "No errors.");
    // It parses (the parser lets a trailing operator through) but is no
    // complete expression.
    EXPECT_TRUE(compiler.ParseLogicText());
    EXPECT_FALSE(compiler.CompressLogic());
    EXPECT_STREQ(compiler.GetLastError(), "Error--a binary operator lacks its right operand");

    // A failed parse leaves m_Logic, so CompressLogic compiles the last
    // successful parse.
    compiler.SetLogicText("inB = in3 ^ in4;");
    ASSERT_TRUE(compiler.ParseLogicText());
    compiler.SetLogicText("inB = nothing;");
    EXPECT_FALSE(compiler.ParseLogicText());
    EXPECT_EQ(compiler.Logic(), "(c^d)");
    EXPECT_TRUE(compiler.CompressLogic());
    EXPECT_EQ(compiler.Code(), (Bytes{0xC2, 0x83}));
    // The command compiles the current text, whose parse fails, and tells why.
    EXPECT_EQ(compiler.GetCommand(), nullptr);
    EXPECT_STREQ(compiler.GetLastError(), "Error--Symbol 'nothing' not found. (line 1)");
    EXPECT_FALSE(compiler.IsValid());

    compiler.SetLogicText("inB = in2;");
    ASSERT_TRUE(compiler.Compile());
    compiler.Invalidate();
    EXPECT_FALSE(compiler.IsValid());

    // A text too long to keep never parses, even though its first 4095
    // characters would.
    std::string text = "inB = in1;" + std::string(4090, ' ');
    compiler.SetLogicText(text.c_str());
    EXPECT_FALSE(compiler.ParseLogicText());
    EXPECT_EQ(compiler.GetCommand(), nullptr);
    compiler.SetLogicText(nullptr);
    EXPECT_EQ(compiler.Text(), "");
    EXPECT_FALSE(compiler.ParseLogicText());

    // No channel beyond H: its selector byte would name another function.
    Compiler nowhere('Q');
    nowhere.SetLogicText("inQ = in1;");
    EXPECT_EQ(nowhere.GetCommand(), nullptr);
    EXPECT_STREQ(nowhere.GetLastError(), "Error--no channel 'Q'");
}

}  // namespace
