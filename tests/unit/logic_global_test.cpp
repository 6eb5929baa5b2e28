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

    // An empty text leaves only the predefined symbols, in the same array.
    CSymbl** array = global.GetGlobalSymbols();
    ASSERT_TRUE(global.SetGlobalLogic(nullptr));
    EXPECT_EQ(global.Names().size(), 27u);
    EXPECT_EQ(global.GetGlobalSymbols(), array);
}

}  // namespace
