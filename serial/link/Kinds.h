// The kinds of link, as Open (Link.cpp) makes them: each returns a new
// link, or null with the reason for platform::LastError.
#pragma once

#include "serial/NetAddress.h"
#include "serial/link/Link.h"

namespace veltor {
namespace link {

// The system's serial port: a terminal (posix/TermiosLink.cpp) or a COM
// port (win32/ComLink.cpp).
Link* OpenSerialPort(const char* name);
// A TCP connection to a device server (TcpLink.cpp).
Link* OpenTcp(const NetAddress& address);
// A Telnet session with RFC 2217 over a TCP connection (TelnetLink.cpp).
Link* OpenRfc2217(const NetAddress& address);

}  // namespace link
}  // namespace veltor
