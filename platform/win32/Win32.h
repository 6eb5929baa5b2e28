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

#include <cstddef>
#include <string>

#include "platform/Platform.h"

namespace veltor {
namespace platform {

inline HANDLE ToWin32(Handle h) {
    return static_cast<HANDLE>(h);
}
inline Handle FromWin32(HANDLE h) {
    return static_cast<Handle>(h);
}

// ---- Network ports (Net.cpp) ----
// A TCP connection to a device server that holds the instrument's serial
// line, raw or as Telnet with RFC 2217 (see serial/NetAddress.h). Its handle
// is the object's address with the lowest bit set: kernel handles are
// multiples of four, so no handle of the system looks like one.
struct NetPort;
NetPort* AsNetPort(Handle h);
// Connects (resolving and connecting within a bound) and, for RFC 2217,
// agrees on the COM Port Control option. Null on failure, with the reason
// for LastError.
Handle OpenNetPort(const char* name);
// Sets the line through an RFC 2217 server; nothing to do on a raw one.
// 0, or -4 with the reason for LastError.
int NetConfigure(NetPort* port, long baud);
void NetPurgeInput(NetPort* port);
bool NetWrite(NetPort* port, const unsigned char* bytes, int count, long timeoutMs);
// The data bytes waiting (a Telnet connection's commands taken out and
// answered); 0 when none wait, -1 when the connection closed or failed.
long NetRead(NetPort* port, unsigned char* buffer, std::size_t capacity);
// The watcher's wait: the stop event, or bytes (or the end) on the socket.
WatchEvent NetWait(NetPort* port, HANDLE stopEvent);
void NetClose(NetPort* port);
// The reason a network call of this thread failed, if the last failure was
// one; cleared by OpenPort and PortConfigure.
const char* NetFailure();
void ClearNetFailure();
// Sets the reason of a failed opening that no system call gave.
void OpenNetPortFailure(const std::string& text);

}  // namespace platform
}  // namespace veltor
