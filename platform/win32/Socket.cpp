// TCP sockets on Winsock (see platform/Socket.h). The watcher waits on the
// socket's event (received bytes or the end of the connection) beside its
// stop event, as it waits on a COM port's events.
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/win32/Win32.h"

namespace veltor {
namespace platform {

namespace {

timeval Timeval(long ms) {
    timeval t;
    t.tv_sec = ms / 1000;
    t.tv_usec = (ms % 1000) * 1000;
    return t;
}

// What select found on one socket within timeoutMs.
struct Selected {
    int count;    // select's: 0 on time-out, below 0 on failure
    bool ready;   // it can be written (or read)
    bool failed;  // it reported a failure (a refused connection)
};

Selected SelectSocket(SOCKET s, bool forWriting, long timeoutMs) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval limit = Timeval(timeoutMs);
    const int n =
        ::select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, &failed, &limit);
    return Selected{n, n > 0 && FD_ISSET(s, &ready), n > 0 && FD_ISSET(s, &failed)};
}

SOCKET Native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

// One lookup, shared by the caller and the thread that makes it; the last
// of the two to let go frees it.
struct NameLookup {
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

void LetGo(NameLookup* lookup) {
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
DWORD WINAPI LookUpThread(LPVOID argument) {
    NameLookup* lookup = static_cast<NameLookup*>(argument);
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

}  // namespace

bool SocketsBegin(std::string& failure) {
    WSADATA data;
    const int started = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        failure = "cannot start Winsock: " + SocketMessage(started);
        return false;
    }
    return true;
}

void SocketsEnd() {
    ::WSACleanup();
}

// A name (not a numeric address) is looked up on a thread of its own
// (LookUpThread), which is left to finish alone, and free what it found, when the
// bound passes first.
Lookup LookUp(const std::string& host, const std::string& service, long boundMs, Addresses*& found,
              std::string& reason) {
    found = nullptr;
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* answer = nullptr;
    int result = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &answer);
    if (result != 0) {
        NameLookup* lookup = new (std::nothrow) NameLookup;
        if (lookup == nullptr) {
            return platform::Lookup::CannotStart;
        }
        lookup->host = host;
        lookup->service = service;
        lookup->hints = hints;
        lookup->hints.ai_flags = 0;
        lookup->done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        WSADATA data;
        const bool moduleHeld =
            ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCWSTR>(&kModuleAnchor), &lookup->module) != 0;
        const bool winsockHeld = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        HANDLE thread = lookup->done != nullptr && moduleHeld && winsockHeld
                            ? ::CreateThread(nullptr, 0, &LookUpThread, lookup, 0, nullptr)
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
            return platform::Lookup::CannotStart;
        }
        ::CloseHandle(thread);
        const bool answered =
            ::WaitForSingleObject(lookup->done, static_cast<DWORD>(boundMs)) == WAIT_OBJECT_0;
        if (answered) {
            result = lookup->result;
            answer = lookup->addresses;
            lookup->taken = true;
        }
        LetGo(lookup);
        if (!answered) {
            return platform::Lookup::NoAnswer;
        }
    }
    if (result != 0) {
        reason = SocketMessage(result);
        return platform::Lookup::Failed;
    }
    found = reinterpret_cast<Addresses*>(answer);
    return platform::Lookup::Found;
}

Socket StartConnect(const Address* address, int& error) {
    const addrinfo* a = reinterpret_cast<const addrinfo*>(address);
    const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
        error = ::WSAGetLastError();
        return kNoSocket;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    error = 0;
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            error = kInProgress;
        }
    }
    return static_cast<Socket>(s);
}

int FinishConnect(Socket socket, long timeoutMs) {
    const SOCKET s = Native(socket);
    const Selected selected = SelectSocket(s, true, timeoutMs);
    if (selected.count == 0) {
        return kTimedOut;
    }
    if (selected.count < 0) {
        return ::WSAGetLastError();
    }
    int error = 0;
    int length = sizeof(error);
    ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (error == 0 && selected.failed) {
        error = WSAECONNREFUSED;
    }
    return error;
}

void TuneSocket(Socket socket) {
    const BOOL on = TRUE;
    ::setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof(on));
    ::setsockopt(Native(socket), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                 sizeof(on));
}

void CloseSocket(Socket socket) {
    if (socket != kNoSocket) {
        ::closesocket(Native(socket));
    }
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

Sent Send(Socket socket, const unsigned char* bytes, std::size_t count, std::size_t& sent) {
    const int n =
        ::send(Native(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
    if (n > 0) {
        sent = static_cast<std::size_t>(n);
        return Sent::Some;
    }
    return n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK ? Sent::Full : Sent::Failed;
}

bool AwaitWritable(Socket socket, long timeoutMs) {
    return SelectSocket(Native(socket), true, timeoutMs).ready;
}

int AwaitReadable(Socket socket, long timeoutMs) {
    return SelectSocket(Native(socket), false, timeoutMs).ready ? 1 : 0;
}

long Receive(Socket socket, unsigned char* buffer, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    const int got =
        ::recv(Native(socket), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (got > 0) {
        return got;
    }
    if (got == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    return -1;
}

struct SocketWaits {
    SOCKET socket;
    WSAEVENT event;  // FD_READ and FD_CLOSE
    // The end of the connection was reported (once only, by Winsock): the
    // watcher reads what is left, then finds the end. Watcher thread.
    bool closed;
};

SocketWaits* OpenSocketWaits(Socket socket, std::string& failure) {
    SocketWaits* waits = new (std::nothrow) SocketWaits{Native(socket), WSA_INVALID_EVENT, false};
    if (waits == nullptr) {
        failure = "cannot watch the connection: out of memory";
        return nullptr;
    }
    waits->event = ::WSACreateEvent();
    if (waits->event == WSA_INVALID_EVENT ||
        ::WSAEventSelect(waits->socket, waits->event, FD_READ | FD_CLOSE) != 0) {
        failure = "cannot watch the connection: " + SocketMessage(::WSAGetLastError());
        CloseSocketWaits(waits);
        return nullptr;
    }
    return waits;
}

void CloseSocketWaits(SocketWaits* waits) {
    if (waits != nullptr && waits->event != WSA_INVALID_EVENT) {
        ::WSACloseEvent(waits->event);
    }
    delete waits;
}

// The exchange never waits on the socket here (see link::PortWaitable): the
// watcher waits on it always and without a limit, and takes no aside event.
Woken WaitSocket(SocketWaits* waits, Handle stopEvent, Handle, bool, bool, long) {
    if (waits->closed) {
        return Woken::Ready;
    }
    const HANDLE waitList[2] = {ToWin32(stopEvent), waits->event};
    for (;;) {
        const DWORD woken = ::WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            return Woken::Stop;
        }
        if (woken != WAIT_OBJECT_0 + 1) {
            return Woken::Failed;
        }
        // Resets the event. FD_READ is reported again after a read that
        // leaves bytes behind; FD_CLOSE only once.
        WSANETWORKEVENTS events;
        if (::WSAEnumNetworkEvents(waits->socket, waits->event, &events) != 0) {
            return Woken::Failed;
        }
        if ((events.lNetworkEvents & FD_CLOSE) != 0) {
            waits->closed = true;
            return Woken::Ready;
        }
        if ((events.lNetworkEvents & FD_READ) != 0) {
            return Woken::Ready;
        }
    }
}

EventOrPort WaitEventOrSocket(Handle event, SocketWaits*, long timeoutMs) {
    return WaitEventAlone(event, timeoutMs);
}

}  // namespace platform
}  // namespace veltor
