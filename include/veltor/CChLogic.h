// A channel's logic compiler. It keeps the channel's logic text, checks it
// against the device's global symbols with a CLogicText, compiles the
// symbolized right-hand side of the text's last assignment into the logic
// code the instrument evaluates to form the channel's logic input, and builds
// the request that loads that code.
//
// The logic code is a postfix program for the instrument's evaluation stack,
// one instruction per byte:
//   bits 7-6  11 load (push), 00 and, 01 or, 10 exclusive or (combine the
//             top value with the operand)
//   bit 5     load: the constant high; combining: invert the result
//   bit 4     the operand (or the loaded constant) is inverted
//   bits 3-0  0-7 in1..in8, 8-14 outA..outG, 15 (combining only) the value
//             below the top
// The three binary operations share one precedence and group from the left;
// a negation applies to the operand or group next to it. A binary operation
// on a plain operand folds into one combining byte ("(a&!b)" gives C0 11),
// constants are never folded ("(a&z)" gives C0 E0 0F), and a negated group
// inverts the result of its last combining byte.
//
// Decisions beyond the compile itself:
// - Only complete expressions are compiled. After a compile that found no
//   error of its own, the symbolized logic is checked and refused with
//     "Error: a binary operator lacks its left operand"   ("&a", "(a|(&b))")
//     "Error: a binary operator lacks its right operand"  ("a&", "(a&)(b)")
//     "Error: a negation lacks its operand"                ("a!", "(!)")
//     "Error: empty parentheses"                           ("a&()")
//     "Error: two operands without an operator between them"
//   A right-hand side with nothing but parentheses ("()", "(())") is the
//   empty logic and compiles to no code (L = 0).
// - A run of negations in front of an operand or a group means what it says:
//   an even run cancels ("!!a" is a), an odd run is one negation ("!!!a" is
//   !a). Negations separated by a parenthesis ("!(!a)") already compile
//   right and are not touched.
// - One request carries at most 247 code bytes (its payload is L + 4 of at
//   most 251 bytes), so longer code is refused with
//   "Error: logic code exceeds 247 bytes".
// - A text over 4095 characters is kept cut to 4095 characters but never
//   parses, and a channel letter outside 'A'..'H' never compiles nor yields
//   a command ("Error: no channel '<c>'", no line), since its selector byte
//   would address another function of the instrument.
// Every other failure of CompressLogic reads "Error--" followed by the
// compiler's message.
//
// Compile (and GetCommand, which compiles first) tells where a text fails:
// - a parse failure keeps the parser's message, "Error--<message> (line <n>)";
//   when the text leaves the channel's input unassigned ("Symbol: 'inA' must
//   be defined") or assigns another channel's input before its own ("'inB' is
//   a duplicate symbol."), "; channel A's logic text must assign inA" follows;
// - a compile failure is the compiler's message followed by " (line <n>)",
//   the line where the name of the text's last assignment (the one compiled)
//   starts.
#pragma once

#include <veltor/CSymbl.h>
#include <veltor/export.h>

class CCommand;

class VELTOR_API CChLogic {
public:
    // `globals`: the device's global symbol array (not owned; it ends at its
    // first empty slot). `channel`: 'A'..'H' ('a'..'h' taken as upper case).
    CChLogic(CSymbl** globals, char channel);
    ~CChLogic();

    CChLogic(const CChLogic&) = delete;
    CChLogic& operator=(const CChLogic&) = delete;

    // Replaces the logic text (an absent text counts as empty) and clears the
    // validity; it does not parse.
    void SetLogicText(const char* text);
    // The logic text as it is kept (cut to 4095 characters).
    const char* GetLogicText() const { return m_LogicText; }
    // Parses the current text against the current global symbols; on success
    // m_Logic holds the symbolized right-hand side of its last assignment.
    // Touches neither the last error nor the validity.
    bool ParseLogicText();
    // Compiles m_Logic into m_Code.
    bool CompressLogic();
    // Parses and compiles the current text as GetCommand does, without
    // building a request, so a text is judged before anything is sent. On
    // failure GetLastError and GetErrorLine tell what and where; on success
    // the message is "No errors." and GetCode gives the code.
    bool Compile();
    // Compiles as Compile does and builds the logic load request; none when
    // the compile fails. The caller sends and then deletes the command.
    CCommand* GetCommand();
    void Invalidate() { m_Valid = false; }
    bool IsValid() const { return m_Valid; }
    const char* GetLastError() const { return m_LastError; }
    // The line of the logic text that GetLastError's message names; 0 when it
    // names none.
    int GetErrorLine() const { return m_ErrorLine; }
    // Copies the code of the latest successful compile of the current text
    // into `code` and returns its length (0 for the empty logic); -1 when the
    // text has no valid compile (IsValid() false) or `capacity` is too small.
    // kMaxRequestCode bytes always suffice.
    int GetCode(unsigned char* code, int capacity) const;
    // Empties the scratch table.
    void CleanUp();

    // Code bytes one load request can carry, and so the longest code a
    // compile gives.
    static const int kMaxRequestCode = 247;

protected:
    static const int kTextSize = 4096;
    static const int kStackSize = 512;

    struct SPending {
        unsigned char m_Op;  // 0x80 or, 0xC0 and, 0x40 xor; 0x10 negation, 0 group mark
        int m_Depth;         // parenthesis depth at which it was pushed
    };

    // The code stack; Push fails with "Symbol stack full" past 511 bytes, Pop
    // gives 0 when the stack is empty.
    bool Push(unsigned char code);
    unsigned char Pop();
    // Both return 0, or -1 (after the stack-full message) when the stack
    // already holds 511 entries.
    int pushBinary(int depth, unsigned char op);
    int pushUnary(int depth, unsigned char op);
    // The operator, or 0 when the stack is empty.
    unsigned char popBinary();
    unsigned char popUnary();
    // Applies the pending binary operator to the last code byte.
    bool BinaryNow();
    // Applies the pending negation (if it is one) to the last code byte.
    bool UnaryNow();
    void SetValid();
    void Warn(const char* message) const;

    char m_Logic[kTextSize];
    char m_LogicText[kTextSize];
    char m_InputName[kTextSize];
    CSymbl** m_pGlobals;
    mutable char m_LastError[kTextSize];
    // Byte 0: the code length L; bytes 1..511: the code stack.
    unsigned char m_Code[kStackSize];
    mutable bool m_Valid;
    char* m_Scratch[kStackSize];
    int m_CodeCount;
    int m_NegTop;
    int m_BinTop;
    char m_Channel;
    SPending m_BinStack[kStackSize];
    SPending m_NegStack[kStackSize];

private:
    // Parses as ParseLogicText does; with `report`, a failure leaves its
    // message, its line and the validity cleared.
    bool Parse(bool report);
    void WarnAt(const char* message, int line) const;

    bool m_TextTooLong;
    mutable int m_ErrorLine;
    // The line of the last assignment of the text behind m_Logic.
    int m_LogicLine;
};
