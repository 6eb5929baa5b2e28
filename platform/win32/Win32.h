// windows.h for the Win32 platform layer. It defines CreateEvent as a macro
// (CreateEventA or CreateEventW), which would rename our own operation of that
// name; the layer calls the ANSI functions by their full names instead.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef CreateEvent

#include "platform/Platform.h"

namespace veltor {
namespace platform {

inline HANDLE ToWin32(Handle h) {
    return static_cast<HANDLE>(h);
}
inline Handle FromWin32(HANDLE h) {
    return static_cast<Handle>(h);
}

}  // namespace platform
}  // namespace veltor
