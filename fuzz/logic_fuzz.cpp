// The logic language end to end on arbitrary text: the global logic, the
// parser and the channel compiler. The input is a channel's logic text, or a
// global text, a NUL byte and a channel text. The channel is the one whose
// input ("inA".."inH") the channel text names first, else A.
//
// Beyond memory and undefined behaviour, it checks what the rest of the
// system relies on: every failure carries a message with a line inside the
// text; no global symbol keeps a cut value; a channel compiled over the
// predefined symbols alone gives the same result whether they came from the
// global holder or from the parser itself; and every load request the
// compiler builds is one the simulated instrument accepts, whose code
// computes what the symbolized logic says for a spread of inputs.
#include <veltor/CChLogic.h>
#include <veltor/CCommand.h>
#include <veltor/CLogic.h>
#include <veltor/CLogicText.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "sim/Instrument.h"

namespace {

class Parser : public CLogicText {
public:
    Parser(const char* text, CSymbl** globals) : CLogicText(text, globals) {}
    const char* Logic() const { return m_Logic; }
};

class Compiler : public CChLogic {
public:
    Compiler(CSymbl** globals, char channel) : CChLogic(globals, channel) {}
    const char* Logic() const { return m_Logic; }
    std::vector<uint8_t> Code() const { return {m_Code + 1, m_Code + 1 + m_Code[0]}; }
};

bool Balanced(const char* logic) {
    int depth = 0;
    for (const char* p = logic; *p != '\0'; ++p) {
        depth += *p == '(' ? 1 : *p == ')' ? -1 : 0;
        if (depth < 0) {
            return false;
        }
    }
    return depth == 0;
}

// "Error--<message> (line <n>)" with n within the text's lines.
void CheckMessage(const char* error, const std::string& text) {
    const std::string e = error;
    FUZZ_CHECK(e.rfind("Error--", 0) == 0);
    const size_t at = e.rfind(" (line ");
    FUZZ_CHECK(at != std::string::npos && e.back() == ')');
    const long line = std::strtol(e.c_str() + at + 7, nullptr, 10);
    long lines = 1;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    FUZZ_CHECK(line >= 1 && line <= lines);
}

// Evaluates symbolized logic under the language's rules: one precedence for
// the binary operations, from the left; negations bind to the operand or
// group next to them.
class Reference {
public:
    Reference(const char* logic, uint8_t inputs, uint8_t outputs)
        : p_(logic), inputs_(inputs), outputs_(outputs) {}

    // False when the logic is no complete expression.
    bool Run(bool* value) {
        *value = Term();
        return ok_ && *p_ == '\0';
    }

private:
    bool Expr() {
        bool v = Term();
        while (ok_ && (*p_ == '|' || *p_ == '&' || *p_ == '^')) {
            const char op = *p_++;
            const bool w = Term();
            v = op == '|' ? (v || w) : op == '&' ? (v && w) : (v != w);
        }
        return v;
    }

    bool Term() {
        bool negate = false;
        while (*p_ == '!') {
            negate = !negate;
            ++p_;
        }
        bool v = false;
        const char c = *p_;
        if (c == '(') {
            ++p_;
            v = Expr();
            if (*p_ != ')') {
                ok_ = false;
                return false;
            }
            ++p_;
        } else if (c >= 'a' && c <= 'h') {
            v = ((inputs_ >> (c - 'a')) & 1) != 0;
            ++p_;
        } else if (c >= 'i' && c <= 'o') {
            v = ((outputs_ >> (c - 'i')) & 1) != 0;
            ++p_;
        } else if (c == '`' || c == 'y' || c == 'z') {
            v = c == 'z';
            ++p_;
        } else {
            ok_ = false;
            return false;
        }
        return v != negate;
    }

    const char* p_;
    uint8_t inputs_;
    uint8_t outputs_;
    bool ok_ = true;
};

char ChannelOf(const std::string& text) {
    for (size_t i = 0; i + 2 < text.size(); ++i) {
        if (text[i] == 'i' && text[i + 1] == 'n' && text[i + 2] >= 'A' && text[i + 2] <= 'H') {
            return text[i + 2];
        }
    }
    return 'A';
}

struct Result {
    bool built = false;
    std::string error;
    std::vector<uint8_t> code;
    std::vector<uint8_t> request;
};

Result Compile(CSymbl** globals, char channel, const std::string& text) {
    Compiler compiler(globals, channel);
    compiler.SetLogicText(text.c_str());
    std::unique_ptr<CCommand> command(compiler.GetCommand());
    Result r;
    r.error = compiler.GetLastError();
    if (!command) {
        FUZZ_CHECK(!compiler.IsValid());
        return r;
    }
    r.built = true;
    r.code = compiler.Code();
    FUZZ_CHECK(compiler.IsValid());
    FUZZ_CHECK(command->m_RequestLength > 0 &&
               command->m_RequestLength <= static_cast<int>(sizeof(command->m_Request)));
    r.request.assign(command->m_Request, command->m_Request + command->m_RequestLength);

    // The instrument takes the request and runs the code it carries.
    vsim::Instrument instrument;
    const std::vector<uint8_t> answer = instrument.HandleRequest(r.request);
    FUZZ_CHECK((answer == std::vector<uint8_t>{0xAA, 0x01, 0xFF}));
    const int ch = channel - 'A';
    FUZZ_CHECK(instrument.State().ch[ch].logicCode == r.code);
    FUZZ_CHECK(instrument.State().ch[ch].logicWellFormed);
    static const uint8_t kPatterns[][2] = {{0x00, 0x00}, {0xFF, 0x7F}, {0xA5, 0x5A},
                                           {0x3C, 0x41}, {0x0F, 0x33}, {0x96, 0x0C}};
    for (const auto& pattern : kPatterns) {
        bool ok = false;
        const bool got = instrument.LogicInput(ch, pattern[0], pattern[1], &ok);
        FUZZ_CHECK(ok);
        if (r.code.empty()) {
            FUZZ_CHECK(!got);
            continue;
        }
        bool want = false;
        FUZZ_CHECK(Reference(compiler.Logic(), pattern[0], pattern[1]).Run(&want));
        FUZZ_CHECK(got == want);
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const bool hasGlobal = split != std::string::npos;
    const std::string globalText = hasGlobal ? input.substr(0, split) : std::string();
    // A text stops at its first NUL, as the library reads it.
    std::string channelText = hasGlobal ? input.substr(split + 1) : input;
    channelText = channelText.substr(0, channelText.find('\0'));
    const char channel = ChannelOf(channelText);

    CLogic global;
    if (hasGlobal) {
        if (!global.SetGlobalLogic(globalText.c_str())) {
            CheckMessage(global.GetLastError(), globalText);
        }
    }
    // Every global is whole: predefined ones are one code character, defined
    // ones a parenthesized expression that fits its 255 characters.
    CSymbl** globals = global.GetGlobalSymbols();
    for (int i = 0; globals[i] != nullptr; ++i) {
        const char* value = globals[i]->m_Value;
        FUZZ_CHECK(value != nullptr && globals[i]->m_Locked);
        FUZZ_CHECK(std::strlen(value) <= 255);
        FUZZ_CHECK(i < 27 ? std::strlen(value) == 1 : (value[0] == '(' && Balanced(value)));
    }

    Parser parser(channelText.c_str(), globals);
    parser.UnlockSymbol((std::string("in") + channel).c_str());
    if (parser.Symbolize()) {
        FUZZ_CHECK(parser.IsValid() && parser.GetLastError()[0] == '\0');
        FUZZ_CHECK(Balanced(parser.Logic()));
    } else {
        FUZZ_CHECK(!parser.IsValid());
        CheckMessage(parser.GetLastError(), channelText);
    }

    const Result withGlobals = Compile(globals, channel, channelText);
    if (!hasGlobal) {
        const Result own = Compile(nullptr, channel, channelText);
        FUZZ_CHECK(own.built == withGlobals.built && own.error == withGlobals.error &&
                   own.request == withGlobals.request);
    }
    return 0;
}
