// TCP sockets: the system calls under a network link (serial/link/TcpLink),
// the same on every system. What the link does with them (which address to
// try, how long to wait, what to call a failure) is the link's; only the
// calls differ per system (platform/posix/Socket.cpp, platform/win32/Socket.cpp),
// and the address list is getaddrinfo's on every system (platform/AddressList.cpp).
// Every call is made by one thread at a time per socket, except Send and
// AwaitWritable, which the writer and the reading side of a Telnet session
// make under its send lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace veltor {
namespace platform {

// The system's socket (a descriptor, a SOCKET), or kNoSocket.
typedef std::uintptr_t Socket;
const Socket kNoSocket = ~static_cast<Socket>(0);

// Makes sockets usable for one user (Winsock's start; nothing elsewhere).
// False with the reason in `failure`. Each true is matched by SocketsEnd.
bool SocketsBegin(std::string& failure);
void SocketsEnd();

// ---- Name lookup ------------------------------------------------------------------
// The system's list of addresses of a host and service, for a stream socket.
struct Addresses;
// One address of such a list.
struct Address;
enum class Lookup {
    Found,        // `found` holds the addresses
    CannotStart,  // a name lookup could not be started
    NoAnswer,     // the name was not answered within the bound
    Failed,       // the resolver's answer: `reason` says it
};
// A numeric address at once; a name is looked up on the side and waited for
// until boundMs (getaddrinfo has no time-out of its own). A lookup that
// outlives its bound is left to finish alone and free what it found; the
// library may be unloaded meanwhile. Blocks at most boundMs; any thread.
Lookup LookUp(const std::string& host, const std::string& service, long boundMs, Addresses*& found,
              std::string& reason);
void FreeAddresses(Addresses* addresses);
const Address* FirstAddress(const Addresses* addresses);
const Address* NextAddress(const Address* address);

// ---- Connecting ---------------------------------------------------------------------
const int kInProgress = -1;  // a connection under way (a code no system uses)
const int kTimedOut = -2;    // a wait that ran out (a code no system uses)
// Makes a non-blocking socket and starts connecting it to the address.
// `error`: 0 (connected), kInProgress, or the system's code. kNoSocket when
// no socket could be made (`error` says why).
Socket StartConnect(const Address* address, int& error);
// Waits at most timeoutMs for a connection under way: 0 (connected),
// kTimedOut, or the system's code.
int FinishConnect(Socket socket, long timeoutMs);
// Sets a connected socket up for short exchanges: no waiting to fill a
// segment (a request is one small write), and keep-alive probes so that a
// server that vanished without closing shows as a lost port.
void TuneSocket(Socket socket);
void CloseSocket(Socket socket);
// The system's words for a code of these calls.
std::string SocketMessage(int code);

// ---- Sending and receiving ------------------------------------------------------------
enum class Sent {
    Some,    // at least one byte went out
    Full,    // the socket has no room now
    Failed,  // the connection failed
};
// Never blocks: sends what the socket has room for of the first `count`
// (> 0) bytes and sets `sent` to it. Full or Failed when none went out. A
// closed connection fails the send; it never raises a signal.
Sent Send(Socket socket, const unsigned char* bytes, std::size_t count, std::size_t& sent);
// Waits at most timeoutMs until the socket has room: false when the time
// passed or the connection failed.
bool AwaitWritable(Socket socket, long timeoutMs);
// Waits at most timeoutMs for bytes (or the end) on the socket: 1 when
// there are, 0 when none came in time, -1 when the wait failed.
int AwaitReadable(Socket socket, long timeoutMs);
// Reads at most capacity of what waits on the socket: the number read, 0
// when none wait, -1 when the connection ended or failed.
long Receive(Socket socket, unsigned char* buffer, std::size_t capacity);

// ---- The waits on a connected socket ---------------------------------------------------
// What the watcher and the exchange wait on for a socket, made once it is
// connected (Winsock: an event for received bytes and the end of the
// connection). Null, with the reason in `failure`, when it cannot be made.
struct SocketWaits;
SocketWaits* OpenSocketWaits(Socket socket, std::string& failure);
void CloseSocketWaits(SocketWaits* waits);
// The watcher's wait: the stop event, the aside event (may be null), or,
// with withSocket, bytes or the end of the connection on the socket (Ready:
// the end is reported as Ready until a read finds it); without it but with
// hangUp, the end alone (HungUp). timeoutMs below 0: no limit. Watcher
// thread.
Woken WaitSocket(SocketWaits* waits, Handle stopEvent, Handle asideEvent, bool withSocket,
                 bool hangUp, long timeoutMs);
// The exchange's wait: its event, or (where the exchange may wait on the
// port itself, see link::PortWaitable) bytes or the end on the socket.
EventOrPort WaitEventOrSocket(Handle event, SocketWaits* waits, long timeoutMs);

}  // namespace platform
}  // namespace veltor
