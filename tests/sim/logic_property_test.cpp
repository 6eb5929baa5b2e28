// Random well-formed logic expressions, written in every form the language
// allows, compiled by CChLogic, loaded into the simulated instrument and
// evaluated there for every input combination: the instrument's result must
// equal a direct evaluation under the language's rules (one precedence for
// the three binary operations, left to right; a negation binds to the operand
// or group next to it). Each case has its own seed, printed on failure with
// the expression, so any case can be replayed alone.
#include <gtest/gtest.h>
#include <veltor/CChLogic.h>
#include <veltor/CCommand.h>
#include <veltor/CLogic.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/Instrument.h"
#include "sim/Logic.h"

namespace {

const uint32_t kBaseSeed = 20240611u;

// An expression as the language reads it: a chain of terms joined by binary
// operations, evaluated from the left; each term is a run of negations in
// front of an operand or a group.
struct Expr;
struct Term {
    int negations = 0;
    int operand = -1;  // 0-7 in1..in8, 8-14 outA..outG, 15 HIGH, 16 LOW, 17 NULL
    std::unique_ptr<Expr> group;
    bool braces = false;
};
struct Expr {
    std::vector<Term> terms;
    std::vector<char> ops;  // '|', '&', '^' between the terms
};

class Generator {
public:
    Generator(uint32_t seed, int maxDepth, int maxTerms)
        : rng_(seed), maxDepth_(maxDepth), maxTerms_(maxTerms) {}

    // With at most 4 terms a level and 3 levels, code stays far below the
    // 247 bytes one load request carries.
    std::unique_ptr<Expr> Make(int depth = 0) {
        auto e = std::make_unique<Expr>();
        int n = Pick(1, depth >= maxDepth_ ? 2 : maxTerms_);
        for (int i = 0; i < n; ++i) {
            if (i > 0) {
                e->ops.push_back("|&^"[Pick(0, 2)]);
            }
            Term t;
            int r = Pick(0, 9);
            t.negations = r < 5 ? 0 : r < 8 ? 1 : r < 9 ? 2 : 3;
            if (depth < maxDepth_ && Pick(0, 3) == 0) {
                t.group = Make(depth + 1);
                t.braces = Pick(0, 1) == 1;
            } else {
                t.operand = Pick(0, 17);
            }
            e->terms.push_back(std::move(t));
        }
        return e;
    }

    // The text of the expression, with randomly chosen spellings, blanks,
    // comments and line breaks.
    std::string Write(const Expr& e) {
        std::string s;
        for (size_t i = 0; i < e.terms.size(); ++i) {
            if (i > 0) {
                static const std::vector<std::string> kOr = {"|", "#", "+", "OR", "or"};
                static const std::vector<std::string> kAnd = {"&", "*", "AND", "and"};
                static const std::vector<std::string> kXor = {"^", "XOR", "xor"};
                char op = e.ops[i - 1];
                const auto& forms = op == '|' ? kOr : op == '&' ? kAnd : kXor;
                Word(s, forms[Pick(0, static_cast<int>(forms.size()) - 1)]);
            }
            WriteTerm(s, e.terms[i]);
        }
        return s;
    }

    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

private:
    void WriteTerm(std::string& s, const Term& t) {
        static const std::vector<std::string> kNot = {"!", "~", "NOT", "not"};
        for (int i = 0; i < t.negations; ++i) {
            Word(s, kNot[Pick(0, 3)]);
        }
        if (t.group) {
            Word(s, t.braces ? "{" : "(");
            s += Write(*t.group);
            Word(s, t.braces ? "}" : ")");
        } else {
            static const char* kNames[] = {"in1",  "in2",  "in3",  "in4",  "in5",  "in6",
                                           "in7",  "in8",  "outA", "outB", "outC", "outD",
                                           "outE", "outF", "outG", "HIGH", "LOW",  "NULL"};
            Word(s, kNames[t.operand]);
        }
        Gap(s, false);
    }

    // Appends a token; a word next to another word needs something between.
    void Word(std::string& s, const std::string& token) {
        bool wordChar = IsWordChar(token.front());
        if (wordChar && !s.empty() && IsWordChar(s.back())) {
            Gap(s, true);
        } else {
            Gap(s, false);
        }
        s += token;
    }

    void Gap(std::string& s, bool needed) {
        static const char* kGaps[] = {" ",         "\t",        "\r\n", "\n",
                                      "/* gap */", "// note\n", "  ",   "/*\n*/"};
        if (!needed && Pick(0, 2) != 0) {
            return;
        }
        s += kGaps[Pick(0, 7)];
    }

    static bool IsWordChar(char c) {
        return std::string("|#+&*^!~(){}/; \t\r\n").find(c) == std::string::npos;
    }

    std::mt19937 rng_;
    int maxDepth_;
    int maxTerms_;
};

bool Evaluate(const Expr& e, uint8_t inputs, uint8_t outputs);

bool EvaluateTerm(const Term& t, uint8_t inputs, uint8_t outputs) {
    bool v;
    if (t.group) {
        v = Evaluate(*t.group, inputs, outputs);
    } else if (t.operand < 8) {
        v = (inputs >> t.operand) & 1;
    } else if (t.operand < 15) {
        v = (outputs >> (t.operand - 8)) & 1;
    } else {
        v = t.operand == 15;
    }
    return (t.negations % 2 == 1) ? !v : v;
}

bool Evaluate(const Expr& e, uint8_t inputs, uint8_t outputs) {
    bool v = EvaluateTerm(e.terms[0], inputs, outputs);
    for (size_t i = 1; i < e.terms.size(); ++i) {
        bool w = EvaluateTerm(e.terms[i], inputs, outputs);
        switch (e.ops[i - 1]) {
            case '|':
                v = v || w;
                break;
            case '&':
                v = v && w;
                break;
            default:
                v = v != w;
                break;
        }
    }
    return v;
}

// Compiles one expression for a channel, loads it into the instrument and
// compares all 256 input combinations under several output combinations.
void Check(CLogic& global, vsim::Instrument& instrument, int channel, const Expr& e,
           const std::string& expr, uint32_t seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", expression: " + expr);
    const char letter = static_cast<char>('A' + channel);
    CChLogic logic(global.GetGlobalSymbols(), letter);
    std::string text = std::string("in") + letter + " = " + expr + ";";
    logic.SetLogicText(text.c_str());
    std::unique_ptr<CCommand> command(logic.GetCommand());
    ASSERT_NE(command, nullptr) << logic.GetLastError();
    std::vector<uint8_t> answer =
        instrument.HandleRequest(command->m_Request, static_cast<size_t>(command->m_RequestLength));
    ASSERT_FALSE(answer.empty());
    ASSERT_EQ(answer[0], 0xAA);
    const uint8_t outputs[] = {0x00, 0x7F, 0x55, 0x2A, 0x0F, 0x70};
    for (uint8_t out : outputs) {
        for (int in = 0; in < 256; ++in) {
            bool ok = false;
            bool got = instrument.LogicInput(channel, static_cast<uint8_t>(in), out, &ok);
            ASSERT_TRUE(ok) << "ill-formed code";
            ASSERT_EQ(got, Evaluate(e, static_cast<uint8_t>(in), out))
                << "inputs " << in << ", outputs " << int(out);
        }
    }
}

TEST(LogicProperty, CompiledCodeEvaluatesLikeTheExpression) {
    CLogic global;
    vsim::Instrument instrument;
    for (uint32_t i = 0; i < 3000; ++i) {
        const uint32_t seed = kBaseSeed + i;
        Generator gen(seed, 3, 4);
        std::unique_ptr<Expr> e = gen.Make();
        const std::string expr = gen.Write(*e);
        Check(global, instrument, static_cast<int>(i % 8), *e, expr, seed);
        if (HasFatalFailure()) {
            return;
        }
    }
}

// Symbolized logic of any shape, complete or not: the compiler accepts it
// exactly when it is one complete expression (or nothing but balanced
// parentheses, the empty logic), and what it accepts evaluates as the
// expression does. Nothing incomplete may slip through as other code.
class RawCompiler : public CChLogic {
public:
    RawCompiler() : CChLogic(nullptr, 'A') {}
    void SetLogic(const std::string& logic) {
        std::snprintf(m_Logic, sizeof(m_Logic), "%s", logic.c_str());
    }
    std::vector<uint8_t> Code() const { return {m_Code + 1, m_Code + 1 + m_Code[0]}; }
};

// A reference reader of symbolized logic over a (in1), b (in2), z (HIGH) and
// the grave accent (NULL): false when the text is no complete expression.
class Reference {
public:
    Reference(const std::string& s, uint8_t inputs) : s_(s), inputs_(inputs) {}
    bool Read(bool* value) {
        if (s_.find_first_not_of("()") == std::string::npos) {
            int depth = 0;
            for (char c : s_) {
                depth += c == '(' ? 1 : -1;
                if (depth < 0) {
                    return false;
                }
            }
            *value = false;
            empty_ = true;
            return depth == 0;
        }
        return Expression(value) && pos_ == s_.size();
    }
    bool empty_ = false;

private:
    bool Expect(char c) {
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool Expression(bool* value) {
        if (!Term(value)) {
            return false;
        }
        while (pos_ < s_.size() && (s_[pos_] == '|' || s_[pos_] == '&' || s_[pos_] == '^')) {
            char op = s_[pos_++];
            bool w;
            if (!Term(&w)) {
                return false;
            }
            *value = op == '|' ? (*value || w) : op == '&' ? (*value && w) : (*value != w);
        }
        return true;
    }
    bool Term(bool* value) {
        bool invert = false;
        while (Expect('!')) {
            invert = !invert;
        }
        if (pos_ >= s_.size()) {
            return false;
        }
        char c = s_[pos_];
        if (c == '(') {
            ++pos_;
            if (!Expression(value) || !Expect(')')) {
                return false;
            }
        } else if (c == 'a' || c == 'b') {
            *value = (inputs_ >> (c - 'a')) & 1;
            ++pos_;
        } else if (c == 'z' || c == '`') {
            *value = c == 'z';
            ++pos_;
        } else {
            return false;
        }
        if (invert) {
            *value = !*value;
        }
        return true;
    }

    const std::string& s_;
    uint8_t inputs_;
    size_t pos_ = 0;
};

TEST(LogicProperty, IncompleteSymbolizedLogicIsNeverCompiled) {
    const std::string alphabet = "ab`z(()))!!!&|^";
    std::mt19937 rng(kBaseSeed);
    int accepted = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string logic = "(";
        int n = static_cast<int>(rng() % 10);
        for (int k = 0; k < n; ++k) {
            logic += alphabet[rng() % alphabet.size()];
        }
        logic += ")";
        RawCompiler compiler;
        compiler.SetLogic(logic);
        bool compiled = compiler.CompressLogic();
        bool value = false;
        bool complete = Reference(logic, 0).Read(&value);
        ASSERT_EQ(compiled, complete)
            << "case " << i << ", logic " << logic << ": " << compiler.GetLastError();
        if (!compiled) {
            continue;
        }
        ++accepted;
        ASSERT_EQ(compiler.Code().empty(), logic.find_first_not_of("()") == std::string::npos);
        for (uint8_t inputs = 0; inputs < 4; ++inputs) {
            Reference ref(logic, inputs);
            ASSERT_TRUE(ref.Read(&value));
            bool ok = false;
            bool got = vsim::EvaluateLogic(compiler.Code(), inputs, 0, &ok);
            ASSERT_TRUE(ok || ref.empty_) << "case " << i << ", logic " << logic;
            ASSERT_EQ(got, value) << "case " << i << ", logic " << logic << ", inputs "
                                  << int(inputs);
        }
    }
    EXPECT_GT(accepted, 10000);
}

}  // namespace
