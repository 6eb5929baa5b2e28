// Small string helpers shared by the logic classes.
#pragma once

#include <cstddef>

namespace veltor {
namespace logic {

// A heap copy (new[]) of at most `maxLength` characters of `text`; none for
// an absent text.
char* DupString(const char* text, size_t maxLength = static_cast<size_t>(-1));

// Copies `text` into `dest` of `size` characters, cut to fit; an absent text
// gives an empty one. True when the whole text fitted.
bool CopyText(char* dest, size_t size, const char* text);

// Formats `format` (which holds one "%s") with `name` into `dest` of `size`
// characters. A name too long for the space is cut and ends in "...", so the
// rest of the message always stays whole.
void FormatQuoted(char* dest, size_t size, const char* format, const char* name);

}  // namespace logic
}  // namespace veltor
