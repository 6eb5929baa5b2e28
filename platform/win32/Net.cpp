// Network ports on Winsock: a TCP connection to a device server, raw or as
// Telnet with RFC 2217. The watcher waits on the socket's event (received
// bytes or the end of the connection) beside its stop event, as it waits on
// a COM port's events.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/win32/Win32.h"
#include "serial/NetAddress.h"
#include "serial/Rfc2217.h"

namespace veltor {
namespace platform {

struct NetPort {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT event = WSA_INVALID_EVENT;  // FD_READ and FD_CLOSE
    bool rfc2217 = false;
    // The end of the connection was reported (once only, by Winsock): the
    // watcher reads what is left, then finds the end. Watcher thread.
    bool closed = false;
    // Rfc2217 only: the session is read under the receive lock; its answers
    // to the server wait in `replies` for the next write, so that only the
    // writing thread ever sends.
    std::unique_ptr<Rfc2217Session> telnet;
    std::mutex repliesLock;
    std::vector<unsigned char> replies;
    std::vector<unsigned char> escaped;  // the writing thread's buffer
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

struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int result = 0;
    addrinfo* addresses = nullptr;
};

// The addresses of host and service, or null with the reason set.
// getaddrinfo has no time-out of its own: a name (not a numeric address)
// is looked up on a thread of its own, which is left to finish alone, and
// free what it found, when the bound passes first.
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
        auto lookup = std::make_shared<Lookup>();
        hints.ai_flags = 0;
        try {
            std::thread([lookup, hints, host = address.host, service = address.service] {
                addrinfo* addresses = nullptr;
                const int code = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
                std::lock_guard<std::mutex> hold(lookup->lock);
                if (lookup->abandoned) {
                    if (code == 0) {
                        ::freeaddrinfo(addresses);
                    }
                    return;
                }
                lookup->result = code;
                lookup->addresses = addresses;
                lookup->finished = true;
                lookup->done.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            SetFailure("cannot start the name lookup of " + address.host);
            return nullptr;
        }
        std::unique_lock<std::mutex> hold(lookup->lock);
        if (!lookup->done.wait_for(hold, std::chrono::milliseconds(kResolveBoundMs),
                                   [&] { return lookup->finished; })) {
            lookup->abandoned = true;
            SetFailure("cannot resolve the host name " + address.host + ": no answer within " +
                       Seconds(kResolveBoundMs));
            return nullptr;
        }
        result = lookup->result;
        found = lookup->addresses;
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

// Sends all bytes, waiting for room while the socket's queue is full, but
// not beyond the bound.
bool SendAll(SOCKET s, const unsigned char* bytes, std::size_t count, long timeoutMs) {
    const long long deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
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
        return false;
    }
    return true;
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
    bool Send(const unsigned char* bytes, std::size_t count) override {
        return SendAll(m_Socket, bytes, count, kNegotiateBoundMs);
    }
    long Receive(unsigned char* bytes, std::size_t capacity, long timeoutMs) override {
        return AwaitSocket(m_Socket, false, timeoutMs) ? ReadQueued(m_Socket, bytes, capacity) : 0;
    }

private:
    SOCKET m_Socket;
};

void QueueReplies(NetPort* port) {
    std::vector<unsigned char>& outgoing = port->telnet->Outgoing();
    if (outgoing.empty()) {
        return;
    }
    std::lock_guard<std::mutex> hold(port->repliesLock);
    port->replies.insert(port->replies.end(), outgoing.begin(), outgoing.end());
    outgoing.clear();
}

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
        port->telnet.reset(new Rfc2217Session);
        port->telnet->Start();
        SocketLink link(port->socket);
        const std::string failure =
            NegotiateRfc2217(*port->telnet, Rfc2217Session::State::Agreed, link, kNegotiateBoundMs);
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
    port->telnet->Configure(baud);
    SocketLink link(port->socket);
    const std::string failure =
        NegotiateRfc2217(*port->telnet, Rfc2217Session::State::Ready, link, kNegotiateBoundMs);
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
        port->telnet->PurgeServerInput();
        QueueReplies(port);
    }
}

bool NetWrite(NetPort* port, const unsigned char* bytes, int count, long timeoutMs) {
    if (!port->rfc2217) {
        return SendAll(port->socket, bytes, static_cast<std::size_t>(count), timeoutMs);
    }
    // The answers queued by the reading threads go first, then the data with
    // 0xFF doubled, all from this one thread: no Telnet command can land
    // inside another, however the sends are cut.
    std::vector<unsigned char>& escaped = port->escaped;
    escaped.clear();
    {
        std::lock_guard<std::mutex> hold(port->repliesLock);
        escaped.swap(port->replies);
    }
    Rfc2217Session::EscapeData(bytes, static_cast<std::size_t>(count), escaped);
    return SendAll(port->socket, escaped.data(), escaped.size(), timeoutMs);
}

long NetRead(NetPort* port, unsigned char* buffer, std::size_t capacity) {
    const long got = ReadQueued(port->socket, buffer, capacity);
    if (got <= 0 || !port->rfc2217) {
        return got;
    }
    const long data =
        static_cast<long>(port->telnet->Receive(buffer, static_cast<std::size_t>(got)));
    QueueReplies(port);
    return data;
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
