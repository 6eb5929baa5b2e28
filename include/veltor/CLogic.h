/// @file
/// The device's global logic: one text whose assignments define symbols that
/// every channel's logic may use, and the resulting global symbol array. The
/// array stays where it is for the holder's whole life, since every channel's
/// CChLogic keeps a pointer to it and sees its current content at each parse.
#pragma once

#include <veltor/CSymbl.h>
#include <veltor/export.h>

/// The device's global logic text and the global symbols it defines.
class VELTOR_API CLogic {
public:
    /// Starts with the 27 predefined symbols as the only global symbols.
    CLogic();
    ~CLogic();

    CLogic(const CLogic&) = delete;
    CLogic& operator=(const CLogic&) = delete;

    /// Stores the text and parses it over the predefined symbols alone. On
    /// success the global symbols become the parser's whole table (predefined
    /// symbols first, all locked) and true is returned; on failure the previous
    /// global symbols stay in force, though the text is kept.
    /// Every assignment of the global text defines a symbol the channels use,
    /// so a symbol whose symbolized value passes 255 characters is refused
    /// even when it is the last.
    bool SetGlobalLogic(const char* text);
    /// The global symbol array: the predefined symbols, then those the global
    /// text defines, ended by an empty slot.
    CSymbl** GetGlobalSymbols() { return m_Globals; }
    /// The text of the latest SetGlobalLogic, whether it was accepted or not.
    const char* GetGlobalText() const { return m_GlobalText; }
    /// The parser's message ("Error--<message> (line <n>)") from the latest
    /// SetGlobalLogic that failed; empty until one fails. A later success
    /// leaves it.
    const char* GetLastError() const { return m_LastError; }
    /// The line of the global text that GetLastError's message names, or 0
    /// while no SetGlobalLogic has failed.
    int GetErrorLine() const { return m_ErrorLine; }

protected:
    /// @cond INTERNAL
    static const int kSize = 4096;

    CSymbl* m_Globals[kSize];
    char m_GlobalText[kSize];
    char m_LastError[kSize];
    int m_ErrorLine;
    /// @endcond
};
