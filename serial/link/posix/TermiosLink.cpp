// A serial port on a POSIX system: a terminal device (a UART, a USB adapter,
// a pseudo-terminal) driven through termios, non-blocking, waited on with
// poll() beside the layer's events.
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

#include <new>

#include "platform/posix/Sys.h"
#include "platform/posix/Wait.h"
#include "serial/link/Kinds.h"

namespace veltor {
namespace link {

namespace {

namespace pf = platform;

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

// The watcher's waits on a terminal: poll() on its descriptor.
class TermiosWatch : public Watch {
public:
    TermiosWatch(int fd, Handle stopEvent, Handle asideEvent)
        : m_Fd(fd), m_hStop(stopEvent), m_hAside(asideEvent) {}
    WatchEvent Wait(bool withPort, long timeoutMs, bool hangUp) override {
        return ToWatchEvent(
            pf::posix::WaitEventsOrFd(m_hStop, m_hAside, m_Fd, withPort, hangUp, timeoutMs));
    }
    long Read(unsigned char* buffer, std::size_t capacity) override {
        return pf::posix::ReadQueued(m_Fd, buffer, capacity);
    }

private:
    int m_Fd;
    Handle m_hStop;
    Handle m_hAside;
};

class TermiosLink : public Link {
public:
    explicit TermiosLink(int fd) : m_Fd(fd) {}
    ~TermiosLink() override {
        // Within a deadline, unsent bytes are dropped: closing a port with
        // output held back waits for it (closing_wait, 30 s).
        if (PortDeadline::Active()) {
            ::tcflush(m_Fd, TCOFLUSH);
        }
        ::flock(m_Fd, LOCK_UN);
        ::close(m_Fd);
    }

    int Configure(long baud) override {
        // Received bytes are reported by poll() on a non-blocking descriptor
        // of a terminal; anything that is no terminal cannot report them.
        if (!::isatty(m_Fd)) {
            pf::SetFailure("not a terminal (a serial port or pseudo-terminal)");
            return -2;
        }
        if (::fcntl(m_Fd, F_SETFL, ::fcntl(m_Fd, F_GETFL) | O_NONBLOCK) != 0) {
            return -2;
        }
        termios settings{};
        if (::tcgetattr(m_Fd, &settings) != 0) {
            return -3;
        }
        // 8 data bits, no parity, one stop bit, raw: no echo, no line
        // editing, no translation of CR/LF and no software flow control,
        // which would swallow the bytes 0x11 and 0x13 of binary frames.
        // Hardware flow control stays as the port had it.
        const tcflag_t hardwareFlow = settings.c_cflag & CRTSCTS;
        ::cfmakeraw(&settings);
        settings.c_iflag &= ~(IXON | IXOFF | IXANY);
        settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
        settings.c_cflag |= CS8 | CREAD | CLOCAL | hardwareFlow;
        const speed_t speed = SpeedConstant(baud);
        if (speed == B0) {
            pf::SetFailure("the line speed is not supported");
            return -4;
        }
        if (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0 ||
            ::tcsetattr(m_Fd, TCSANOW, &settings) != 0) {
            return -4;
        }
        // Reads return at once with whatever is queued (the descriptor does
        // not block). VMIN 1 makes a read with nothing queued fail with
        // EAGAIN, so that a read of 0 bytes means only the end of the line:
        // a hang-up.
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
        if (::tcsetattr(m_Fd, TCSANOW, &settings) != 0) {
            return -5;
        }
        m_Baud = baud;
        m_bPseudo = IsPseudoTerminal(m_Fd);
        // Non-blocking and configured: the exchange may read and write it
        // with plain system calls.
        m_nDirectFd = m_Fd;
        m_bDrainsNothing = m_bPseudo;
        return 0;
    }

    void PurgeInput() override { ::tcflush(m_Fd, TCIFLUSH); }

    bool Write(const unsigned char* bytes, int count, long timeoutMs) override {
        long long deadline = 0;  // taken when the driver's queue is first found full
        int done = 0;
        while (done < count) {
            const long written = pf::posix::SysWrite(m_Fd, bytes + done, count - done);
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
            // The driver's queue is full (for instance held by flow
            // control): wait for room, but not beyond the bound.
            if (deadline == 0) {
                deadline = pf::NowMs() + timeoutMs;
            }
            pollfd p{m_Fd, POLLOUT, 0};
            const int ready =
                pf::posix::SysPoll(&p, 1, static_cast<int>(pf::MillisecondsLeft(deadline)));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                ::tcflush(m_Fd, TCOFLUSH);
                return false;
            }
        }
        return true;
    }

    void Drain(long timeoutMs) override {
        // tcdrain() cannot be bounded; the driver's output count can. A
        // pseudo-terminal has no output queue to ask, and a port never
        // configured no speed to reckon with.
        if (m_Baud <= 0 || m_bPseudo) {
            return;
        }
        long long deadline = 0;
        for (;;) {
            int queued = 0;
            if (::ioctl(m_Fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
                return;
            }
            if (deadline == 0) {
                deadline = pf::NowMs() + timeoutMs;
            }
            const long left = pf::MillisecondsLeft(deadline);
            if (left <= 0) {
                return;
            }
            long waitMs =
                static_cast<long>(static_cast<long long>(queued) * 10 * 1000 / m_Baud) + 1;
            waitMs = waitMs < left ? waitMs : left;
            timespec pause{waitMs / 1000, (waitMs % 1000) * 1000000};
            ::nanosleep(&pause, nullptr);
        }
    }

    long ReadQueued(unsigned char* buffer, std::size_t capacity) override {
        return pf::posix::ReadQueued(m_Fd, buffer, capacity);
    }

    DataWait WaitForData(Handle event, long timeoutMs) override {
        return ToDataWait(pf::posix::WaitEventOrFd(event, m_Fd, timeoutMs));
    }

    Watch* OpenWatch(Handle stopEvent, Handle asideEvent) override {
        return new (std::nothrow) TermiosWatch(m_Fd, stopEvent, asideEvent);
    }

private:
    const int m_Fd;
    long m_Baud = 0;
    bool m_bPseudo = false;  // a pseudo-terminal: it has no output queue to drain
};

}  // namespace

Link* OpenSerialPort(const char* name) {
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // The terminal's exclusive mode does not keep root out; an advisory lock
    // on the device keeps every other user of this library out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            pf::SetFailure("held by another program (its lock is taken)");
        }
        ::close(fd);
        return nullptr;
    }
    return new TermiosLink(fd);
}

bool PortWaitable() {
    return true;
}

}  // namespace link
}  // namespace veltor
