/// @file
/// Logic texts that compile but may not mean what they seem to say.
#pragma once

#include <veltor/export.h>

#include <string>
#include <vector>

namespace veltor {

/// One place where a logic text may read otherwise than intended.
struct VELTOR_API LogicWarning {
    int line;          ///< the line of the text, from 1
    std::string text;  ///< what the text does there, and what to write instead
};

/// Each assignment of a logic text whose expression (or a parenthesized part
/// of it) mixes binary operators of different kinds (or, and, exclusive or)
/// without parentheses. The three share one precedence and group from the
/// left, so `inB = in1 | in2 & in3;` means `(in1 | in2) & in3`, not what
/// ordinary Boolean algebra suggests. One warning per assignment, on the line
/// of the first operator of another kind. Reads the text only; a text that
/// does not compile gets warnings for what can be read of it.
VELTOR_API std::vector<LogicWarning> FindLogicWarnings(const std::string& text);

}  // namespace veltor
