/// @file
/// A channel's logic compiler: keeps the channel's logic text, checks it
/// against the device's global symbols, compiles the expression of its last
/// assignment into the logic code the instrument evaluates to form the
/// channel's logic input, and builds the request that loads that code. On
/// failure GetLastError and GetErrorLine tell what and where. The messages
/// are listed in docs/guide.md, the logic code in docs/protocol.md.
#pragma once

#include <veltor/CSymbl.h>
#include <veltor/export.h>

class CCommand;

/// A channel's logic compiler; each CChannel owns one.
class VELTOR_API CChLogic {
public:
    /// `globals`: the device's global symbol array (not owned; it ends at its
    /// first empty slot). `channel`: 'A'..'H' ('a'..'h' taken as upper case).
    CChLogic(CSymbl** globals, char channel);
    ~CChLogic();

    CChLogic(const CChLogic&) = delete;
    CChLogic& operator=(const CChLogic&) = delete;

    /// Replaces the logic text (an absent text counts as empty) and clears the
    /// validity; it does not parse.
    void SetLogicText(const char* text);
    /// The logic text as it is kept (cut to 4095 characters).
    const char* GetLogicText() const { return m_LogicText; }
    /// Parses the current text against the current global symbols, keeping
    /// its last assignment for CompressLogic. Touches neither the last error
    /// nor the validity.
    bool ParseLogicText();
    /// Compiles the text parsed last into the logic code.
    bool CompressLogic();
    /// Parses and compiles the current text as GetCommand does, without
    /// building a request, so a text is judged before anything is sent. On
    /// failure GetLastError and GetErrorLine tell what and where; on success
    /// the message is "No errors." and GetCode gives the code.
    bool Compile();
    /// Compiles as Compile does and builds the logic load request; none when
    /// the compile fails. The caller sends and then deletes the command.
    CCommand* GetCommand();
    /// Marks the code as no longer matching the text.
    void Invalidate() { m_Valid = false; }
    /// True when the code is the compile of the current text.
    bool IsValid() const { return m_Valid; }
    /// The message of the last compile: "No errors." or "Error--" and what failed.
    const char* GetLastError() const { return m_LastError; }
    /// The line of the logic text that GetLastError's message names; 0 when it
    /// names none.
    int GetErrorLine() const { return m_ErrorLine; }
    /// Copies the code of the latest successful compile of the current text
    /// into `code` and returns its length (0 for the empty logic); -1 when the
    /// text has no valid compile (IsValid() false) or `capacity` is too small.
    /// kMaxRequestCode bytes always suffice.
    int GetCode(unsigned char* code, int capacity) const;
    /// Empties the scratch table.
    void CleanUp();

    /// Code bytes one load request can carry, and so the longest code a
    /// compile gives.
    static const int kMaxRequestCode = 247;

protected:
    /// @cond INTERNAL
    static const int kTextSize = 4096;
    static const int kStackSize = 512;

    struct SPending {
        unsigned char m_Op;  ///< 0x80 or, 0xC0 and, 0x40 xor; 0x10 negation, 0 group mark
        int m_Depth;         ///< parenthesis depth at which it was pushed
    };

    /// The code stack; Push fails with "Symbol stack full" past 511 bytes, Pop
    /// gives 0 when the stack is empty.
    bool Push(unsigned char code);
    unsigned char Pop();
    /// Both return 0, or -1 (after the stack-full message) when the stack
    /// already holds 511 entries.
    int pushBinary(int depth, unsigned char op);
    int pushUnary(int depth, unsigned char op);
    /// The operator, or 0 when the stack is empty.
    unsigned char popBinary();
    unsigned char popUnary();
    /// Applies the pending binary operator to the last code byte.
    bool BinaryNow();
    /// Applies the pending negation (if it is one) to the last code byte.
    bool UnaryNow();
    void SetValid();
    void Warn(const char* message) const;

    char m_Logic[kTextSize];
    char m_LogicText[kTextSize];
    char m_InputName[kTextSize];
    CSymbl** m_pGlobals;
    mutable char m_LastError[kTextSize];
    /// Byte 0: the code length L; bytes 1..511: the code stack.
    unsigned char m_Code[kStackSize];
    mutable bool m_Valid;
    char* m_Scratch[kStackSize];
    int m_CodeCount;
    int m_NegTop;
    int m_BinTop;
    char m_Channel;
    SPending m_BinStack[kStackSize];
    SPending m_NegStack[kStackSize];
    /// @endcond

private:
    /// Parses as ParseLogicText does; with `report`, a failure leaves its
    /// message, its line and the validity cleared.
    bool Parse(bool report);
    void WarnAt(const char* message, int line) const;

    bool m_TextTooLong;
    mutable int m_ErrorLine;
    /// The line of the last assignment of the text behind m_Logic.
    int m_LogicLine;
};
