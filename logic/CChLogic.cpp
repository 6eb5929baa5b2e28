#include <veltor/CChLogic.h>
#include <veltor/CCommand.h>
#include <veltor/CLogicText.h>

#include <cstdio>
#include <cstring>

#include "logic/LogicUtil.h"

using veltor::logic::CopyText;

namespace {

const unsigned char kOpNegation = 0x10;
const unsigned char kOpGroup = 0x00;

// A parser whose symbolized logic the compiler may read.
class CChannelParser : public CLogicText {
public:
    CChannelParser(const char* text, CSymbl** globals) : CLogicText(text, globals) {}
    const char* Logic() const { return m_Logic; }
    // True when the text failed for want of an assignment to the channel's
    // `input`: it never assigned it, or assigned another channel's input
    // while its own was still unassigned.
    bool MissesInput(const char* input) {
        int index = IsFound(input);
        if (index < 0 || m_Symbols[index]->m_Locked || m_pRefusedTarget == nullptr) {
            return false;
        }
        const char* name = m_pRefusedTarget->m_Name;
        bool otherInput =
            name[0] == 'i' && name[1] == 'n' && name[2] >= 'A' && name[2] <= 'H' && name[3] == '\0';
        return m_pRefusedTarget == m_Symbols[index] || otherInput;
    }
};

// The code byte of an operand code character, or -1 for a character that has
// none.
int OperandByte(char c) {
    if (c == '`' || c == 'y') {
        return 0xF0;  // NULL, LOW
    }
    if (c == 'z') {
        return 0xE0;  // HIGH
    }
    if (c >= 'a' && c <= 'h') {
        return 0xC0 + (c - 'a');  // in1..in8
    }
    if (c >= 'i' && c <= 'o') {
        return 0xC8 + (c - 'i');  // outA..outG
    }
    if (c == 'p') {
        return 0x00;  // outH never reaches a right-hand side
    }
    return -1;
}

bool IsBinary(char c) {
    return c == '|' || c == '&' || c == '^';
}

bool IsOperand(char c) {
    return c != '\0' && c != '(' && c != ')' && c != '!' && !IsBinary(c);
}

// Copies the symbolized logic, folding each run of negations that stands in
// front of an operand or a group: an even run cancels, an odd run becomes one
// negation. A run before anything else is kept for the completeness check.
void FoldNegations(const char* logic, char* out) {
    while (*logic != '\0') {
        if (*logic != '!') {
            *out++ = *logic++;
            continue;
        }
        const char* run = logic;
        while (*logic == '!') {
            ++logic;
        }
        long count = logic - run;
        if (*logic == '(' || IsOperand(*logic)) {
            count %= 2;
        }
        for (long i = 0; i < count; ++i) {
            *out++ = '!';
        }
    }
    *out = '\0';
}

// The message for symbolized logic that is not a complete expression, or none.
// Parenthesis balance is the compile's own check and is not repeated here.
const char* IncompleteExpression(const char* logic) {
    bool empty = true;
    for (const char* p = logic; *p != '\0'; ++p) {
        if (*p != '(' && *p != ')') {
            empty = false;
            break;
        }
    }
    if (empty) {
        return nullptr;  // no right-hand side at all: no code
    }
    // prev: the previous character, or '(' at the start, which behaves alike.
    char prev = '(';
    for (const char* p = logic;; ++p) {
        char c = *p;
        bool prevEndsOperand = IsOperand(prev) || prev == ')';
        if (prev == '!' && (c == ')' || c == '\0' || IsBinary(c))) {
            return "a negation lacks its operand";
        }
        if (IsBinary(prev) && (c == ')' || c == '\0')) {
            return "a binary operator lacks its right operand";
        }
        if (IsBinary(c) && !prevEndsOperand) {
            return "a binary operator lacks its left operand";
        }
        if (prev == '(' && c == ')') {
            return "empty parentheses";
        }
        if (prevEndsOperand && (IsOperand(c) || c == '(' || c == '!')) {
            const char* next = p;
            while (*next == '!') {
                ++next;
            }
            if (*next != '(' && !IsOperand(*next)) {
                return "a negation lacks its operand";  // "a!" at the end of a group
            }
            return "two operands without an operator between them";
        }
        if (c == '\0') {
            return nullptr;
        }
        prev = c;
    }
}

}  // namespace

CChLogic::CChLogic(CSymbl** globals, char channel)
    : m_pGlobals(globals),
      m_Valid(false),
      m_CodeCount(1),
      m_NegTop(1),
      m_BinTop(1),
      m_Channel(0),
      m_TextTooLong(false),
      m_ErrorLine(0),
      m_LogicLine(0) {
    if (channel >= 'a' && channel <= 'h') {
        channel = static_cast<char>(channel - 'a' + 'A');
    }
    m_Channel = static_cast<char>(channel - 'A');
    m_Logic[0] = '\0';
    m_LastError[0] = '\0';
    std::memset(m_Code, 0, sizeof(m_Code));
    for (char*& slot : m_Scratch) {
        slot = nullptr;
    }
    for (int i = 0; i < kStackSize; ++i) {
        m_BinStack[i] = SPending{0, 0};
        m_NegStack[i] = SPending{0, 0};
    }
    std::snprintf(m_InputName, sizeof(m_InputName), "in%c", channel);
    std::snprintf(m_LogicText, sizeof(m_LogicText), "in%c = not in%i;\r\n", channel, m_Channel + 1);
}

CChLogic::~CChLogic() {
    CleanUp();
}

void CChLogic::SetLogicText(const char* text) {
    m_TextTooLong = !CopyText(m_LogicText, sizeof(m_LogicText), text);
    m_Valid = false;
}

bool CChLogic::ParseLogicText() {
    return Parse(false);
}

bool CChLogic::Parse(bool report) {
    if (m_TextTooLong) {
        if (report) {
            WarnAt("Logic text exceeds 4095 characters!", 1);
        }
        return false;
    }
    CChannelParser parser(m_LogicText, m_pGlobals);
    parser.UnlockSymbol(m_InputName);
    if (!parser.Symbolize()) {
        if (report) {
            CopyText(m_LastError, sizeof(m_LastError), parser.GetLastError());
            if (parser.MissesInput(m_InputName)) {
                size_t length = std::strlen(m_LastError);
                std::snprintf(m_LastError + length, sizeof(m_LastError) - length,
                              "; channel %c's logic text must assign %s", m_Channel + 'A',
                              m_InputName);
            }
            m_ErrorLine = parser.GetErrorLine();
            m_Valid = false;
        }
        return false;
    }
    CopyText(m_Logic, sizeof(m_Logic), parser.Logic());
    m_LogicLine = parser.GetLastAssignmentLine();
    return true;
}

bool CChLogic::CompressLogic() {
    char source[kTextSize];
    FoldNegations(m_Logic, source);

    m_BinStack[0] = SPending{0, 0};
    m_NegStack[0] = SPending{0, 0};
    m_CodeCount = 1;
    m_NegTop = 1;
    m_BinTop = 1;
    int depth = 0;
    auto negationDue = [&]() { return m_NegTop > 1 && m_NegStack[m_NegTop - 1].m_Depth == depth; };
    auto operatorDue = [&]() { return m_BinTop > 1 && m_BinStack[m_BinTop - 1].m_Depth == depth; };

    bool ok = true;
    for (const char* p = source; ok && *p != '\0'; ++p) {
        char c = *p;
        switch (c) {
            case '(':
                ++depth;
                ok = pushUnary(depth, kOpGroup) == 0;
                break;
            case '!':
                if (negationDue()) {
                    ok = UnaryNow();
                }
                ok = ok && pushUnary(depth, kOpNegation) == 0;
                break;
            case '|':
            case '&':
            case '^':
                if (negationDue()) {
                    ok = UnaryNow();
                }
                if (ok && operatorDue()) {
                    ok = BinaryNow();
                }
                // The entry is the complement of the combining byte's operation.
                ok = ok && pushBinary(depth, c == '|' ? 0x80 : c == '&' ? 0xC0 : 0x40) == 0;
                break;
            case ')':
                if (m_NegStack[m_NegTop - 1].m_Depth == depth) {
                    ok = UnaryNow();
                }
                if (ok && m_BinStack[m_BinTop - 1].m_Depth == depth) {
                    ok = BinaryNow();
                }
                --depth;
                break;
            default: {
                int code = OperandByte(c);
                if (code < 0) {
                    char message[64];
                    std::snprintf(message, sizeof(message), "Cannot understand symbol '%c'.", c);
                    Warn(message);
                    ok = false;
                } else {
                    ok = Push(static_cast<unsigned char>(code));
                }
                break;
            }
        }
    }
    if (ok && negationDue()) {
        ok = UnaryNow();
    }
    if (ok && operatorDue()) {
        ok = BinaryNow();
    }
    if (ok) {
        const char* problem = nullptr;
        if (m_NegTop != 1) {
            problem = "wrong number of unary operators";
        } else if (m_BinTop != 1) {
            problem = "wrong number of binary operators";
        } else if (depth != 0) {
            problem = "unbalanced parentheses";
        } else {
            problem = IncompleteExpression(m_Logic);
            if (problem == nullptr && m_CodeCount - 1 > kMaxRequestCode) {
                problem = "logic code exceeds 247 bytes";
            }
        }
        if (problem != nullptr) {
            Warn(problem);
            ok = false;
        }
    }
    if (!ok) {
        CleanUp();
        return false;
    }
    m_Code[0] = static_cast<unsigned char>(m_CodeCount - 1);
    CleanUp();
    SetValid();
    return true;
}

bool CChLogic::Compile() {
    if (m_Channel < 0 || m_Channel > 7) {
        char message[32];
        std::snprintf(message, sizeof(message), "no channel '%c'",
                      static_cast<char>(m_Channel + 'A'));
        Warn(message);
        return false;
    }
    if (!Parse(true)) {
        return false;
    }
    if (!CompressLogic()) {
        size_t length = std::strlen(m_LastError);
        std::snprintf(m_LastError + length, sizeof(m_LastError) - length, " (line %i)",
                      m_LogicLine);
        m_ErrorLine = m_LogicLine;
        return false;
    }
    return true;
}

int CChLogic::GetCode(unsigned char* code, int capacity) const {
    int length = m_Code[0];
    if (!m_Valid || code == nullptr || capacity < length) {
        return -1;
    }
    std::memcpy(code, m_Code + 1, static_cast<size_t>(length));
    return length;
}

CCommand* CChLogic::GetCommand() {
    if (!Compile()) {
        return nullptr;
    }
    int length = m_Code[0];
    unsigned char payload[4 + kMaxRequestCode];
    payload[0] = static_cast<unsigned char>(0x08 + m_Channel);
    payload[1] = 0x07;  // logic transfer
    payload[2] = static_cast<unsigned char>(length + 1);
    payload[3] = static_cast<unsigned char>(length);
    std::memcpy(payload + 4, m_Code + 1, static_cast<size_t>(length));
    return new CCommand(0xD8, payload, length + 4, "Programming the logic...", 0, 500, 5);
}

void CChLogic::CleanUp() {
    for (char*& slot : m_Scratch) {
        delete[] slot;
        slot = nullptr;
    }
}

bool CChLogic::Push(unsigned char code) {
    if (m_CodeCount >= kStackSize) {
        Warn("Symbol stack full");
        return false;
    }
    m_Code[m_CodeCount++] = code;
    return true;
}

unsigned char CChLogic::Pop() {
    if (m_CodeCount <= 1) {
        return 0;
    }
    return m_Code[--m_CodeCount];
}

int CChLogic::pushBinary(int depth, unsigned char op) {
    if (m_BinTop >= kStackSize) {
        Warn("Operator stack full.");
        return -1;
    }
    m_BinStack[m_BinTop++] = SPending{op, depth};
    return 0;
}

int CChLogic::pushUnary(int depth, unsigned char op) {
    if (m_NegTop >= kStackSize) {
        Warn("Negation stack full.");
        return -1;
    }
    m_NegStack[m_NegTop++] = SPending{op, depth};
    return 0;
}

unsigned char CChLogic::popBinary() {
    if (m_BinTop <= 1) {
        return 0;
    }
    return m_BinStack[--m_BinTop].m_Op;
}

unsigned char CChLogic::popUnary() {
    if (m_NegTop <= 1) {
        return 0;
    }
    return m_NegStack[--m_NegTop].m_Op;
}

bool CChLogic::BinaryNow() {
    if (m_BinTop <= 1) {
        Warn("Binary operator stack empty.");
        return false;
    }
    unsigned char op = popBinary();
    unsigned char last = Pop();
    if ((last & 0xE0) == 0xC0) {
        // A load of an operand: the operation folds into it.
        return Push(static_cast<unsigned char>(last & ~op));
    }
    // A constant or a combined value: combine the two top values.
    return Push(last) && Push(static_cast<unsigned char>(~op & 0xCF));
}

bool CChLogic::UnaryNow() {
    if (m_NegTop <= 1) {
        return true;
    }
    if (popUnary() != kOpNegation) {
        return true;  // a group mark
    }
    unsigned char last = Pop();
    // A load inverts its operand; a combining byte inverts its result.
    last ^= (last & 0xC0) == 0xC0 ? 0x10 : 0x20;
    return Push(last);
}

void CChLogic::SetValid() {
    std::snprintf(m_LastError, sizeof(m_LastError), "%s", "No errors.");
    m_ErrorLine = 0;
    m_Valid = true;
}

void CChLogic::Warn(const char* message) const {
    std::snprintf(m_LastError, sizeof(m_LastError), "Error--%s", message);
    m_ErrorLine = 0;
    m_Valid = false;
}

void CChLogic::WarnAt(const char* message, int line) const {
    std::snprintf(m_LastError, sizeof(m_LastError), "Error--%s (line %i)", message, line);
    m_ErrorLine = line;
    m_Valid = false;
}
