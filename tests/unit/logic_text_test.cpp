// The logic text parser: symbolized forms, error messages with their line
// numbers, and the symbol table it publishes.
#include <gtest/gtest.h>
#include <veltor/CLogicText.h>
#include <veltor/CSymbl.h>

#include <string>

namespace {

class Parser : public CLogicText {
public:
    explicit Parser(const char* text, CSymbl** globals = nullptr) : CLogicText(text, globals) {}
    std::string Logic() const { return m_Logic; }
    const CSymbl* Find(const char* name) {
        int i = IsFound(name);
        return i < 0 ? nullptr : m_Symbols[i];
    }
};

std::string Error(const std::string& message, int line) {
    return "Error--" + message + " (line " + std::to_string(line) + ")";
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

struct Accepted {
    const char* text;
    const char* logic;  // m_Logic after Symbolize
};

TEST(LogicText, SymbolizesAcceptedTexts) {
    const Accepted cases[] = {
        {"", ""},
        {" \t\r\n// only a comment\n/* and another */", ""},
        {"x = ;", "()"},
        {"x=in1&in2;", "(a&b)"},
        {"x = in1 and not HIGH;", "(a&!z)"},
        {"x = in1 + in2 * in3;", "(a|b&c)"},
        {"x = in1 # in2 OR in3 or in4 | in5;", "(a|b|c|d|e)"},
        {"x = in1 AND in2 ^ in3 XOR in4 xor in5;", "(a&b^c^d^e)"},
        {"x = ~in1 & NOT { in2 } ^ !(outA);", "(!a&!(b)^!(i))"},
        {"x = NULL | LOW | HIGH | outA | outG | in8;", "(`|y|z|i|o|h)"},
        {"x = in1 & in2; y = x | in3;", "((a&b)|c)"},
        {"/*/ x = in1;", "(a)"},
        {"x // note\n= in1;", "(a)"},
        {"x = in1/*c*/&in2;", "(a&b)"},
        {"_x = in1; $y = _x;", "((a))"},
    };
    for (const Accepted& c : cases) {
        Parser p(c.text);
        EXPECT_TRUE(p.Symbolize()) << c.text << ": " << p.GetLastError();
        EXPECT_EQ(p.Logic(), c.logic) << c.text;
        EXPECT_STREQ(p.GetLastError(), "") << c.text;
    }
}

struct Refused {
    const char* text;
    const char* unlock;
    std::string error;
};

TEST(LogicText, RefusesWithMessageAndLine) {
    const Refused cases[] = {
        {"x = in1 And in2;", nullptr, Error("Symbol 'And' not found.", 1)},
        {"x = IN1;", nullptr, Error("Symbol 'IN1' not found.", 1)},
        {"x = in1 = in2;", nullptr, Error("Symbol '=' not found.", 1)},
        {"x = 1;", nullptr, Error("Symbol '1' not found.", 1)},
        {"x = in1; x = in2;", nullptr, Error("'x' is a duplicate symbol.", 1)},
        {"in1 = HIGH;", nullptr, Error("'in1' is a duplicate symbol.", 1)},
        {"inA = in1;", nullptr, Error("'inA' is a duplicate symbol.", 1)},
        {"x = in2;", "inA", Error("Symbol: 'inA' must be defined", 1)},
        {"x = inB;", nullptr, Error("Cannot use 'inB' in R-Value", 1)},
        {"x = outH;", nullptr, Error("Cannot use 'outH' in R-Value", 1)},
        {"1x = in1;", nullptr, Error("'1' is an invalid leading\ncharacter for a symbol name.", 1)},
        {"{x = in1;", nullptr, Error("'{' is an invalid leading\ncharacter for a symbol name.", 1)},
        {"x = in1 in2;", nullptr, Error("Adjacent symbols!", 1)},
        {"x = (in1)(in2);", nullptr, Error("Adjacent symbols!", 1)},
        {"x = in1 & | in2;", nullptr, Error("Adjacent logic operations!", 1)},
        {"x = in1 ! & in2;", nullptr, Error("Adjacent logic operations!", 1)},
        {"x = (in1;", nullptr, Error("Unbalanced parentheses.", 1)},
        {"x = in1);", nullptr, Error("Unmatched parentheses!", 1)},
        {"x = in1", nullptr, Error("Assignment must end with a ';'", 1)},
        {"x", nullptr, Error("No RValue!", 1)},
        {"x ", nullptr, Error("Syntax.", 1)},
        {"x : = in1;", nullptr, Error("Syntax.", 1)},
        {"x = in1 /+ in2;", nullptr, Error("Syntax.", 1)},
        {"/* x = in1;", nullptr, Error("Extended comment does not end!", 1)},
        {"// one\n/* two\n */ x = in1;\ny = ;\nz = nope;", nullptr,
         Error("Symbol 'nope' not found.", 5)},
        {"a = in1;\n\nb = in1 &\n  & in2;", nullptr, Error("Adjacent logic operations!", 4)},
        // A symbol has no value on the right-hand side of its own assignment.
        {"x = x;", nullptr, Error("Symbol 'x' is used before it is defined.", 1)},
        {"y = in1;\nx = y & (in2 | x);", nullptr,
         Error("Symbol 'x' is used before it is defined.", 2)},
    };
    for (const Refused& c : cases) {
        Parser p(c.text);
        if (c.unlock != nullptr) {
            p.UnlockSymbol(c.unlock);
        }
        EXPECT_FALSE(p.Symbolize()) << c.text;
        EXPECT_FALSE(p.IsValid()) << c.text;
        EXPECT_EQ(p.GetLastError(), c.error) << c.text;
    }
}

// Found by fuzzing: a right-hand side that closed the parentheses put around
// it and opened new ones balanced overall and was accepted, so "in3 & x" for
// x = "in1) | (in2" meant (in3 & in1) | in2.
TEST(LogicText, RightHandSideClosingItsOwnParenthesesIsRefused) {
    const Refused cases[] = {
        {"x = in1) | (in2;", nullptr, Error("Unmatched parentheses!", 1)},
        {"x = )(;", nullptr, Error("Unmatched parentheses!", 1)},
        {"a = in1;\nx = (in1) & in2 ) ^ ( in3;", nullptr, Error("Unmatched parentheses!", 2)},
        {"inA =( (!!in3) |!!!!in1) |!!!!!!!!in1) |!!!!!( !!!( !!!in3) |!!in8;", "inA",
         Error("Unmatched parentheses!", 1)},
    };
    for (const Refused& c : cases) {
        Parser p(c.text);
        if (c.unlock != nullptr) {
            p.UnlockSymbol(c.unlock);
        }
        EXPECT_FALSE(p.Symbolize()) << c.text;
        EXPECT_EQ(p.GetLastError(), c.error) << c.text;
    }
    Parser nested("x = ((in1) | (in2));");
    EXPECT_TRUE(nested.Symbolize()) << nested.GetLastError();
    EXPECT_EQ(nested.Logic(), "(((a)|(b)))");
}

TEST(LogicText, UnlockedInputMustBeAssignedOnce) {
    Parser ok("inA = in1;");
    ok.UnlockSymbol("inA");
    EXPECT_TRUE(ok.Symbolize()) << ok.GetLastError();

    Parser twice("inA = in1; inA = in2;");
    twice.UnlockSymbol("inA");
    EXPECT_FALSE(twice.Symbolize());
    EXPECT_EQ(twice.GetLastError(), Error("'inA' is a duplicate symbol.", 1));

    Parser unknown("x = in1;");
    unknown.UnlockSymbol("nothing");  // changes nothing
    EXPECT_TRUE(unknown.Symbolize());
}

TEST(LogicText, LastAssignmentLeavesLogicAndValueKeeps255Characters) {
    std::string rhs = "in1";
    for (int i = 0; i < 150; ++i) {
        rhs += " & in2";
    }
    std::string text = "x = " + rhs + ";";
    Parser p(text.c_str());
    ASSERT_TRUE(p.Symbolize()) << p.GetLastError();
    EXPECT_EQ(p.Logic().size(), 303u);  // '(' a, 150 times "&b", ')'
    const CSymbl* x = p.Find("x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(std::string(x->m_Value), p.Logic().substr(0, 255));

    // Blanks and comments after it leave it the last assignment.
    Parser trailing((text + " \n// done\n/* really */\n").c_str());
    EXPECT_TRUE(trailing.Symbolize()) << trailing.GetLastError();
    EXPECT_EQ(trailing.Logic(), p.Logic());

    // 255 characters are kept whole, and so usable.
    std::string longest = "x = in1" + Repeat(" & in2", 126) + ";";
    Parser fits((longest + " y = x;").c_str());
    ASSERT_TRUE(fits.Symbolize()) << fits.GetLastError();
    EXPECT_EQ(fits.Logic().size(), 257u);

    // A cut value could only be used wrongly: refused where it is defined.
    Parser use((text + "\ny = x;").c_str());
    EXPECT_FALSE(use.Symbolize());
    EXPECT_EQ(use.GetLastError(), Error("Symbol 'x' expands to more than 255 characters.", 1));

    // For a table whose every symbol is used later, even the last.
    Parser whole(text.c_str());
    whole.RequireWholeValues();
    EXPECT_FALSE(whole.Symbolize());
    EXPECT_EQ(whole.GetLastError(), Error("Symbol 'x' expands to more than 255 characters.", 1));

    Parser two("x = in1; y = in2;");
    ASSERT_TRUE(two.Symbolize());
    EXPECT_EQ(two.Logic(), "(b)");
}

TEST(LogicText, OverlongInputsAreRefusedWithoutHarm) {
    std::string longName(300, 'n');
    struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"x = in1;" + std::string(4100, ' '), Error("Logic text exceeds 4095 characters!", 1)},
        {longName + " = in1;", Error("Symbol name exceeds 255 characters!", 1)},
        {"x = in1 & " + longName + ";", Error("Symbol name exceeds 255 characters!", 1)},
        // The not-found message has 256 characters of space: the name is cut.
        {"x = " + std::string(255, 'w') + ";",
         Error("Symbol '" + std::string(232, 'w') + "...' not found.", 1)},
        // The duplicate message has 60.
        {"x = in1; " + std::string(200, 'd') + " = in1; " + std::string(200, 'd') + " = in2;",
         Error("'" + std::string(31, 'd') + "...' is a duplicate symbol.", 1)},
        // A symbolized value over 255 characters ("(!a", 126 times "&b", ")"
        // is 256) is refused at the line of its name, however many lines
        // its right-hand side spans.
        {"a = in1;\n// note\nwide\n = not in1" + Repeat("\n & in2", 126) + ";\ninA = wide;",
         Error("Symbol 'wide' expands to more than 255 characters.", 3)},
        {"x = in1; y = x" + Repeat(" & x", 85) + "; z = y;",
         Error("Symbol 'y' expands to more than 255 characters.", 1)},
        {longName.substr(0, 250) + " = not in1" + Repeat(" & in2", 126) + "; z = in1;",
         Error("Symbol '" + std::string(206, 'n') + "...' expands to more than 255 characters.",
               1)},
    };
    for (const auto& c : cases) {
        Parser p(c.text.c_str());
        EXPECT_FALSE(p.Symbolize());
        EXPECT_EQ(p.GetLastError(), c.error);
    }

    // A right-hand side whose symbolized form would pass 4094 characters.
    std::string wide = "x = in1;";
    std::string big = "y = x";
    for (int i = 0; i < 1400; ++i) {
        big += "&x";
    }
    Parser p((wide + big + ";").c_str());
    EXPECT_FALSE(p.Symbolize());
    EXPECT_EQ(p.GetLastError(), Error("Logic exceeds buffer length!", 1));

    // A must-be-defined message with a long unlocked name (80 characters).
    CSymbl named(std::string(120, 'm').c_str());
    CSymbl* globals[] = {&named, nullptr};
    Parser g("", globals);
    g.UnlockSymbol(named.m_Name);
    EXPECT_FALSE(g.Symbolize());
    EXPECT_EQ(std::string(g.GetLastError()).size(), std::string(Error("", 1)).size() + 79);
}

TEST(LogicText, PredefinedTableAndPublishedGlobals) {
    Parser p("x = in1 & in2;");
    const char* names[] = {"NULL", "in1", "in8", "outA", "outG",
                           "outH", "inA", "inH", "LOW",  "HIGH"};
    const char codes[] = {'`', 'a', 'h', 'i', 'o', 'p', 'q', 'x', 'y', 'z'};
    const bool usable[] = {true, true, true, true, true, false, false, false, true, true};
    for (size_t i = 0; i < sizeof(codes); ++i) {
        const CSymbl* s = p.Find(names[i]);
        ASSERT_NE(s, nullptr) << names[i];
        EXPECT_EQ(std::string(s->m_Value), std::string(1, codes[i])) << names[i];
        EXPECT_TRUE(s->m_Locked) << names[i];
        EXPECT_EQ(s->m_UseInRValue, usable[i]) << names[i];
    }
    ASSERT_TRUE(p.Symbolize());

    CSymbl* dest[600] = {};
    dest[0] = new CSymbl("stale");
    p.MakeGlobals(dest);
    int n = 0;
    while (dest[n] != nullptr) {
        ++n;
    }
    ASSERT_EQ(n, 28);
    EXPECT_STREQ(dest[0]->m_Name, "NULL");
    EXPECT_STREQ(dest[27]->m_Name, "x");
    EXPECT_STREQ(dest[27]->m_Value, "(a&b)");

    // A parser over the published table may use x but not assign it.
    Parser uses("y = x | in3;", dest);
    EXPECT_TRUE(uses.Symbolize()) << uses.GetLastError();
    EXPECT_EQ(uses.Logic(), "((a&b)|c)");
    Parser assigns("x = in2;", dest);
    EXPECT_FALSE(assigns.Symbolize());
    EXPECT_EQ(assigns.GetLastError(), Error("'x' is a duplicate symbol.", 1));
    for (CSymbl*& s : dest) {
        delete s;
    }
}

TEST(LogicText, TableHoldsAt512Symbols) {
    std::string text;
    for (int i = 0; i < 485; ++i) {
        text += "s" + std::to_string(i) + "=;";
    }
    Parser full(text.c_str());
    EXPECT_TRUE(full.Symbolize()) << full.GetLastError();
    Parser over((text + "t=;").c_str());
    EXPECT_FALSE(over.Symbolize());
    EXPECT_EQ(over.GetLastError(), Error("Too many symbols!", 1));
}

TEST(LogicSymbol, CopiesAreDeep) {
    CSymbl original("name");
    CSymbl copy(&original);
    EXPECT_STREQ(copy.m_Name, "name");
    EXPECT_NE(copy.m_Name, original.m_Name);
    EXPECT_STREQ(copy.m_Value, "");  // an absent value becomes empty
    EXPECT_TRUE(copy.m_Locked);

    CSymbl none(static_cast<const CSymbl*>(nullptr));
    EXPECT_EQ(none.m_Name, nullptr);
    EXPECT_EQ(none.m_Value, nullptr);
    EXPECT_FALSE(none.m_Locked);
    EXPECT_FALSE(none.m_UseInRValue);

    CSymbl empty;
    EXPECT_FALSE(empty.m_Locked);
    EXPECT_TRUE(empty.m_UseInRValue);
    empty = original;
    EXPECT_STREQ(empty.m_Name, "name");
}

}  // namespace
