/// @file
/// A named logic symbol: a predefined input, output or constant, or a name
/// that a logic text defines. Symbol sets travel as arrays of owned CSymbl
/// pointers that end at the first empty slot; a symbol is copied deeply
/// whenever it moves from one table to another.
#pragma once

#include <veltor/export.h>

/// A named logic symbol and the form that stands for it in an expression.
class VELTOR_API CSymbl {
public:
    /// No name, no value, not locked, usable on a right-hand side.
    CSymbl();
    /// A new named symbol: locked, usable on a right-hand side, no value yet.
    explicit CSymbl(const char* name);
    /// Deep copy; an absent value becomes an empty one. An absent source gives
    /// a symbol with no name, no value and both flags clear.
    explicit CSymbl(const CSymbl* source);
    /// Deep copy.
    CSymbl(const CSymbl& source);
    /// Deep copy.
    CSymbl& operator=(const CSymbl& source);
    ~CSymbl();

    /// Compared exactly and case-sensitively.
    char* m_Name;
    /// The symbolized form that replaces the name on a right-hand side: one
    /// code character for a predefined symbol, a parenthesized symbolized
    /// expression for a defined one. Absent until the symbol is assigned.
    char* m_Value;
    /// Set: the symbol may not be assigned (predefined, global, or already
    /// assigned). Clear: the symbol still waits for its one assignment.
    bool m_Locked;
    /// Set: the symbol may be used on a right-hand side.
    bool m_UseInRValue;
};
