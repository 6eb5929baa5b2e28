#include <cstdio>
#include <string>

#include "platform/win32/Win32.h"

namespace veltor {
namespace platform {

namespace {

// A plain buffer: a thread_local with a destructor is best kept out of a
// DLL built with mingw.
thread_local char t_Failure[512];

}  // namespace

void SetFailure(const std::string& text) {
    std::snprintf(t_Failure, sizeof(t_Failure), "%s", text.c_str());
}

void ClearFailure() {
    t_Failure[0] = '\0';
}

std::string LastError() {
    if (t_Failure[0] != '\0') {
        return t_Failure;
    }
    const DWORD code = ::GetLastError();
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
        return "held by another program (access denied)";
    }
    char text[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                         0, text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "system error " + std::to_string(code) : message;
}

}  // namespace platform
}  // namespace veltor
