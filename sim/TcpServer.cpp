#include "sim/TcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>

#include "sim/Threads.h"

namespace vsim {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void Drain(int eventFd) {
    uint64_t value = 0;
    (void)::read(eventFd, &value, sizeof(value));
}

}  // namespace

TcpServer::TcpServer(const std::string& slavePath, const std::string& host, uint16_t port)
    : slavePath_(slavePath), host_(host) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        errno = EINVAL;
        ThrowErrno("listen address (an IPv4 address)");
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        ThrowErrno("socket");
    }
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    socklen_t length = sizeof(address);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(listenFd_);
        errno = error;
        ThrowErrno("listen");
    }
    port_ = ntohs(address.sin_port);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        ::close(listenFd_);
        ThrowErrno("eventfd");
    }
    thread_ = StartQuietThread([this] { Serve(); });
}

TcpServer::~TcpServer() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    (void)::write(wakeFd_, &one, sizeof(one));
    thread_.join();
    ::close(listenFd_);
    ::close(wakeFd_);
}

std::string TcpServer::Url() const {
    return "socket://" + host_ + ":" + std::to_string(port_);
}

void TcpServer::DropClient(bool reset) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!connected_) {
        return;
    }
    dropRequest_ = reset ? 2 : 1;
    const uint64_t one = 1;
    (void)::write(wakeFd_, &one, sizeof(one));
    changed_.wait(hold, [this] { return !connected_; });
}

bool TcpServer::WaitForClients(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [&] { return clients_ >= n; });
}

bool TcpServer::WaitForNoClient(int timeoutMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                             [&] { return !connected_; });
}

void TcpServer::Serve() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if ((p[1].revents & POLLIN) != 0) {
            Drain(wakeFd_);
            std::lock_guard<std::mutex> hold(mutex_);
            dropRequest_ = 0;
            if (stopping_) {
                return;
            }
        }
        if ((p[0].revents & POLLIN) == 0) {
            continue;
        }
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            continue;
        }
        const int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        // Each client gets the line afresh, as a terminal server opens its
        // port for each connection: nothing the instrument sent before
        // carries over.
        int line = -1;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!lineGone_) {
                line = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            }
            ++clients_;
            connected_ = line >= 0;
            changed_.notify_all();
        }
        if (line < 0) {
            ::close(client);
            continue;
        }
        termios tio{};
        if (::tcgetattr(line, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(line, TCSANOW, &tio);
        }
        ::tcflush(line, TCIFLUSH);
        Relay(client, line);
        ::close(line);
        std::lock_guard<std::mutex> hold(mutex_);
        connected_ = false;
        changed_.notify_all();
        if (stopping_) {
            return;
        }
    }
}

void TcpServer::Relay(int client, int line) {
    unsigned char bytes[4096];
    for (;;) {
        pollfd p[3] = {{client, POLLIN, 0}, {line, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(p, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((p[2].revents & POLLIN) != 0) {
            Drain(wakeFd_);
            std::lock_guard<std::mutex> hold(mutex_);
            if (stopping_ || dropRequest_ != 0) {
                if (dropRequest_ == 2) {
                    // A zero linger time makes close() send a reset.
                    const linger abort{1, 0};
                    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
                }
                dropRequest_ = 0;
                break;
            }
        }
        if ((p[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            const ssize_t got = ::read(client, bytes, sizeof(bytes));
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                break;  // the client left
            }
            if (got > 0 && !WriteAll(line, bytes, static_cast<size_t>(got), false)) {
                break;
            }
        }
        if ((p[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            const ssize_t got = ::read(line, bytes, sizeof(bytes));
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                // The simulator hung up its line: the server closes the
                // connection and takes no more.
                std::lock_guard<std::mutex> hold(mutex_);
                lineGone_ = true;
                break;
            }
            if (got > 0 && !WriteAll(client, bytes, static_cast<size_t>(got), true)) {
                break;
            }
        }
    }
    ::close(client);
}

bool TcpServer::WriteAll(int fd, const unsigned char* bytes, size_t count, bool socket) {
    size_t done = 0;
    while (done < count) {
        // MSG_NOSIGNAL: a client gone meanwhile fails the send instead of
        // raising SIGPIPE in the process that hosts the server.
        const ssize_t written = socket ? ::send(fd, bytes + done, count - done, MSG_NOSIGNAL)
                                       : ::write(fd, bytes + done, count - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) {
            return false;
        }
        if ((p[1].revents & POLLIN) != 0) {
            return false;  // stopping or dropping: the relay loop sees the wake-up again
        }
        if ((p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace vsim
