#include "logic/LogicUtil.h"

#include <cstdio>
#include <cstring>

namespace veltor {
namespace logic {

char* DupString(const char* text, size_t maxLength) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t n = std::strlen(text);
    if (n > maxLength) {
        n = maxLength;
    }
    char* copy = new char[n + 1];
    std::memcpy(copy, text, n);
    copy[n] = '\0';
    return copy;
}

bool CopyText(char* dest, size_t size, const char* text) {
    if (size == 0) {
        return false;
    }
    if (text == nullptr) {
        dest[0] = '\0';
        return true;
    }
    size_t n = std::strlen(text);
    bool whole = n < size;
    if (!whole) {
        n = size - 1;
    }
    std::memmove(dest, text, n);
    dest[n] = '\0';
    return whole;
}

void FormatQuoted(char* dest, size_t size, const char* format, const char* name) {
    if (size == 0) {
        return;
    }
    if (name == nullptr) {
        name = "";
    }
    // The format's own characters, less the two of "%s", plus the terminator.
    size_t fixed = std::strlen(format) - 2 + 1;
    size_t room = size > fixed ? size - fixed : 0;
    size_t n = std::strlen(name);
    char cut[512];
    if (n > room) {
        size_t keep = room > 3 ? room - 3 : 0;
        if (keep > sizeof(cut) - 4) {
            keep = sizeof(cut) - 4;
        }
        std::memcpy(cut, name, keep);
        std::snprintf(cut + keep, sizeof(cut) - keep, "%s", room >= 3 ? "..." : "");
        name = cut;
    }
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    std::snprintf(dest, size, format, name);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace logic
}  // namespace veltor
