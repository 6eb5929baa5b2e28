// A link carries the instrument's bytes between the host and its serial
// line: a serial port (termios on POSIX systems, a COM port on Windows), a
// TCP connection to a device server that holds the line (socket://HOST:PORT)
// or a Telnet session with the COM Port Control option over such a
// connection (rfc2217://HOST:PORT, a TCP link whose bytes pass through the
// session). Every link is one table of operations (class Link); the kind is
// chosen once, by the name given to Open, and nothing after that asks which
// kind it is.
//
// A link is held through an opaque handle (platform::CloseHandle releases
// it). Who calls what, from which thread:
// - Open, Configure, PurgeInput, Write and Drain: the thread that owns the
//   connection (opening it, or running an exchange under the device's lock).
// - ReadQueued: any thread holding the receive lock (the watcher's drains
//   hold it too), or the exchanging thread while the watcher stands aside.
// - WaitForDataOrPort: the exchanging thread.
// - WatchOpen, WatchWait, WatchRead and WatchClose: the watcher thread.
// A write may run on the exchanging thread while the watcher reads: an
// RFC 2217 link's session hands its sends over between them
// (serial/TelnetSender.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

#include "platform/Platform.h"

#ifndef _WIN32
#include <cerrno>

#include "platform/posix/Sys.h"
#include "platform/posix/Wait.h"
#endif

namespace veltor {
namespace link {

// While one lives, the calling thread's Write and Drain wait no longer than
// `timeoutMs` from its making, whatever bound they are given, and a serial
// port the thread closes drops the bytes it has not sent instead of waiting
// for them (a port held by flow control is otherwise waited for at close, on
// Linux up to 30 s): the port probe's bound holds however the line behaves.
// Nests: the innermost one holds. Caller's thread.
class PortDeadline {
public:
    explicit PortDeadline(long timeoutMs)
        : m_Outer(Current()),
          m_Deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {
        Current() = this;
        s_Live.fetch_add(1, std::memory_order_relaxed);
    }
    ~PortDeadline() {
        s_Live.fetch_sub(1, std::memory_order_relaxed);
        Current() = m_Outer;
    }
    PortDeadline(const PortDeadline&) = delete;
    PortDeadline& operator=(const PortDeadline&) = delete;

    // A wait of timeoutMs (negative: no limit) cut to what is left of the
    // calling thread's deadline, if one lives; 0 once it has passed.
    static long Bound(long timeoutMs) {
        // None lives on any thread (every exchange's write): the thread's
        // own is not looked up. A thread always sees its own count.
        if (s_Live.load(std::memory_order_relaxed) == 0) {
            return timeoutMs;
        }
        const PortDeadline* current = Current();
        if (current == nullptr) {
            return timeoutMs;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              current->m_Deadline - std::chrono::steady_clock::now())
                              .count();
        const long bounded = left <= 0 ? 0L : static_cast<long>(left);
        return timeoutMs < 0 || bounded < timeoutMs ? bounded : timeoutMs;
    }
    // True while one lives on the calling thread.
    static bool Active() { return Current() != nullptr; }

private:
    static const PortDeadline*& Current() {
        static thread_local const PortDeadline* current = nullptr;
        return current;
    }
    // How many live on all threads.
    static std::atomic<int> s_Live;
    const PortDeadline* m_Outer;
    std::chrono::steady_clock::time_point m_Deadline;
};

enum class DataWait { Data, Port, TimedOut, Failed };
enum class WatchEvent { Stop, Received, Failed, Aside, TimedOut, HungUp };

// What the platform's waits beside a port or socket say, in the words of
// this table, the same for every kind of link. A port that is gone, or a
// wait that cannot be made, is Failed.
WatchEvent ToWatchEvent(platform::Woken woken);
DataWait ToDataWait(platform::EventOrPort woken);

// What the watcher needs for its waits on one link, made and released on
// the watcher thread.
class Watch {
public:
    virtual ~Watch() = default;
    // See WatchWait and WatchRead.
    virtual WatchEvent Wait(bool withPort, long timeoutMs, bool hangUp) = 0;
    virtual long Read(unsigned char* buffer, std::size_t capacity) = 0;
};

// The table of operations of one kind of link. Each operation is described
// at its free function below, which checks its arguments and calls it.
class Link : public platform::HandleObject {
public:
    virtual int Configure(long baud) = 0;
    virtual void PurgeInput() = 0;
    // timeoutMs is already cut to the thread's PortDeadline.
    virtual bool Write(const unsigned char* bytes, int count, long timeoutMs) = 0;
    // timeoutMs is already cut to the thread's PortDeadline.
    virtual void Drain(long timeoutMs) = 0;
    virtual long ReadQueued(unsigned char* buffer, std::size_t capacity) = 0;
    virtual DataWait WaitForData(Handle event, long timeoutMs) = 0;
    // Null when the watch cannot be made.
    virtual Watch* OpenWatch(Handle stopEvent, Handle asideEvent) = 0;

    // The descriptor on which Write, ReadQueued and WaitForData are plain
    // non-blocking system calls (a terminal), or -1: the exchange's path
    // (WriteOn and the others below) then makes those calls itself.
    int DirectFd() const { return m_nDirectFd; }
    // Drain has nothing to wait for (a pseudo-terminal has no output queue).
    bool DrainsNothing() const { return m_bDrainsNothing; }

protected:
    int m_nDirectFd = -1;
    bool m_bDrainsNothing = false;
};

// The link behind a handle made by Open; null for any other handle.
inline Link* AsLink(Handle port) {
    return static_cast<Link*>(platform::FromHandle(port));
}

// ---- The exchange's path: a link resolved once per connection ----------------------
// The same as Write, Drain, ReadQueued and WaitForDataOrPort of its handle,
// without the handle's kind test; on a link with a direct descriptor, without
// the table's indirect call either (some hundred instructions per exchange).

inline bool WriteOn(Link& link, const unsigned char* bytes, int count, long timeoutMs) {
#ifndef _WIN32
    const int fd = link.DirectFd();
    if (fd >= 0 && bytes != nullptr && count > 0) {
        const long written = platform::posix::SysWrite(fd, bytes, static_cast<std::size_t>(count));
        if (written == count) {
            return true;
        }
        // A part written, a full queue or an interrupted call: the link's
        // own loop does the rest, waiting within the bound.
        if (written > 0) {
            bytes += written;
            count -= static_cast<int>(written);
        } else if (written < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
#endif
    if (bytes == nullptr || count < 0) {
        return false;
    }
    return link.Write(bytes, count, PortDeadline::Bound(timeoutMs));
}

inline void DrainOn(Link& link, long timeoutMs) {
    if (!link.DrainsNothing()) {
        link.Drain(PortDeadline::Bound(timeoutMs));
    }
}

inline long ReadQueuedOn(Link& link, unsigned char* buffer, std::size_t capacity) {
#ifndef _WIN32
    if (link.DirectFd() >= 0) {
        return platform::posix::ReadQueued(link.DirectFd(), buffer, capacity);
    }
#endif
    return link.ReadQueued(buffer, capacity);
}

// ToDataWait's mapping, inline for the exchange's wait.
inline DataWait AsDataWait(platform::EventOrPort woken) {
    return woken == platform::EventOrPort::Event      ? DataWait::Data
           : woken == platform::EventOrPort::Port     ? DataWait::Port
           : woken == platform::EventOrPort::TimedOut ? DataWait::TimedOut
                                                      : DataWait::Failed;
}

inline DataWait WaitForDataOn(Link& link, Handle event, long timeoutMs) {
#ifndef _WIN32
    if (link.DirectFd() >= 0) {
        return AsDataWait(platform::posix::WaitEventOrFd(event, link.DirectFd(), timeoutMs));
    }
#endif
    return link.WaitForData(event, timeoutMs);
}

// Opens a link by its name: socket://HOST:PORT, rfc2217://HOST:PORT (see
// serial/NetAddress.h), else a serial device, exclusively for reading and
// writing. A network link is connected (resolving and connecting within a
// bound) and an RFC 2217 one has agreed on the option. Returns null when the
// port is absent, held by another handle or cannot be reached, with the
// reason for platform::LastError. Blocks at most for those bounds; caller's
// thread.
Handle Open(const char* name);

// Configures an open link in four steps: report received bytes (-2 on
// failure), read the line settings (-3), write them back as 8N1 raw at the
// given speed (-4), make reads return at once with what is queued (-5).
// A raw TCP link has nothing to set; an RFC 2217 link sets the line through
// the server (-4 when it does not acknowledge). Returns 0 or the code of the
// first failing step, with the reason for platform::LastError. Caller's
// thread.
int Configure(Handle port, long baud);

// Discards what was received and not read: the driver's receive queue, or
// what a network link has received (and asks an RFC 2217 server to drop
// what it holds). Non-blocking; the connection's owner.
void PurgeInput(Handle port);

// Writes count bytes and waits for the write to complete for at most
// timeoutMs. A write still pending then is cancelled; nothing of the write
// (its bytes, its completion record) is left for the driver to touch in the
// caller's memory. Returns false when the write failed or was cancelled.
// Caller's thread.
bool Write(Handle port, const unsigned char* bytes, int count, long timeoutMs);

// Waits at most timeoutMs for the bytes written so far to leave the driver's
// output queue, where the driver can tell; returns at once where it cannot (a
// pseudo-terminal, a driver that reports its queue empty, a network link:
// what a server's line still has to send is out of sight). Caller's thread.
void Drain(Handle port, long timeoutMs);

// Reads at most capacity of the bytes waiting (a network link: its data
// bytes, an RFC 2217 server's commands taken out and answered) without
// waiting for more. Returns the number read (0 when none wait), or -1 when
// the port is gone (hang-up, end of file, a failed read). Non-blocking; any
// thread holding the receive lock (the watcher's drains hold it too).
long ReadQueued(Handle port, unsigned char* buffer, std::size_t capacity);

// ---- The exchange's wait --------------------------------------------------------
// True where an exchange can wait on the port itself (beside its data event)
// and read its answer without waking the watcher: one thread hand-off less
// per exchange. Where false, WaitForDataOrPort only waits on the event. The
// same for every link of the system.
bool PortWaitable();
// Blocks until the event is set (Data, taken), the port has bytes or hung up
// (Port), or timeoutMs passes. Data may also be a spurious wake-up (a
// signal, a set that raced a reset): the caller looks, finds nothing and
// waits again with what is left of its time. The exchanging thread.
DataWait WaitForDataOrPort(Handle event, Handle port, long timeoutMs);

// ---- The watcher's waits ------------------------------------------------------
// `asideEvent` (may be null) wakes the watcher when the exchange starts or
// stops reading the port itself (see PortWaitable). Null when the watch
// cannot be made.
Watch* WatchOpen(Handle port, Handle stopEvent, Handle asideEvent = nullptr);
void WatchClose(Watch* watch);

// Blocks, without any periodic wake-up, until the stop event is set (Stop),
// the aside event is set (Aside), with withPort the port has received bytes
// (Received), or timeoutMs has passed (TimedOut; -1: no limit). A port that
// hangs up with bytes still queued reports Received until they are read,
// then Failed (or Received with WatchRead returning -1). Failed: the port is
// gone or the wait cannot be made. A limit is only given without the port,
// where PortWaitable. Without the port but with hangUp, a port that hangs
// up (or whose peer closes) ends the wait too (HungUp), while bytes it
// receives do not. Watcher thread.
WatchEvent WatchWait(Watch* watch, bool withPort = true, long timeoutMs = -1, bool hangUp = false);

// Reads at most capacity of the bytes waiting, clearing any line error
// first. Returns the number read (0 when none wait), or -1 when the port is
// gone (hang-up, end of file, a failed read): the watcher then ends.
// Non-blocking; watcher thread, receive lock held.
long WatchRead(Watch* watch, unsigned char* buffer, std::size_t capacity);

}  // namespace link
}  // namespace veltor
