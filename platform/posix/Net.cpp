// Network ports: a TCP connection to a device server that holds the
// instrument's serial line, raw or as Telnet with RFC 2217. Once connected
// the socket is polled and read like a terminal (Port.cpp); only its
// opening, its writes and a Telnet connection's reads differ.
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

#include "platform/posix/Handles.h"
#include "serial/NetAddress.h"
#include "serial/Rfc2217.h"
#include "serial/TelnetSender.h"

namespace veltor {
namespace platform {
namespace posix {

namespace {

const long kResolveBoundMs = 5000;
const long kConnectBoundMs = 5000;
const long kNegotiateBoundMs = 3000;

std::string Seconds(long ms) {
    return std::to_string(ms / 1000) + " s";
}

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

// The addresses of host and service, or null with the reason in t_Failure.
// getaddrinfo has no time-out of its own: a name (not a numeric address) is
// looked up asynchronously and waited for until the bound.
addrinfo* Resolve(const NetAddress& address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int result = ::getaddrinfo(address.host.c_str(), address.service.c_str(), &hints, &found);
    if (result == EAI_NONAME) {
        FreeFinishedLookups();
        std::unique_ptr<NameLookup> lookup(new NameLookup);
        lookup->host = address.host;
        lookup->service = address.service;
        lookup->hints = hints;
        lookup->hints.ai_flags = AI_NUMERICSERV;
        lookup->request.ar_name = lookup->host.c_str();
        lookup->request.ar_service = lookup->service.c_str();
        lookup->request.ar_request = &lookup->hints;
        if (!BeginLookup(lookup.get())) {
            t_Failure = "cannot start the name lookup of " + address.host;
            return nullptr;
        }
        const long long deadline = NowMs() + kResolveBoundMs;
        while ((result = LookupResult(lookup.get())) == EAI_INPROGRESS) {
            const long left = MillisecondsLeft(deadline);
            if (left <= 0) {
                break;
            }
            AwaitLookup(lookup.get(), left);
        }
        if (result == EAI_INPROGRESS) {
            Abandon(lookup.release());
            t_Failure = "cannot resolve the host name " + address.host + ": no answer within " +
                        Seconds(kResolveBoundMs);
            return nullptr;
        }
        found = lookup->request.ar_result;
        lookup->request.ar_result = nullptr;
    }
    if (result != 0) {
        t_Failure = "cannot resolve the host name " + address.host + ": " +
                    (result == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(result));
        return nullptr;
    }
    return found;
}

// Sets the connection up for short exchanges: no waiting to fill a segment
// (a request is one small write), and keep-alive probes so that a server
// that vanished without closing shows as a lost port within half a minute.
void TuneSocket(int fd) {
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

// A connected non-blocking socket to the first address that takes the
// connection within the bound, or -1 with the reason in t_Failure.
int Connect(const NetAddress& address, addrinfo* addresses) {
    const long long deadline = NowMs() + kConnectBoundMs;
    std::string reason = "no address";
    for (addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int error = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        while (error == EINPROGRESS || error == EINTR) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(MillisecondsLeft(deadline)));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                error = ETIMEDOUT;
                break;
            }
            socklen_t length = sizeof(error);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
        }
        if (error == 0) {
            TuneSocket(fd);
            return fd;
        }
        ::close(fd);
        reason = error == ETIMEDOUT ? "no answer within " + Seconds(kConnectBoundMs)
                                    : std::strerror(error);
        if (MillisecondsLeft(deadline) == 0) {
            break;
        }
    }
    t_Failure = "cannot connect to " + address.host + " port " + address.service + ": " + reason;
    return -1;
}

// Waits until the socket has room, but not beyond the deadline; false when
// the time passed or the connection failed.
bool AwaitWritable(int fd, long long deadline) {
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(MillisecondsLeft(deadline)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    }
}

// Sends bytes, waiting for room while the socket's queue is full, but not
// beyond the deadline. Returns how many went out: all of them, or fewer when
// the connection failed or the time passed. MSG_NOSIGNAL: a closed
// connection fails the send instead of raising SIGPIPE in the host's
// process.
std::size_t SendUntil(int fd, const unsigned char* bytes, std::size_t count, long long deadline) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t sent = ::send(fd, bytes + done, count - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        if (!AwaitWritable(fd, deadline)) {
            break;
        }
    }
    return done;
}

bool SendAll(int fd, const unsigned char* bytes, std::size_t count, long timeoutMs) {
    return SendUntil(fd, bytes, count, NowMs() + (timeoutMs < 0 ? 0 : timeoutMs)) == count;
}

// The socket under a Telnet negotiation, before the watcher runs.
class SocketLink : public Rfc2217Link {
public:
    explicit SocketLink(int fd) : m_Fd(fd) {}
    bool Send(const unsigned char* bytes, std::size_t count, long timeoutMs) override {
        return SendAll(m_Fd, bytes, count, timeoutMs);
    }
    long Receive(unsigned char* bytes, std::size_t capacity, long timeoutMs) override {
        pollfd p{m_Fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(timeoutMs));
        if (ready < 0) {
            return errno == EINTR ? 0 : -1;
        }
        return ready == 0 ? 0 : ReadQueued(m_Fd, bytes, capacity);
    }

private:
    int m_Fd;
};

// A Telnet connection's socket for its sender (serial/TelnetSender.h).
class SocketSends : public TelnetSocket {
public:
    explicit SocketSends(int fd) : m_Fd(fd) {}
    Sent SendNow(const unsigned char* bytes, std::size_t count, std::size_t& sent) override {
        for (;;) {
            const ssize_t n = ::send(m_Fd, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
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
    bool AwaitRoom(long long deadlineMs) override { return AwaitWritable(m_Fd, deadlineMs); }
    std::size_t SendUntil(const unsigned char* bytes, std::size_t count,
                          long long deadlineMs) override {
        return posix::SendUntil(m_Fd, bytes, count, deadlineMs);
    }

private:
    int m_Fd;
};

}  // namespace

Handle OpenNetPort(const char* name) {
    std::string malformed;
    const NetAddress address = ParseNetAddress(name, malformed);
    addrinfo* addresses = Resolve(address);
    if (addresses == nullptr) {
        return nullptr;
    }
    const int fd = Connect(address, addresses);
    ::freeaddrinfo(addresses);
    if (fd < 0) {
        return nullptr;
    }
    auto* port = new Port;
    port->fd = fd;
    port->link = address.link == NetLink::Rfc2217 ? Port::Link::Rfc2217 : Port::Link::Tcp;
    if (port->link == Port::Link::Rfc2217) {
        port->telnet.reset(new TelnetSender);
        port->telnet->Session().Start();
        SocketLink link(fd);
        const std::string failure = NegotiateRfc2217(
            port->telnet->Session(), Rfc2217Session::State::Agreed, link, kNegotiateBoundMs);
        if (!failure.empty()) {
            t_Failure = failure;
            delete port;
            return nullptr;
        }
    }
    return ToHandle(port);
}

int NetConfigure(Port* port, long baud) {
    if (port->link != Port::Link::Rfc2217) {
        return 0;
    }
    port->telnet->Session().Configure(baud);
    SocketLink link(port->fd);
    const std::string failure = NegotiateRfc2217(
        port->telnet->Session(), Rfc2217Session::State::Ready, link, kNegotiateBoundMs);
    if (!failure.empty()) {
        t_Failure = failure;
        return -4;
    }
    return 0;
}

void NetPurgeInput(Port* port) {
    unsigned char discarded[4096];
    for (int reads = 0; reads < 64; ++reads) {
        const long got = port->link == Port::Link::Rfc2217
                             ? NetRead(port, discarded, sizeof(discarded))
                             : ReadQueued(port->fd, discarded, sizeof(discarded));
        if (got <= 0) {
            break;
        }
    }
    if (port->link == Port::Link::Rfc2217) {
        SocketSends socket(port->fd);
        port->telnet->PurgeServerInput(socket);
    }
}

bool NetWrite(Port* port, const unsigned char* bytes, int count, long timeoutMs) {
    if (port->link != Port::Link::Rfc2217) {
        return SendAll(port->fd, bytes, static_cast<std::size_t>(count), timeoutMs);
    }
    SocketSends socket(port->fd);
    return port->telnet->Write(socket, bytes, static_cast<std::size_t>(count),
                               NowMs() + (timeoutMs < 0 ? 0 : timeoutMs));
}

long NetRead(Port* port, unsigned char* buffer, std::size_t capacity) {
    const long got = ReadQueued(port->fd, buffer, capacity);
    if (got <= 0 || port->link != Port::Link::Rfc2217) {
        return got;
    }
    SocketSends socket(port->fd);
    return static_cast<long>(port->telnet->Receive(socket, buffer, static_cast<std::size_t>(got)));
}

}  // namespace posix
}  // namespace platform
}  // namespace veltor
