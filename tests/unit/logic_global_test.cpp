// The device's global logic holder.
#include <gtest/gtest.h>
#include <veltor/CLogic.h>
#include <veltor/CSymbl.h>

#include <string>
#include <vector>

namespace {

class Global : public CLogic {
public:
    std::string Text() const { return m_GlobalText; }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (CSymbl** p = GetGlobalSymbols(); *p != nullptr; ++p) {
            names.push_back((*p)->m_Name);
        }
        return names;
    }
};

TEST(LogicGlobal, HoldsPredefinedThenDefinedSymbols) {
    Global global;
    std::vector<std::string> names = global.Names();
    ASSERT_EQ(names.size(), 27u);
    EXPECT_EQ(names.front(), "NULL");
    EXPECT_EQ(names.back(), "HIGH");

    ASSERT_TRUE(global.SetGlobalLogic("x = in1 & in2; y = x | in3;"));
    names = global.Names();
    ASSERT_EQ(names.size(), 29u);
    EXPECT_EQ(names[27], "x");
    CSymbl* y = global.GetGlobalSymbols()[28];
    EXPECT_STREQ(y->m_Value, "((a&b)|c)");
    for (CSymbl** p = global.GetGlobalSymbols(); *p != nullptr; ++p) {
        EXPECT_TRUE((*p)->m_Locked) << (*p)->m_Name;
    }

    // A refused text keeps the previous symbols, though the text is stored.
    const char* refused[] = {"inA = in1;", "x = in1 &| in2;", "z = nope;", "z = z;"};
    for (const char* text : refused) {
        EXPECT_FALSE(global.SetGlobalLogic(text)) << text;
        EXPECT_EQ(global.Text(), text);
        EXPECT_EQ(global.Names().size(), 29u) << text;
    }
    std::string tooLong = "z = in1;" + std::string(4100, ' ');
    EXPECT_FALSE(global.SetGlobalLogic(tooLong.c_str()));
    EXPECT_EQ(global.Text().size(), 4095u);
    EXPECT_EQ(global.Names().size(), 29u);
    EXPECT_STREQ(global.GetLastError(), "Error--Logic text exceeds 4095 characters! (line 1)");

    // An empty text leaves only the predefined symbols, in the same array.
    CSymbl** array = global.GetGlobalSymbols();
    ASSERT_TRUE(global.SetGlobalLogic(nullptr));
    EXPECT_EQ(global.Names().size(), 27u);
    EXPECT_EQ(global.GetGlobalSymbols(), array);
}

TEST(LogicGlobal, RefusesSymbolsTooWideToKeepWhereTheyAreDefined) {
    // "(a" and 126 times "&b" and ")" is 255 characters: kept whole; one
    // negation more is 256 and would be cut.
    std::string fits = "in1";
    for (int i = 0; i < 126; ++i) {
        fits += " & in2";
    }
    const std::string wide = "not " + fits;
    const struct {
        std::string text;
        const char* error;  // none: accepted
    } cases[] = {
        {"x = " + fits + ";", nullptr},
        // Every global is used by the channels later, so even the last one.
        {"x = " + wide + ";", "Error--Symbol 'x' expands to more than 255 characters. (line 1)"},
        {"a = in1;\nx = " + wide + ";\nb = x;",
         "Error--Symbol 'x' expands to more than 255 characters. (line 2)"},
        {"a = in1;\nb = a & nope;", "Error--Symbol 'nope' not found. (line 2)"},
    };
    for (const auto& c : cases) {
        Global global;
        ASSERT_TRUE(global.SetGlobalLogic("keep = in1;"));
        EXPECT_EQ(global.SetGlobalLogic(c.text.c_str()), c.error == nullptr) << c.text;
        EXPECT_STREQ(global.GetLastError(), c.error != nullptr ? c.error : "") << c.text;
        std::vector<std::string> names = global.Names();
        EXPECT_EQ(names.back(), c.error != nullptr ? "keep" : "x") << c.text;
    }

    // The message stays until another failure replaces it.
    Global global;
    EXPECT_FALSE(global.SetGlobalLogic("x = nope;"));
    EXPECT_TRUE(global.SetGlobalLogic("x = in1;"));
    EXPECT_STREQ(global.GetLastError(), "Error--Symbol 'nope' not found. (line 1)");
}

}  // namespace
