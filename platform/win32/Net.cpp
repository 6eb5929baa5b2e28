// Network ports on Winsock: a TCP connection to a device server, raw or as
// Telnet with RFC 2217. The watcher waits on the socket's event (received
// bytes or the end of the connection) beside its stop event, as it waits on
// a COM port's events.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/win32/Win32.h"
#include "serial/NetAddress.h"
#include "serial/Rfc2217.h"
#include "serial/TelnetSender.h"

namespace veltor {
namespace platform {

struct NetPort {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT event = WSA_INVALID_EVENT;  // FD_READ and FD_CLOSE
    bool rfc2217 = false;
    // The end of the connection was reported (once only, by Winsock): the
    // watcher reads what is left, then finds the end. Watcher thread.
    bool closed = false;
    // Rfc2217 only: the session and the send hand-over between a write and
    // the reading side's answers (serial/TelnetSender.h). The session is read
    // under the receive lock.
    std::unique_ptr<TelnetSender> telnet;
};

namespace {

const long kResolveBoundMs = 5000;
const long kConnectBoundMs = 5000;
const long kNegotiateBoundMs = 3000;

// A plain buffer: a thread_local with a destructor is best kept out of a
// DLL built with mingw.
thread_local char t_Failure[512];

void SetFailure(const std::string& text) {
    std::snprintf(t_Failure, sizeof(t_Failure), "%s", text.c_str());
}

std::string Seconds(long ms) {
    return std::to_string(ms / 1000) + " s";
}

std::string SocketMessage(int code) {
    char text[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "socket error " + std::to_string(code) : message;
}

timeval Timeval(long ms) {
    timeval t;
    t.tv_sec = ms / 1000;
    t.tv_usec = (ms % 1000) * 1000;
    return t;
}

long long NowMs() {
    return static_cast<long long>(::GetTickCount64());
}

long MsLeft(long long deadline) {
    const long long left = deadline - NowMs();
    return left > 0 ? static_cast<long>(left) : 0;
}

// Waits at most timeoutMs until the socket can be written (or read); false
// on time-out or failure.
bool AwaitSocket(SOCKET s, bool forWriting, long timeoutMs) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval limit = Timeval(timeoutMs);
    const int n =
        ::select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, &failed, &limit);
    return n > 0 && FD_ISSET(s, &ready);
}

// One lookup, shared by the caller and the thread that makes it; the last
// of the two to let go frees it.
struct Lookup {
    std::string host;
    std::string service;
    addrinfo hints;
    HANDLE done = nullptr;  // manual reset, set when the answer is in
    int result = 0;
    addrinfo* addresses = nullptr;
    bool taken = false;  // the caller took the addresses
    HMODULE module = nullptr;
    LONG holders = 2;
};

void LetGo(Lookup* lookup) {
    if (::InterlockedDecrement(&lookup->holders) != 0) {
        return;
    }
    if (!lookup->taken && lookup->addresses != nullptr) {
        ::freeaddrinfo(lookup->addresses);
    }
    ::CloseHandle(lookup->done);
    delete lookup;
}

// The lookup thread. It may outlive the call that started it (getaddrinfo
// has no time-out), and meanwhile the caller may end Winsock and the host
// unload this library: so it holds a reference to the library's module and
// its own Winsock start, both taken for it before it starts, and ends
// through FreeLibraryAndExitThread, which drops the module without
// returning into it.
DWORD WINAPI LookUp(LPVOID argument) {
    Lookup* lookup = static_cast<Lookup*>(argument);
    const HMODULE module = lookup->module;
    lookup->result = ::getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &lookup->hints,
                                   &lookup->addresses);
    ::SetEvent(lookup->done);
    LetGo(lookup);
    ::WSACleanup();
    ::FreeLibraryAndExitThread(module, 0);
    return 0;
}

// Any object of this module: its address names the module.
const char kModuleAnchor = 0;

// The addresses of host and service, or null with the reason set.
// getaddrinfo has no time-out of its own: a name (not a numeric address)
// is looked up on a thread of its own (LookUp), which is left to finish
// alone, and free what it found, when the bound passes first.
addrinfo* Resolve(const NetAddress& address) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    int result = ::getaddrinfo(address.host.c_str(), address.service.c_str(), &hints, &found);
    if (result != 0) {
        const std::string cannotStart = "cannot start the name lookup of " + address.host;
        Lookup* lookup = new (std::nothrow) Lookup;
        if (lookup == nullptr) {
            SetFailure(cannotStart);
            return nullptr;
        }
        lookup->host = address.host;
        lookup->service = address.service;
        lookup->hints = hints;
        lookup->hints.ai_flags = 0;
        lookup->done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        WSADATA data;
        const bool moduleHeld =
            ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCWSTR>(&kModuleAnchor), &lookup->module) != 0;
        const bool winsockHeld = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        HANDLE thread = lookup->done != nullptr && moduleHeld && winsockHeld
                            ? ::CreateThread(nullptr, 0, &LookUp, lookup, 0, nullptr)
                            : nullptr;
        if (thread == nullptr) {
            if (winsockHeld) {
                ::WSACleanup();
            }
            if (moduleHeld) {
                ::FreeLibrary(lookup->module);
            }
            if (lookup->done != nullptr) {
                ::CloseHandle(lookup->done);
            }
            delete lookup;
            SetFailure(cannotStart);
            return nullptr;
        }
        ::CloseHandle(thread);
        const bool answered =
            ::WaitForSingleObject(lookup->done, static_cast<DWORD>(kResolveBoundMs)) ==
            WAIT_OBJECT_0;
        if (answered) {
            result = lookup->result;
            found = lookup->addresses;
            lookup->taken = true;
        }
        LetGo(lookup);
        if (!answered) {
            SetFailure("cannot resolve the host name " + address.host + ": no answer within " +
                       Seconds(kResolveBoundMs));
            return nullptr;
        }
    }
    if (result != 0) {
        SetFailure("cannot resolve the host name " + address.host + ": " + SocketMessage(result));
        return nullptr;
    }
    return found;
}

// A connected socket to the first address that takes the connection within
// the bound, or INVALID_SOCKET with the reason set.
SOCKET Connect(const NetAddress& address, addrinfo* addresses) {
    const long long deadline = NowMs() + kConnectBoundMs;
    std::string reason = "no address";
    for (addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            reason = SocketMessage(::WSAGetLastError());
            continue;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        int error = 0;
        if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            error = ::WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                fd_set writable;
                fd_set failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(s, &writable);
                FD_SET(s, &failed);
                timeval limit = Timeval(MsLeft(deadline));
                const int n = ::select(0, nullptr, &writable, &failed, &limit);
                if (n == 0) {
                    error = WSAETIMEDOUT;
                } else if (n < 0) {
                    error = ::WSAGetLastError();
                } else {
                    int length = sizeof(error);
                    error = 0;
                    ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
                    if (error == 0 && FD_ISSET(s, &failed)) {
                        error = WSAECONNREFUSED;
                    }
                }
            }
        }
        if (error == 0) {
            // A request is one small write: no waiting to fill a segment.
            const BOOL on = TRUE;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                         sizeof(on));
            ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                         sizeof(on));
            return s;
        }
        ::closesocket(s);
        reason = error == WSAETIMEDOUT ? "no answer within " + Seconds(kConnectBoundMs)
                                       : SocketMessage(error);
        if (MsLeft(deadline) == 0) {
            break;
        }
    }
    SetFailure("cannot connect to " + address.host + " port " + address.service + ": " + reason);
    return INVALID_SOCKET;
}

// Sends bytes, waiting for room while the socket's queue is full, but not
// beyond the deadline. Returns how many went out: all of them, or fewer when
// the connection failed or the time passed.
std::size_t SendUntil(SOCKET s, const unsigned char* bytes, std::size_t count, long long deadline) {
    std::size_t done = 0;
    while (done < count) {
        const int sent = ::send(s, reinterpret_cast<const char*>(bytes + done),
                                static_cast<int>(count - done), 0);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK &&
            AwaitSocket(s, true, MsLeft(deadline))) {
            continue;
        }
        break;
    }
    return done;
}

bool SendAll(SOCKET s, const unsigned char* bytes, std::size_t count, long timeoutMs) {
    return SendUntil(s, bytes, count, NowMs() + (timeoutMs < 0 ? 0 : timeoutMs)) == count;
}

// What waits on the socket: the number of bytes read, 0 when none wait, -1
// when the connection ended or failed.
long ReadQueued(SOCKET s, unsigned char* buffer, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    const int got = ::recv(s, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (got > 0) {
        return got;
    }
    if (got == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    return -1;
}

class SocketLink : public Rfc2217Link {
public:
    explicit SocketLink(SOCKET s) : m_Socket(s) {}
    bool Send(const unsigned char* bytes, std::size_t count, long timeoutMs) override {
        return SendAll(m_Socket, bytes, count, timeoutMs);
    }
    long Receive(unsigned char* bytes, std::size_t capacity, long timeoutMs) override {
        return AwaitSocket(m_Socket, false, timeoutMs) ? ReadQueued(m_Socket, bytes, capacity) : 0;
    }

private:
    SOCKET m_Socket;
};

// A Telnet connection's socket for its sender (serial/TelnetSender.h). The
// socket does not block.
class SocketSends : public TelnetSocket {
public:
    explicit SocketSends(SOCKET s) : m_Socket(s) {}
    Sent SendNow(const unsigned char* bytes, std::size_t count, std::size_t& sent) override {
        const int n =
            ::send(m_Socket, reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
        if (n > 0) {
            sent = static_cast<std::size_t>(n);
            return Sent::Some;
        }
        return n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK ? Sent::Full
                                                                          : Sent::Failed;
    }
    bool AwaitRoom(long long deadlineMs) override {
        return AwaitSocket(m_Socket, true, MsLeft(deadlineMs));
    }
    std::size_t SendUntil(const unsigned char* bytes, std::size_t count,
                          long long deadlineMs) override {
        return platform::SendUntil(m_Socket, bytes, count, deadlineMs);
    }

private:
    SOCKET m_Socket;
};

}  // namespace

NetPort* AsNetPort(Handle h) {
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(h);
    return IsHeld(h) && (value & 3) == 1 ? reinterpret_cast<NetPort*>(value & ~std::uintptr_t(3))
                                         : nullptr;
}

const char* NetFailure() {
    return t_Failure;
}

void ClearNetFailure() {
    t_Failure[0] = '\0';
}

void OpenNetPortFailure(const std::string& text) {
    SetFailure(text);
}

Handle OpenNetPort(const char* name) {
    std::string malformed;
    const NetAddress address = ParseNetAddress(name, malformed);
    WSADATA data;
    const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        SetFailure("cannot start Winsock: " + SocketMessage(started));
        return nullptr;
    }
    NetPort* port = new (std::nothrow) NetPort;
    addrinfo* addresses = port != nullptr ? Resolve(address) : nullptr;
    if (addresses != nullptr) {
        port->socket = Connect(address, addresses);
        ::freeaddrinfo(addresses);
    }
    if (port == nullptr || port->socket == INVALID_SOCKET) {
        delete port;
        ::WSACleanup();
        return nullptr;
    }
    port->event = ::WSACreateEvent();
    if (port->event == WSA_INVALID_EVENT ||
        ::WSAEventSelect(port->socket, port->event, FD_READ | FD_CLOSE) != 0) {
        SetFailure("cannot watch the connection: " + SocketMessage(::WSAGetLastError()));
        NetClose(port);
        return nullptr;
    }
    port->rfc2217 = address.link == NetLink::Rfc2217;
    if (port->rfc2217) {
        port->telnet.reset(new TelnetSender);
        port->telnet->Session().Start();
        SocketLink link(port->socket);
        const std::string failure = NegotiateRfc2217(
            port->telnet->Session(), Rfc2217Session::State::Agreed, link, kNegotiateBoundMs);
        if (!failure.empty()) {
            SetFailure(failure);
            NetClose(port);
            return nullptr;
        }
    }
    return reinterpret_cast<Handle>(reinterpret_cast<std::uintptr_t>(port) | 1);
}

int NetConfigure(NetPort* port, long baud) {
    if (!port->rfc2217) {
        return 0;
    }
    port->telnet->Session().Configure(baud);
    SocketLink link(port->socket);
    const std::string failure = NegotiateRfc2217(
        port->telnet->Session(), Rfc2217Session::State::Ready, link, kNegotiateBoundMs);
    if (!failure.empty()) {
        SetFailure(failure);
        return -4;
    }
    return 0;
}

void NetPurgeInput(NetPort* port) {
    unsigned char discarded[4096];
    for (int reads = 0; reads < 64; ++reads) {
        if (NetRead(port, discarded, sizeof(discarded)) <= 0) {
            break;
        }
    }
    if (port->rfc2217) {
        SocketSends socket(port->socket);
        port->telnet->PurgeServerInput(socket);
    }
}

bool NetWrite(NetPort* port, const unsigned char* bytes, int count, long timeoutMs) {
    if (!port->rfc2217) {
        return SendAll(port->socket, bytes, static_cast<std::size_t>(count), timeoutMs);
    }
    SocketSends socket(port->socket);
    return port->telnet->Write(socket, bytes, static_cast<std::size_t>(count),
                               NowMs() + (timeoutMs < 0 ? 0 : timeoutMs));
}

long NetRead(NetPort* port, unsigned char* buffer, std::size_t capacity) {
    const long got = ReadQueued(port->socket, buffer, capacity);
    if (got <= 0 || !port->rfc2217) {
        return got;
    }
    SocketSends socket(port->socket);
    return static_cast<long>(port->telnet->Receive(socket, buffer, static_cast<std::size_t>(got)));
}

WatchEvent NetWait(NetPort* port, HANDLE stopEvent) {
    if (port->closed) {
        return WatchEvent::Received;
    }
    const HANDLE waitList[2] = {stopEvent, port->event};
    for (;;) {
        const DWORD woken = ::WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            return WatchEvent::Stop;
        }
        if (woken != WAIT_OBJECT_0 + 1) {
            return WatchEvent::Failed;
        }
        // Resets the event. FD_READ is reported again after a read that
        // leaves bytes behind; FD_CLOSE only once.
        WSANETWORKEVENTS events;
        if (::WSAEnumNetworkEvents(port->socket, port->event, &events) != 0) {
            return WatchEvent::Failed;
        }
        if ((events.lNetworkEvents & FD_CLOSE) != 0) {
            port->closed = true;
            return WatchEvent::Received;
        }
        if ((events.lNetworkEvents & FD_READ) != 0) {
            return WatchEvent::Received;
        }
    }
}

void NetClose(NetPort* port) {
    if (port->socket != INVALID_SOCKET) {
        ::closesocket(port->socket);
    }
    if (port->event != WSA_INVALID_EVENT) {
        ::WSACloseEvent(port->event);
    }
    delete port;
    ::WSACleanup();
}

}  // namespace platform
}  // namespace veltor
