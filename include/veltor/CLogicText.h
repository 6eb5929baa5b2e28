// The logic language and its first stage: reads a logic text (assignments
// such as "inA = not in1;"), keeps the table of named symbols, checks each
// assignment and rewrites each right-hand side into the symbolized logic, one
// character per symbol, operator or parenthesis, which CChLogic compiles.
//
// The language: assignments "name = right-hand side ;" separated by blanks
// (space, tab, carriage return, line feed) and comments ("//" to the end of
// the line, "/*" to the first "*/"). On a right-hand side:
//   or   "|" "#" "+" "OR" "or"    -> '|'     not    "!" "~" "NOT" "not" -> '!'
//   and  "&" "*" "AND" "and"      -> '&'     group  "(" "{"  and  ")" "}"
//   xor  "^" "XOR" "xor"          -> '^'
// Every other character belongs to a word; a word that is not one of the
// eight keywords is a symbol name. The predefined symbols stand for code
// characters 0x60 + their index in m_PreDefList; a defined symbol stands for
// its whole parenthesized symbolized right-hand side, so the groups of a
// right-hand side must close within it ("x = in1) | (in2;" is refused with
// "Unmatched parentheses!").
//
// Every error goes through Warn, so GetLastError reads
// "Error--<message> (line <n>)" with the line on which it was found, and the
// first error ends the parse. Besides the fixed messages of the language,
// this parser refuses four things that would otherwise do harm:
// - A symbol used on the right-hand side of its own first assignment
//   ("x = x;") has no value yet: "Symbol '<name>' is used before it is
//   defined." (a copied symbol whose value is empty counts as undefined too).
// - A text over 4095 characters is refused whole when the parser is built:
//   "Logic text exceeds 4095 characters!" (line 1); Symbolize then returns
//   false. An assigned name or a right-hand-side word over 255 characters:
//   "Symbol name exceeds 255 characters!".
// - A defined symbol keeps at most 255 characters of its symbolized value,
//   and a cut value would no longer close its parentheses. So a value over
//   255 characters is refused where it is assigned, at the line of the
//   assigned name: "Symbol '<name>' expands to more than 255 characters.".
//   The last assignment of a text is spared (its value is kept cut, its
//   whole form stays in m_Logic for the channel compiler), unless
//   RequireWholeValues was called.
// - A message that quotes a name is built in a fixed space (60 characters for
//   the duplicate message, 80 for the must-be-defined message, 256 for the
//   not-found, R-value, used-before-defined and expands-to messages); a name
//   that does not fit is cut and ends in "...", the rest of the message
//   stays whole.
#pragma once

#include <veltor/CSymbl.h>
#include <veltor/export.h>

class VELTOR_API CLogicText {
public:
    // The text is copied (an absent text counts as empty). The symbol table
    // starts as deep copies of `globals` (up to its first empty slot) or, when
    // `globals` is absent, as the 27 predefined symbols.
    CLogicText(const char* text, CSymbl** globals);
    ~CLogicText();

    CLogicText(const CLogicText&) = delete;
    CLogicText& operator=(const CLogicText&) = delete;

    // Processes the whole text. True when every assignment was accepted and
    // no symbol is left unassigned; m_Logic then holds the symbolized
    // right-hand side of the last assignment.
    bool Symbolize();
    // Reads the next assignment's name and its "="; the symbol to assign, or
    // none at the end of the text or on an error (told apart by IsValid).
    CSymbl* getLValue();
    // Reads a right-hand side up to and including its ";", appending its
    // symbolized form to m_Logic.
    bool getRValue();
    // Ends the pending right-hand-side word, if any, and appends its form.
    bool CheckNewSymbol();
    // 1 (and the operator character appended) for an operator keyword, else 0.
    int EvaluateSymbol(const char* word);
    // Lets the text assign the named symbol once; an unknown name does nothing.
    void UnlockSymbol(const char* name);
    // Refuses an over-long value for the last assignment too: for a table
    // whose every symbol is used later (the global logic), a cut value is
    // never harmless.
    void RequireWholeValues() { m_WholeValues = true; }
    // Replaces the symbols of `dest` (up to its first empty slot) with deep
    // copies of this table, followed by an empty slot. `dest` must have room
    // for the whole table and that slot.
    void MakeGlobals(CSymbl** dest);

    bool IsValid() const { return m_Valid; }
    const char* GetLastError() const { return m_LastError; }
    // The line the last error was found on (the one GetLastError names), or 0
    // when there was none.
    int GetErrorLine() const { return m_ErrorLine; }
    // The line on which the name of the latest accepted assignment starts (the
    // last assignment of the text once Symbolize succeeded), or 0 when none.
    int GetLastAssignmentLine() const { return m_AssignmentLine; }

protected:
    static const int kTextSize = 4096;
    static const int kMaxSymbols = 512;
    static const int kMaxNameLength = 255;

    void AddGlobals(CSymbl** src);
    void AddPredefines();
    // The new symbol, or none when the table is full.
    CSymbl* AddSymbol(const char* name);
    void AdvanceLine() { ++m_Line; }
    bool AppendToLogic(char c);
    bool AppendToLogic(CSymbl* symbol);
    bool CheckAllLocked() const;
    bool CheckParentheses();
    void Destroy();
    // Entered with the scan position on a "/"; leaves it just after the
    // comment.
    bool HandleComment();
    // Index of the symbol with exactly that name, or -1.
    int IsFound(const char* name);
    void Warn(const char* message) const;

    // Names of the predefined symbols in code-character order, ending with
    // an empty string.
    static const char* const m_PreDefList[28];

    char m_Logic[kTextSize];
    char m_Text[kTextSize];
    mutable char m_LastError[kTextSize];
    // The word being scanned on a right-hand side, within m_pScanText.
    const char* m_pTokenStart;
    const char* m_pTokenEnd;
    CSymbl* m_Symbols[kMaxSymbols];
    int m_Pos;
    int m_Line;
    bool m_TokenDone;
    mutable bool m_Valid;
    // The scanner's own heap copy of m_Text.
    char* m_pScanText;
    // The symbol the last error refuses an assignment for: one assigned a
    // second time ("duplicate") or one left unassigned ("must be defined");
    // none for every other error.
    mutable const CSymbl* m_pRefusedTarget;

private:
    void SkipBlanksAndComments();
    int SymbolCount() const;

    bool m_WholeValues;
    mutable int m_ErrorLine;
    int m_AssignmentLine;
};
