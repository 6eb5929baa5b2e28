// Network ports: a TCP connection to a device server that holds the
// instrument's serial line, raw or as Telnet with RFC 2217. Once connected
// the socket is polled and read like a terminal (Port.cpp); only its
// opening, its writes and a Telnet connection's reads differ.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
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

// One lookup, shared with the thread that makes it.
struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int result = 0;
    addrinfo* addresses = nullptr;
};

// The addresses of host and service, or null with the reason in t_Failure.
// getaddrinfo has no time-out of its own: a name (not a numeric address)
// is looked up on a thread of its own, which is left to finish alone, and
// free what it found, when the bound passes first.
addrinfo* Resolve(const NetAddress& address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int result = ::getaddrinfo(address.host.c_str(), address.service.c_str(), &hints, &found);
    if (result == EAI_NONAME) {
        auto lookup = std::make_shared<Lookup>();
        hints.ai_flags = AI_NUMERICSERV;
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
            t_Failure = "cannot start the name lookup of " + address.host;
            return nullptr;
        }
        std::unique_lock<std::mutex> hold(lookup->lock);
        if (!lookup->done.wait_for(hold, std::chrono::milliseconds(kResolveBoundMs),
                                   [&] { return lookup->finished; })) {
            lookup->abandoned = true;
            t_Failure = "cannot resolve the host name " + address.host + ": no answer within " +
                        Seconds(kResolveBoundMs);
            return nullptr;
        }
        result = lookup->result;
        found = lookup->addresses;
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

// Sends all bytes, waiting for room while the socket's queue is full, but
// not beyond the bound. MSG_NOSIGNAL: a closed connection fails the send
// instead of raising SIGPIPE in the host's process.
bool SendAll(int fd, const unsigned char* bytes, std::size_t count, long timeoutMs) {
    const long long deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
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
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(MillisecondsLeft(deadline)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return false;
        }
    }
    return true;
}

// The socket under a Telnet negotiation, before the watcher runs.
class SocketLink : public Rfc2217Link {
public:
    explicit SocketLink(int fd) : m_Fd(fd) {}
    bool Send(const unsigned char* bytes, std::size_t count) override {
        return SendAll(m_Fd, bytes, count, kNegotiateBoundMs);
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

// Hands the session's answers to the server over to the writing thread.
void QueueReplies(Port* port) {
    std::vector<unsigned char>& outgoing = port->telnet->Outgoing();
    if (outgoing.empty()) {
        return;
    }
    std::lock_guard<std::mutex> hold(port->repliesLock);
    port->replies.insert(port->replies.end(), outgoing.begin(), outgoing.end());
    outgoing.clear();
}

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
        port->telnet.reset(new Rfc2217Session);
        port->telnet->Start();
        SocketLink link(fd);
        const std::string failure =
            NegotiateRfc2217(*port->telnet, Rfc2217Session::State::Agreed, link, kNegotiateBoundMs);
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
    port->telnet->Configure(baud);
    SocketLink link(port->fd);
    const std::string failure =
        NegotiateRfc2217(*port->telnet, Rfc2217Session::State::Ready, link, kNegotiateBoundMs);
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
        port->telnet->PurgeServerInput();
        QueueReplies(port);
    }
}

bool NetWrite(Port* port, const unsigned char* bytes, int count, long timeoutMs) {
    if (port->link != Port::Link::Rfc2217) {
        return SendAll(port->fd, bytes, static_cast<std::size_t>(count), timeoutMs);
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
    return SendAll(port->fd, escaped.data(), escaped.size(), timeoutMs);
}

long NetRead(Port* port, unsigned char* buffer, std::size_t capacity) {
    const long got = ReadQueued(port->fd, buffer, capacity);
    if (got <= 0 || port->link != Port::Link::Rfc2217) {
        return got;
    }
    const long data =
        static_cast<long>(port->telnet->Receive(buffer, static_cast<std::size_t>(got)));
    QueueReplies(port);
    return data;
}

}  // namespace posix
}  // namespace platform
}  // namespace veltor
