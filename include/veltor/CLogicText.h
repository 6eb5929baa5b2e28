/// @file
/// The first stage of the logic language: reads a logic text (assignments such
/// as "inA = not in1;"), checks it against a table of named symbols and
/// rewrites each right-hand side into the compact form CChLogic compiles. A
/// host may run it directly to check a text; GetLastError then reads
/// "Error--<message> (line <n>)" for the first error found. The language and
/// every message are described in docs/guide.md.
#pragma once

#include <veltor/CSymbl.h>
#include <veltor/export.h>

/// Reads and checks one logic text; a short-lived worker made for each parse.
class VELTOR_API CLogicText {
public:
    /// The text is copied (an absent text counts as empty). The symbol table
    /// starts as deep copies of `globals` (up to its first empty slot) or, when
    /// `globals` is absent, as the 27 predefined symbols.
    CLogicText(const char* text, CSymbl** globals);
    ~CLogicText();

    CLogicText(const CLogicText&) = delete;
    CLogicText& operator=(const CLogicText&) = delete;

    /// Processes the whole text. True when every assignment was accepted and
    /// no symbol is left unassigned.
    bool Symbolize();
    /// Reads the next assignment's name and its "="; the symbol to assign, or
    /// none at the end of the text or on an error (told apart by IsValid).
    CSymbl* getLValue();
    /// Reads a right-hand side up to and including its ";".
    bool getRValue();
    /// Ends the pending right-hand-side word, if any, and appends its form.
    bool CheckNewSymbol();
    /// 1 (and the operator character appended) for an operator keyword, else 0.
    int EvaluateSymbol(const char* word);
    /// Lets the text assign the named symbol once; an unknown name does nothing.
    void UnlockSymbol(const char* name);
    /// Refuses an over-long value for the last assignment too: for a table
    /// whose every symbol is used later (the global logic), a cut value is
    /// never harmless.
    void RequireWholeValues() { m_WholeValues = true; }
    /// Replaces the symbols of `dest` (up to its first empty slot) with deep
    /// copies of this table, followed by an empty slot. `dest` must have room
    /// for the whole table and that slot.
    void MakeGlobals(CSymbl** dest);

    /// False once an error was found.
    bool IsValid() const { return m_Valid; }
    /// The first error found, "Error--<message> (line <n>)"; empty when none.
    const char* GetLastError() const { return m_LastError; }
    /// The line the last error was found on (the one GetLastError names), or 0
    /// when there was none.
    int GetErrorLine() const { return m_ErrorLine; }
    /// The line on which the name of the latest accepted assignment starts (the
    /// last assignment of the text once Symbolize succeeded), or 0 when none.
    int GetLastAssignmentLine() const { return m_AssignmentLine; }

protected:
    /// @cond INTERNAL
    static const int kTextSize = 4096;
    static const int kMaxSymbols = 512;
    static const int kMaxNameLength = 255;

    void AddGlobals(CSymbl** src);
    void AddPredefines();
    /// The new symbol, or none when the table is full.
    CSymbl* AddSymbol(const char* name);
    void AdvanceLine() { ++m_Line; }
    bool AppendToLogic(char c);
    bool AppendToLogic(CSymbl* symbol);
    bool CheckAllLocked() const;
    bool CheckParentheses();
    void Destroy();
    /// Entered with the scan position on a "/"; leaves it just after the
    /// comment.
    bool HandleComment();
    /// Index of the symbol with exactly that name, or -1.
    int IsFound(const char* name);
    void Warn(const char* message) const;

    /// Names of the predefined symbols in code-character order, ending with
    /// an empty string.
    static const char* const m_PreDefList[28];

    char m_Logic[kTextSize];
    char m_Text[kTextSize];
    mutable char m_LastError[kTextSize];
    /// The word being scanned on a right-hand side, within m_pScanText.
    const char* m_pTokenStart;
    const char* m_pTokenEnd;
    CSymbl* m_Symbols[kMaxSymbols];
    int m_Pos;
    int m_Line;
    bool m_TokenDone;
    mutable bool m_Valid;
    /// The scanner's own heap copy of m_Text.
    char* m_pScanText;
    /// The symbol the last error refuses an assignment for: one assigned a
    /// second time ("duplicate") or one left unassigned ("must be defined");
    /// none for every other error.
    mutable const CSymbl* m_pRefusedTarget;
    /// @endcond

private:
    void SkipBlanksAndComments();
    int SymbolCount() const;

    bool m_WholeValues;
    mutable int m_ErrorLine;
    int m_AssignmentLine;
};
