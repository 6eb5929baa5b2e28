// TCP sockets on POSIX systems (see platform/Socket.h): descriptors made
// non-blocking, waited on with poll(), names looked up with getaddrinfo_a.
#include "platform/Socket.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/Wait.h"

namespace veltor {
namespace platform {
namespace {

// ThreadSanitizer cannot follow the threads libc starts for itself (its
// allocator fails on them), so its builds look names up on a thread of their
// own. Such a build cannot be loaded by an uninstrumented host anyway.
#if defined(__SANITIZE_THREAD__)
#define VELTOR_LOOKUP_THREAD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELTOR_LOOKUP_THREAD 1
#endif
#endif
#ifndef VELTOR_LOOKUP_THREAD
#define VELTOR_LOOKUP_THREAD 0
#endif

// A name lookup handed to libc's own threads (getaddrinfo_a), which read
// the name, the service and the hints and write the request until they are
// done. No code of this library runs on them (libc notifies nobody:
// SIGEV_NONE), so unloading the library with a lookup under way leaves only
// libc's code running. A lookup given up at the bound is therefore not
// freed but kept in the process's list of abandoned lookups; a later lookup
// frees those that libc has finished. The list is a plain pointer, so that
// no destructor frees them when the library is unloaded.
struct NameLookup {
    std::string host;
    std::string service;
    addrinfo hints{};
    gaicb request{};
    NameLookup* next = nullptr;
#if VELTOR_LOOKUP_THREAD
    std::mutex lock;
    std::condition_variable done;
    int result = EAI_INPROGRESS;
#endif
};

#if VELTOR_LOOKUP_THREAD
bool BeginLookup(NameLookup* lookup) {
    try {
        const SignalsHeldOff held;
        std::thread([lookup] {
            addrinfo* found = nullptr;
            const int code = ::getaddrinfo(lookup->host.c_str(), lookup->service.c_str(),
                                           &lookup->hints, &found);
            std::lock_guard<std::mutex> hold(lookup->lock);
            lookup->request.ar_result = found;
            lookup->result = code;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

int LookupResult(NameLookup* lookup) {
    std::lock_guard<std::mutex> hold(lookup->lock);
    return lookup->result;
}

void AwaitLookup(NameLookup* lookup, long ms) {
    std::unique_lock<std::mutex> hold(lookup->lock);
    lookup->done.wait_for(hold, std::chrono::milliseconds(ms),
                          [lookup] { return lookup->result != EAI_INPROGRESS; });
}

bool WithdrawLookup(NameLookup*) {
    return false;
}
#else
bool BeginLookup(NameLookup* lookup) {
    gaicb* requests[1] = {&lookup->request};
    sigevent nobody{};
    nobody.sigev_notify = SIGEV_NONE;
    return ::getaddrinfo_a(GAI_NOWAIT, requests, 1, &nobody) == 0;
}

int LookupResult(NameLookup* lookup) {
    return ::gai_error(&lookup->request);
}

// Returns early for a signal as well; the caller looks again.
void AwaitLookup(NameLookup* lookup, long ms) {
    const gaicb* requests[1] = {&lookup->request};
    const timespec wait{ms / 1000, (ms % 1000) * 1000000L};
    ::gai_suspend(requests, 1, &wait);
}

// A request libc has not begun can be taken back, and freed at once.
bool WithdrawLookup(NameLookup* lookup) {
    return ::gai_cancel(&lookup->request) == EAI_CANCELED;
}
#endif

std::mutex g_AbandonedLock;
NameLookup* g_Abandoned = nullptr;

void FreeLookup(NameLookup* lookup) {
    if (LookupResult(lookup) == 0 && lookup->request.ar_result != nullptr) {
        ::freeaddrinfo(lookup->request.ar_result);
    }
    delete lookup;
}

void FreeFinishedLookups() {
    std::lock_guard<std::mutex> hold(g_AbandonedLock);
    NameLookup** link = &g_Abandoned;
    while (*link != nullptr) {
        NameLookup* lookup = *link;
        if (LookupResult(lookup) == EAI_INPROGRESS) {
            link = &lookup->next;
            continue;
        }
        *link = lookup->next;
        FreeLookup(lookup);
    }
}

void Abandon(NameLookup* lookup) {
    if (WithdrawLookup(lookup)) {
        FreeLookup(lookup);
        return;
    }
    std::lock_guard<std::mutex> hold(g_AbandonedLock);
    lookup->next = g_Abandoned;
    g_Abandoned = lookup;
}

}  // namespace

bool SocketsBegin(std::string&) {
    return true;
}

void SocketsEnd() {}

// A name (not a numeric address) is looked up asynchronously and waited for
// until the bound.
Lookup LookUp(const std::string& host, const std::string& service, long boundMs, Addresses*& found,
              std::string& reason) {
    found = nullptr;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* answer = nullptr;
    int result = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &answer);
    if (result == EAI_NONAME) {
        FreeFinishedLookups();
        std::unique_ptr<NameLookup> lookup(new NameLookup);
        lookup->host = host;
        lookup->service = service;
        lookup->hints = hints;
        lookup->hints.ai_flags = AI_NUMERICSERV;
        lookup->request.ar_name = lookup->host.c_str();
        lookup->request.ar_service = lookup->service.c_str();
        lookup->request.ar_request = &lookup->hints;
        if (!BeginLookup(lookup.get())) {
            return Lookup::CannotStart;
        }
        const long long deadline = NowMs() + boundMs;
        while ((result = LookupResult(lookup.get())) == EAI_INPROGRESS) {
            const long left = MillisecondsLeft(deadline);
            if (left <= 0) {
                break;
            }
            AwaitLookup(lookup.get(), left);
        }
        if (result == EAI_INPROGRESS) {
            Abandon(lookup.release());
            return Lookup::NoAnswer;
        }
        answer = lookup->request.ar_result;
        lookup->request.ar_result = nullptr;
    }
    if (result != 0) {
        reason = result == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(result);
        return Lookup::Failed;
    }
    found = reinterpret_cast<Addresses*>(answer);
    return Lookup::Found;
}

Socket StartConnect(const Address* address, int& error) {
    const addrinfo* a = reinterpret_cast<const addrinfo*>(address);
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
        error = errno;
        return kNoSocket;
    }
    error = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS || error == EINTR) {
        error = kInProgress;
    }
    return static_cast<Socket>(fd);
}

int FinishConnect(Socket socket, long timeoutMs) {
    const int fd = static_cast<int>(socket);
    const long long deadline = NowMs() + timeoutMs;
    int error = EINPROGRESS;
    while (error == EINPROGRESS || error == EINTR) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(MillisecondsLeft(deadline)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return kTimedOut;
        }
        socklen_t length = sizeof(error);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
    }
    return error;
}

// Keep-alive probes after 10 s of silence, 3 of them 5 s apart: a server
// that vanished shows as a lost port within half a minute.
void TuneSocket(Socket socket) {
    const int fd = static_cast<int>(socket);
    const int on = 1;
    const int idleS = 10;
    const int intervalS = 5;
    const int probes = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof(idleS));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof(intervalS));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
}

void CloseSocket(Socket socket) {
    if (socket != kNoSocket) {
        ::close(static_cast<int>(socket));
    }
}

std::string SocketMessage(int code) {
    return std::strerror(code);
}

// MSG_NOSIGNAL: a closed connection fails the send instead of raising
// SIGPIPE in the host's process.
Sent Send(Socket socket, const unsigned char* bytes, std::size_t count, std::size_t& sent) {
    for (;;) {
        const ssize_t n =
            ::send(static_cast<int>(socket), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent = static_cast<std::size_t>(n);
            return Sent::Some;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Sent::Full : Sent::Failed;
    }
}

bool AwaitWritable(Socket socket, long timeoutMs) {
    const long long deadline = NowMs() + timeoutMs;
    for (;;) {
        pollfd p{static_cast<int>(socket), POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(MillisecondsLeft(deadline)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    }
}

int AwaitReadable(Socket socket, long timeoutMs) {
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeoutMs));
    if (ready < 0) {
        return errno == EINTR ? 0 : -1;
    }
    return ready == 0 ? 0 : 1;
}

long Receive(Socket socket, unsigned char* buffer, std::size_t capacity) {
    return posix::ReadQueued(static_cast<int>(socket), buffer, capacity);
}

// The socket is polled like a terminal: nothing to make.
struct SocketWaits {
    int fd;
};

SocketWaits* OpenSocketWaits(Socket socket, std::string&) {
    return new SocketWaits{static_cast<int>(socket)};
}

void CloseSocketWaits(SocketWaits* waits) {
    delete waits;
}

Woken WaitSocket(SocketWaits* waits, Handle stopEvent, Handle asideEvent, bool withSocket,
                 bool hangUp, long timeoutMs) {
    return posix::WaitEventsOrFd(stopEvent, asideEvent, waits->fd, withSocket, hangUp, timeoutMs);
}

EventOrPort WaitEventOrSocket(Handle event, SocketWaits* waits, long timeoutMs) {
    return posix::WaitEventOrFd(event, waits->fd, timeoutMs);
}

}  // namespace platform
}  // namespace veltor
