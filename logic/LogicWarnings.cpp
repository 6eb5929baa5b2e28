#include <veltor/LogicWarnings.h>

#include <cctype>
#include <cstddef>

namespace veltor {

namespace {

enum Kind { kNone, kOr, kAnd, kXor };

const char* Spelling(Kind kind) {
    return kind == kOr ? "or" : kind == kAnd ? "and" : "xor";
}

bool IsWordByte(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$';
}

Kind WordKind(const std::string& word) {
    if (word == "OR" || word == "or") {
        return kOr;
    }
    if (word == "AND" || word == "and") {
        return kAnd;
    }
    if (word == "XOR" || word == "xor") {
        return kXor;
    }
    return kNone;
}

Kind SignKind(char c) {
    switch (c) {
        case '|':
        case '#':
        case '+':
            return kOr;
        case '&':
        case '*':
            return kAnd;
        case '^':
            return kXor;
        default:
            return kNone;
    }
}

// One assignment being read: its name, and the kind of binary operator met
// so far in each open group (index 0: the expression itself).
struct Assignment {
    std::string name;
    bool inExpression = false;
    bool warned = false;
    std::vector<Kind> groups;

    void Begin() {
        inExpression = true;
        warned = false;
        groups.assign(1, kNone);
    }
    void End() {
        inExpression = false;
        name.clear();
    }
};

void Operator(Assignment& a, Kind kind, int line, std::vector<LogicWarning>& out) {
    Kind& seen = a.groups.back();
    if (seen == kNone) {
        seen = kind;
        return;
    }
    if (seen == kind || a.warned) {
        return;
    }
    a.warned = true;
    const std::string first = Spelling(seen);
    const std::string second = Spelling(kind);
    out.push_back(LogicWarning{
        line, (a.name.empty() ? std::string("an expression") : a.name) + " mixes " + first +
                  " and " + second +
                  " without parentheses: binary operators share one precedence and group "
                  "from the left (a " +
                  first + " b " + second + " c means (a " + first + " b) " + second +
                  " c); add parentheses to say which is meant"});
}

}  // namespace

std::vector<LogicWarning> FindLogicWarnings(const std::string& text) {
    std::vector<LogicWarning> out;
    Assignment a;
    int line = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            continue;
        }
        // Comments: to the end of the line, or to the closing mark.
        if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            while (i + 1 < text.size() && text[i + 1] != '\n') {
                ++i;
            }
            continue;
        }
        if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            for (i += 2;
                 i < text.size() && !(text[i] == '*' && i + 1 < text.size() && text[i + 1] == '/');
                 ++i) {
                line += text[i] == '\n' ? 1 : 0;
            }
            ++i;
            continue;
        }
        if (IsWordByte(c)) {
            const std::size_t start = i;
            while (i + 1 < text.size() && IsWordByte(text[i + 1])) {
                ++i;
            }
            const std::string word = text.substr(start, i - start + 1);
            const Kind kind = a.inExpression ? WordKind(word) : kNone;
            if (kind != kNone) {
                Operator(a, kind, line, out);
            } else if (!a.inExpression) {
                a.name = word;
            }
            continue;
        }
        if (!a.inExpression) {
            if (c == '=') {
                a.Begin();
            }
            continue;
        }
        if (c == ';') {
            a.End();
        } else if (c == '(' || c == '{') {
            a.groups.push_back(kNone);
        } else if ((c == ')' || c == '}') && a.groups.size() > 1) {
            a.groups.pop_back();
        } else if (SignKind(c) != kNone) {
            Operator(a, SignKind(c), line, out);
        }
    }
    return out;
}

}  // namespace veltor
