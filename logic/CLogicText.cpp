#include <veltor/CLogicText.h>

#include <cstdio>
#include <cstring>

#include "logic/LogicUtil.h"

using veltor::logic::CopyText;
using veltor::logic::DupString;
using veltor::logic::FormatQuoted;

namespace {

// Fixed spaces of the messages that quote a name.
const size_t kDuplicateSpace = 60;
const size_t kMustBeDefinedSpace = 80;
const size_t kWordMessageSpace = 256;

// The symbolized character of an operator or group character written on a
// right-hand side, or 0 for a character that belongs to a word.
char OperatorChar(char c) {
    switch (c) {
        case '|':
        case '#':
        case '+':
            return '|';
        case '&':
        case '*':
            return '&';
        case '^':
            return '^';
        case '!':
        case '~':
            return '!';
        case '(':
        case '{':
            return '(';
        case ')':
        case '}':
            return ')';
        default:
            return 0;
    }
}

// "outH" and the channels' logic inputs "inA".."inH" may only be assigned.
bool UsableInRValue(const char* name) {
    if (std::strcmp(name, "outH") == 0) {
        return false;
    }
    return !(name[0] == 'i' && name[1] == 'n' && name[2] >= 'A' && name[2] <= 'H');
}

}  // namespace

const char* const CLogicText::m_PreDefList[28] = {
    "NULL", "in1",  "in2",  "in3",  "in4",  "in5",  "in6",  "in7", "in8", "outA",
    "outB", "outC", "outD", "outE", "outF", "outG", "outH", "inA", "inB", "inC",
    "inD",  "inE",  "inF",  "inG",  "inH",  "LOW",  "HIGH", ""};

CLogicText::CLogicText(const char* text, CSymbl** globals)
    : m_pTokenStart(nullptr),
      m_pTokenEnd(nullptr),
      m_Pos(0),
      m_Line(1),
      m_TokenDone(true),
      m_Valid(true),
      m_pScanText(nullptr),
      m_pRefusedTarget(nullptr),
      m_WholeValues(false),
      m_ErrorLine(0),
      m_AssignmentLine(0) {
    m_Logic[0] = '\0';
    m_LastError[0] = '\0';
    for (CSymbl*& symbol : m_Symbols) {
        symbol = nullptr;
    }
    bool whole = CopyText(m_Text, sizeof(m_Text), text);
    m_pScanText = DupString(m_Text);
    if (globals != nullptr) {
        AddGlobals(globals);
    } else {
        AddPredefines();
    }
    // A cut text could parse into something its author never wrote.
    if (!whole) {
        Warn("Logic text exceeds 4095 characters!");
    }
}

CLogicText::~CLogicText() {
    Destroy();
    delete[] m_pScanText;
}

bool CLogicText::Symbolize() {
    if (!m_Valid) {
        return false;
    }
    m_Line = 1;
    m_Pos = 0;
    m_AssignmentLine = 0;
    for (;;) {
        SkipBlanksAndComments();
        if (!m_Valid) {
            return false;
        }
        if (m_pScanText[m_Pos] == '\0') {
            break;
        }
        CSymbl* target = getLValue();
        if (target == nullptr) {
            if (m_Valid) {
                break;
            }
            return false;
        }
        m_Logic[0] = '(';
        m_Logic[1] = '\0';
        if (!getRValue() || !CheckParentheses()) {
            return false;
        }
        // A value is kept to 255 characters, and a cut one no longer closes
        // its parentheses: any use of it would fail far from its cause. Only
        // the last assignment may pass that length, since its whole form
        // stays in m_Logic and nothing in this text can use it.
        if (std::strlen(m_Logic) > static_cast<size_t>(kMaxNameLength)) {
            SkipBlanksAndComments();
            if (!m_Valid) {
                return false;
            }
            if (m_WholeValues || m_pScanText[m_Pos] != '\0') {
                char message[kWordMessageSpace];
                FormatQuoted(message, sizeof(message),
                             "Symbol '%s' expands to more than 255 characters.", target->m_Name);
                m_Line = m_AssignmentLine;
                Warn(message);
                return false;
            }
        }
        delete[] target->m_Value;
        target->m_Value = DupString(m_Logic, kMaxNameLength);
    }
    return CheckAllLocked();
}

void CLogicText::SkipBlanksAndComments() {
    while (m_Valid) {
        char c = m_pScanText[m_Pos];
        if (c == '\n') {
            AdvanceLine();
            ++m_Pos;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            ++m_Pos;
        } else if (c == '/') {
            HandleComment();
        } else {
            return;
        }
    }
}

CSymbl* CLogicText::getLValue() {
    if (!m_Valid) {
        return nullptr;
    }
    SkipBlanksAndComments();
    if (!m_Valid) {
        return nullptr;
    }
    const char* text = m_pScanText;
    unsigned char lead = static_cast<unsigned char>(text[m_Pos]);
    if (lead == '\0') {
        return nullptr;
    }
    if (!((lead >= 'A' && lead <= 'z') || lead == '$')) {
        char message[kDuplicateSpace];
        std::snprintf(message, sizeof(message),
                      "'%c' is an invalid leading\ncharacter for a symbol name.", lead);
        Warn(message);
        return nullptr;
    }
    const int start = m_Pos;
    const int line = m_Line;
    while (text[m_Pos] != '\0' && std::strchr("=/ \r\n\t", text[m_Pos]) == nullptr) {
        ++m_Pos;
    }
    if (text[m_Pos] == '\0') {
        Warn("No RValue!");
        return nullptr;
    }
    int length = m_Pos - start;
    if (length > kMaxNameLength) {
        Warn("Symbol name exceeds 255 characters!");
        return nullptr;
    }
    char name[kMaxNameLength + 1];
    std::memcpy(name, text + start, static_cast<size_t>(length));
    name[length] = '\0';

    CSymbl* target = nullptr;
    int index = IsFound(name);
    if (index >= 0) {
        target = m_Symbols[index];
        if (target->m_Locked) {
            char message[kDuplicateSpace];
            FormatQuoted(message, sizeof(message), "'%s' is a duplicate symbol.", name);
            Warn(message);
            m_pRefusedTarget = target;
            return nullptr;
        }
        target->m_Locked = true;
    } else {
        target = AddSymbol(name);
        if (target == nullptr) {
            Warn("Too many symbols!");
            return nullptr;
        }
    }

    SkipBlanksAndComments();
    if (!m_Valid) {
        return nullptr;
    }
    if (text[m_Pos] != '=') {
        Warn("Syntax.");
        return nullptr;
    }
    ++m_Pos;
    m_AssignmentLine = line;
    return target;
}

bool CLogicText::getRValue() {
    if (!m_Valid) {
        return false;
    }
    const char* text = m_pScanText;
    m_TokenDone = true;
    m_pTokenStart = text + m_Pos;
    for (;;) {
        char c = text[m_Pos];
        if (c == '\0') {
            Warn("Assignment must end with a ';'");
            return false;
        }
        char op = OperatorChar(c);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!CheckNewSymbol()) {
                return false;
            }
            if (c == '\n') {
                AdvanceLine();
            }
            ++m_Pos;
        } else if (op != 0) {
            if (!CheckNewSymbol() || !AppendToLogic(op)) {
                return false;
            }
            ++m_Pos;
        } else if (c == '/') {
            if (!CheckNewSymbol() || !HandleComment()) {
                return false;
            }
        } else if (c == ';') {
            if (!CheckNewSymbol() || !AppendToLogic(')')) {
                return false;
            }
            ++m_Pos;
            return true;
        } else {
            if (m_TokenDone) {
                m_pTokenStart = text + m_Pos;
                m_TokenDone = false;
            }
            ++m_Pos;
        }
    }
}

bool CLogicText::CheckNewSymbol() {
    if (m_TokenDone) {
        return true;
    }
    m_pTokenEnd = m_pScanText + m_Pos;
    m_TokenDone = true;
    if (m_pTokenEnd - m_pTokenStart > kMaxNameLength) {
        Warn("Symbol name exceeds 255 characters!");
        return false;
    }
    size_t length = static_cast<size_t>(m_pTokenEnd - m_pTokenStart);
    char word[kMaxNameLength + 1];
    std::memcpy(word, m_pTokenStart, length);
    word[length] = '\0';

    if (EvaluateSymbol(word) != 0) {
        return m_Valid;
    }
    int index = IsFound(word);
    char message[kWordMessageSpace];
    if (index < 0) {
        FormatQuoted(message, sizeof(message), "Symbol '%s' not found.", word);
        Warn(message);
        return false;
    }
    CSymbl* symbol = m_Symbols[index];
    if (!symbol->m_UseInRValue) {
        FormatQuoted(message, sizeof(message), "Cannot use '%s' in R-Value", word);
        Warn(message);
        return false;
    }
    // The symbol is being assigned right now ("x = x;"): it has nothing to
    // expand to yet.
    if (symbol->m_Value == nullptr || symbol->m_Value[0] == '\0') {
        FormatQuoted(message, sizeof(message), "Symbol '%s' is used before it is defined.", word);
        Warn(message);
        return false;
    }
    return AppendToLogic(symbol);
}

int CLogicText::EvaluateSymbol(const char* word) {
    static const struct {
        const char* keyword;
        char op;
    } kKeywords[] = {{"OR", '|'},  {"or", '|'},  {"AND", '&'}, {"and", '&'},
                     {"XOR", '^'}, {"xor", '^'}, {"NOT", '!'}, {"not", '!'}};
    if (word == nullptr) {
        return 0;
    }
    for (const auto& keyword : kKeywords) {
        if (std::strcmp(word, keyword.keyword) == 0) {
            AppendToLogic(keyword.op);
            return 1;
        }
    }
    return 0;
}

void CLogicText::UnlockSymbol(const char* name) {
    if (name == nullptr) {
        return;
    }
    int index = IsFound(name);
    if (index >= 0) {
        m_Symbols[index]->m_Locked = false;
    }
}

void CLogicText::MakeGlobals(CSymbl** dest) {
    if (dest == nullptr) {
        return;
    }
    for (int i = 0; dest[i] != nullptr; ++i) {
        delete dest[i];
        dest[i] = nullptr;
    }
    int n = 0;
    for (; n < kMaxSymbols && m_Symbols[n] != nullptr; ++n) {
        dest[n] = new CSymbl(m_Symbols[n]);
    }
    dest[n] = nullptr;
}

void CLogicText::AddGlobals(CSymbl** src) {
    if (src == nullptr) {
        return;
    }
    int n = SymbolCount();
    for (int i = 0; src[i] != nullptr && n < kMaxSymbols; ++i) {
        m_Symbols[n++] = new CSymbl(src[i]);
    }
}

void CLogicText::AddPredefines() {
    Destroy();
    for (int i = 0; m_PreDefList[i][0] != '\0'; ++i) {
        CSymbl* symbol = new CSymbl(m_PreDefList[i]);
        const char code[2] = {static_cast<char>(0x60 + i), '\0'};
        symbol->m_Value = DupString(code);
        symbol->m_UseInRValue = UsableInRValue(m_PreDefList[i]);
        m_Symbols[i] = symbol;
    }
}

CSymbl* CLogicText::AddSymbol(const char* name) {
    int n = SymbolCount();
    if (n >= kMaxSymbols) {
        return nullptr;
    }
    m_Symbols[n] = new CSymbl(name);
    return m_Symbols[n];
}

bool CLogicText::AppendToLogic(char c) {
    size_t length = std::strlen(m_Logic);
    if (length + 2 >= sizeof(m_Logic)) {
        Warn("Logic exceeds buffer length!");
        return false;
    }
    m_Logic[length] = c;
    m_Logic[length + 1] = '\0';
    return true;
}

bool CLogicText::AppendToLogic(CSymbl* symbol) {
    const char* value = symbol != nullptr && symbol->m_Value != nullptr ? symbol->m_Value : "";
    size_t length = std::strlen(m_Logic);
    size_t valueLength = std::strlen(value);
    if (valueLength + length + 2 >= sizeof(m_Logic)) {
        Warn("Logic exceeds buffer length!");
        return false;
    }
    std::memcpy(m_Logic + length, value, valueLength + 1);
    return true;
}

bool CLogicText::CheckAllLocked() const {
    for (int i = 0; i < kMaxSymbols && m_Symbols[i] != nullptr; ++i) {
        if (!m_Symbols[i]->m_Locked) {
            char message[kMustBeDefinedSpace];
            FormatQuoted(message, sizeof(message), "Symbol: '%s' must be defined",
                         m_Symbols[i]->m_Name);
            Warn(message);
            m_pRefusedTarget = m_Symbols[i];
            return false;
        }
    }
    return true;
}

bool CLogicText::CheckParentheses() {
    int depth = 0;
    bool operatorSeen = false;
    bool operandSeen = false;
    for (const char* p = m_Logic; *p != '\0'; ++p) {
        switch (*p) {
            case '(':
                ++depth;
                break;
            case ')':
                --depth;
                break;
            case '|':
            case '&':
            case '^':
                if (operatorSeen) {
                    Warn("Adjacent logic operations!");
                    return false;
                }
                operatorSeen = true;
                operandSeen = false;
                break;
            case '!':
                operatorSeen = true;
                break;
            default:
                if (operandSeen) {
                    Warn("Adjacent symbols!");
                    return false;
                }
                operandSeen = true;
                operatorSeen = false;
                break;
        }
        // The right-hand side sits inside the parentheses Symbolize put
        // around it: one that closes them early ("x = in1) | (in2;") would
        // balance overall, and its value would bind wrongly where it is used.
        if (depth < 0 || (depth == 0 && p[1] != '\0')) {
            Warn("Unmatched parentheses!");
            return false;
        }
    }
    if (depth != 0) {
        Warn("Unbalanced parentheses.");
        return false;
    }
    return true;
}

void CLogicText::Destroy() {
    for (CSymbl*& symbol : m_Symbols) {
        delete symbol;
        symbol = nullptr;
    }
}

bool CLogicText::HandleComment() {
    const char* text = m_pScanText;
    char next = text[m_Pos] == '\0' ? '\0' : text[m_Pos + 1];
    if (next == '/') {
        m_Pos += 2;
        while (text[m_Pos] != '\0' && text[m_Pos] != '\n') {
            ++m_Pos;
        }
        if (text[m_Pos] == '\n') {
            AdvanceLine();
            ++m_Pos;
        }
        return true;
    }
    if (next == '*') {
        // Searched from the "*" itself, so "/*/" is a whole comment.
        const char* end = std::strstr(text + m_Pos + 1, "*/");
        if (end == nullptr) {
            Warn("Extended comment does not end!");
            return false;
        }
        for (const char* p = text + m_Pos + 1; p < end; ++p) {
            if (*p == '\n') {
                AdvanceLine();
            }
        }
        m_Pos = static_cast<int>(end - text) + 2;
        return true;
    }
    Warn("Syntax.");
    return false;
}

int CLogicText::IsFound(const char* name) {
    if (name == nullptr) {
        return -1;
    }
    for (int i = 0; i < kMaxSymbols && m_Symbols[i] != nullptr; ++i) {
        if (m_Symbols[i]->m_Name != nullptr && std::strcmp(m_Symbols[i]->m_Name, name) == 0) {
            return i;
        }
    }
    return -1;
}

void CLogicText::Warn(const char* message) const {
    std::snprintf(m_LastError, sizeof(m_LastError), "Error--%s (line %i)", message, m_Line);
    m_ErrorLine = m_Line;
    m_Valid = false;
}

int CLogicText::SymbolCount() const {
    int n = 0;
    while (n < kMaxSymbols && m_Symbols[n] != nullptr) {
        ++n;
    }
    return n;
}
