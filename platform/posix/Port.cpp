#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "platform/posix/Handles.h"
#include "platform/posix/Sys.h"
#include "serial/NetAddress.h"
#include "serial/Rfc2217.h"

namespace veltor {
namespace platform {

namespace posix {

Port::~Port() {
    if (fd >= 0) {
        if (link == Link::Terminal) {
            // Within a deadline, unsent bytes are dropped: closing a port
            // with output held back waits for it (closing_wait, 30 s).
            if (PortDeadline::Active()) {
                ::tcflush(fd, TCOFLUSH);
            }
            ::flock(fd, LOCK_UN);
        }
        ::close(fd);
    }
}

thread_local std::string t_Failure;

namespace {

speed_t SpeedConstant(long baud) {
    switch (baud) {
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

// The slave side of a pseudo-terminal (Linux's /dev/pts/N): writes reach
// the other side at once, so there is no output queue to wait for.
bool IsPseudoTerminal(int fd) {
#ifdef __linux__
    struct stat info {};
    const unsigned kFirstPtsMajor = 136;  // UNIX98_PTY_SLAVE_MAJOR
    const unsigned kPtsMajors = 8;
    return ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
           major(info.st_rdev) - kFirstPtsMajor < kPtsMajors;
#else
    (void)fd;
    return false;
#endif
}

}  // namespace

}  // namespace posix

std::string LastError() {
    if (!posix::t_Failure.empty()) {
        return posix::t_Failure;
    }
    return std::strerror(errno);
}

void PortName(int portNumber, char* name, std::size_t size) {
    // Computed wide: no port number may overflow it.
    std::snprintf(name, size, "/dev/ttyS%lld", static_cast<long long>(portNumber) - 1);
}

Handle OpenPort(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    posix::t_Failure.clear();
    std::string malformed;
    if (ParseNetAddress(name, malformed).link != NetLink::None) {
        return posix::OpenNetPort(name);
    }
    if (!malformed.empty()) {
        posix::t_Failure = malformed;
        return nullptr;
    }
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // The terminal's exclusive mode does not keep root out; an advisory lock
    // on the device keeps every other user of this library out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            posix::t_Failure = "held by another program (its lock is taken)";
        }
        ::close(fd);
        return nullptr;
    }
    auto* port = new posix::Port;
    port->fd = fd;
    return posix::ToHandle(port);
}

int PortConfigure(Handle h, long baud) {
    posix::t_Failure.clear();
    auto* port = posix::As<posix::Port>(h);
    if (port != nullptr && port->link != posix::Port::Link::Terminal) {
        return posix::NetConfigure(port, baud);
    }
    // Received bytes are reported by poll() on a non-blocking descriptor of a
    // terminal; anything that is no terminal cannot report them.
    if (port == nullptr || !::isatty(port->fd)) {
        posix::t_Failure = "not a terminal (a serial port or pseudo-terminal)";
        return -2;
    }
    if (::fcntl(port->fd, F_SETFL, ::fcntl(port->fd, F_GETFL) | O_NONBLOCK) != 0) {
        return -2;
    }
    termios settings{};
    if (::tcgetattr(port->fd, &settings) != 0) {
        return -3;
    }
    // 8 data bits, no parity, one stop bit, raw: no echo, no line editing, no
    // translation of CR/LF and no software flow control, which would swallow
    // the bytes 0x11 and 0x13 of binary frames. Hardware flow control stays
    // as the port had it.
    const tcflag_t hardwareFlow = settings.c_cflag & CRTSCTS;
    ::cfmakeraw(&settings);
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL | hardwareFlow;
    const speed_t speed = posix::SpeedConstant(baud);
    if (speed == B0) {
        posix::t_Failure = "the line speed is not supported";
        return -4;
    }
    if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0 ||
        ::tcsetattr(port->fd, TCSANOW, &settings) != 0) {
        return -4;
    }
    // Reads return at once with whatever is queued (the descriptor does not
    // block). VMIN 1 makes a read with nothing queued fail with EAGAIN, so
    // that a read of 0 bytes means only the end of the line: a hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(port->fd, TCSANOW, &settings) != 0) {
        return -5;
    }
    port->baud = baud;
    port->pseudo = posix::IsPseudoTerminal(port->fd);
    return 0;
}

void PortPurgeInput(Handle h) {
    auto* port = posix::As<posix::Port>(h);
    if (port != nullptr && port->link != posix::Port::Link::Terminal) {
        posix::NetPurgeInput(port);
    } else if (port != nullptr) {
        ::tcflush(port->fd, TCIFLUSH);
    }
}

bool PortWrite(Handle h, const unsigned char* bytes, int count, long timeoutMs) {
    auto* port = posix::As<posix::Port>(h);
    if (port == nullptr || bytes == nullptr || count < 0) {
        return false;
    }
    timeoutMs = PortDeadline::Bound(timeoutMs);
    if (port->link != posix::Port::Link::Terminal) {
        return posix::NetWrite(port, bytes, count, timeoutMs);
    }
    long long deadline = 0;  // taken when the driver's queue is first found full
    int done = 0;
    while (done < count) {
        const long written = posix::SysWrite(port->fd, bytes + done, count - done);
        if (written > 0) {
            done += static_cast<int>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        // The driver's queue is full (for instance held by flow control):
        // wait for room, but not beyond the bound.
        if (deadline == 0) {
            deadline = posix::NowMs() + timeoutMs;
        }
        pollfd p{port->fd, POLLOUT, 0};
        const int ready =
            posix::SysPoll(&p, 1, static_cast<int>(posix::MillisecondsLeft(deadline)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            ::tcflush(port->fd, TCOFLUSH);
            return false;
        }
    }
    return true;
}

void PortDrain(Handle h, long timeoutMs) {
    auto* port = posix::As<posix::Port>(h);
    // A network port's baud is 0: what the server's line still has to send
    // is out of sight, and the socket's own queue empties as fast as the
    // network takes it.
    if (port == nullptr || port->baud <= 0) {
        return;
    }
    timeoutMs = PortDeadline::Bound(timeoutMs);
    // tcdrain() cannot be bounded; the driver's output count can. A
    // pseudo-terminal has no output queue to ask.
    if (port->pseudo) {
        return;
    }
    long long deadline = 0;
    for (;;) {
        int queued = 0;
        if (::ioctl(port->fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            return;
        }
        if (deadline == 0) {
            deadline = posix::NowMs() + timeoutMs;
        }
        const long left = posix::MillisecondsLeft(deadline);
        if (left <= 0) {
            return;
        }
        long waitMs =
            static_cast<long>(static_cast<long long>(queued) * 10 * 1000 / port->baud) + 1;
        waitMs = waitMs < left ? waitMs : left;
        timespec pause{waitMs / 1000, (waitMs % 1000) * 1000000};
        ::nanosleep(&pause, nullptr);
    }
}

namespace posix {

long ReadQueued(int fd, unsigned char* buffer, std::size_t capacity) {
    for (;;) {
        const long got = posix::SysRead(fd, buffer, capacity);
        if (got > 0) {
            return static_cast<long>(got);
        }
        if (got == 0) {
            return capacity == 0 ? 0 : -1;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

}  // namespace posix

long PortReadQueued(Handle h, unsigned char* buffer, std::size_t capacity) {
    auto* port = posix::As<posix::Port>(h);
    if (port == nullptr) {
        return -1;
    }
    return port->link == posix::Port::Link::Rfc2217 ? posix::NetRead(port, buffer, capacity)
                                                    : posix::ReadQueued(port->fd, buffer, capacity);
}

// ---- The watcher's waits ------------------------------------------------------

struct Watch {
    posix::Port* port = nullptr;
    int portFd = -1;
    posix::Event* stop = nullptr;
    posix::Event* aside = nullptr;
};

Watch* WatchOpen(Handle port, Handle stopEvent, Handle asideEvent) {
    auto* p = posix::As<posix::Port>(port);
    auto* stop = posix::As<posix::Event>(stopEvent);
    if (p == nullptr || stop == nullptr) {
        return nullptr;
    }
    auto* watch = new Watch;
    watch->port = p;
    watch->portFd = p->fd;
    watch->stop = stop;
    watch->aside = posix::As<posix::Event>(asideEvent);
    return watch;
}

void WatchClose(Watch* watch) {
    delete watch;
}

bool PortWaitable() {
    return true;
}

DataWait WaitForDataOrPort(Handle eventHandle, Handle portHandle, long timeoutMs) {
    auto* event = posix::As<posix::Event>(eventHandle);
    auto* port = posix::As<posix::Port>(portHandle);
    if (event == nullptr || port == nullptr) {
        return DataWait::Failed;
    }
    if (posix::TakeEvent(event)) {
        return DataWait::Data;
    }
    pollfd p[2] = {{event->fd, POLLIN, 0}, {port->fd, POLLIN, 0}};
    const int ready = posix::SysPoll(p, 2, timeoutMs < 0 ? -1 : static_cast<int>(timeoutMs));
    if (ready < 0) {
        // Interrupted by a signal: the caller looks and waits again.
        return errno == EINTR ? DataWait::Data : DataWait::Failed;
    }
    if (ready == 0) {
        return DataWait::TimedOut;
    }
    if ((p[1].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return DataWait::Port;
    }
    // The event is set (taken here), or its counter is left over from a
    // reset that raced a set: a spurious wake-up, which the caller treats
    // like any other (it looks, finds nothing, and waits again).
    if (!posix::TakeEvent(event)) {
        posix::DrainCounter(event);
    }
    return DataWait::Data;
}

WatchEvent WatchWait(Watch* watch, bool withPort, long timeoutMs, bool hangUp) {
#ifdef POLLRDHUP
    // A network peer's close, told apart from data.
    const short kHangUpEvents = POLLRDHUP;
#else
    const short kHangUpEvents = 0;
#endif
    const long long deadline = timeoutMs < 0 ? 0 : posix::NowMs() + timeoutMs;
    bool first = true;
    for (;;) {
        if (watch->stop->manualReset ? watch->stop->signalled.load()
                                     : posix::TakeEvent(watch->stop)) {
            return WatchEvent::Stop;
        }
        if (watch->aside != nullptr && posix::TakeEvent(watch->aside)) {
            return WatchEvent::Aside;
        }
        pollfd p[3] = {{watch->stop->fd, POLLIN, 0},
                       {watch->aside != nullptr ? watch->aside->fd : -1, POLLIN, 0},
                       {withPort || hangUp ? watch->portFd : -1,
                        withPort ? static_cast<short>(POLLIN) : kHangUpEvents, 0}};
        // The first pass waits the whole time: the deadline was just taken.
        const int wait = timeoutMs < 0 ? -1
                         : first       ? static_cast<int>(timeoutMs)
                                       : static_cast<int>(posix::MillisecondsLeft(deadline));
        first = false;
        const int ready = posix::SysPoll(p, 3, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WatchEvent::Failed;
        }
        if (ready == 0) {
            return WatchEvent::TimedOut;
        }
        if ((p[0].revents & POLLIN) != 0 || (p[1].revents & POLLIN) != 0) {
            // Set (taken at the top), or a counter left over from a race:
            // only the one that was readable is drained.
            if ((p[0].revents & POLLIN) != 0 && !watch->stop->signalled.load()) {
                posix::DrainCounter(watch->stop);
            }
            if ((p[1].revents & POLLIN) != 0 && !watch->aside->signalled.load()) {
                posix::DrainCounter(watch->aside);
            }
            continue;
        }
        if (!withPort) {
            return WatchEvent::HungUp;
        }
        // A hang-up also reports the port readable: the read that follows
        // finds what is left, then the end of the file.
        if ((p[2].revents & POLLIN) != 0) {
            return WatchEvent::Received;
        }
        // Hang-up or error without data: the line is gone.
        if ((p[2].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return WatchEvent::Failed;
        }
    }
}

long WatchRead(Watch* watch, unsigned char* buffer, std::size_t capacity) {
    return watch->port->link == posix::Port::Link::Rfc2217
               ? posix::NetRead(watch->port, buffer, capacity)
               : posix::ReadQueued(watch->portFd, buffer, capacity);
}

}  // namespace platform
}  // namespace veltor
