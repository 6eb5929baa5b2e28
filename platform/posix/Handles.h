// The objects behind the POSIX layer's handles.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>

#include "platform/Platform.h"
#include "serial/TelnetSender.h"

namespace veltor {
namespace platform {
namespace posix {

// What a handle holds. The kind is a plain tag so that finding the object
// behind a handle, which every call of this layer does, costs no
// dynamic_cast.
struct Object {
    enum class Kind { Event, Port, Thread };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() {}
    const Kind kind;
};

// An event is an eventfd: a nonzero counter is "set", so it can be waited on
// with poll() beside the port. `signalled` mirrors the counter so that
// setting a set event and resetting a reset one (the receive ring does that
// on every exchange) cost no system call. The counter may briefly run
// behind the mirror; a wait that finds it set without the mirror drains it
// and waits on (a spurious wake-up, never a lost one). A wait may return
// while the setter is still writing the counter: an event must outlive every
// SetEvent in progress, as the serial device's events do (each is released
// only after the threads that set it are done).
struct Event : Object {
    static constexpr Kind kKind = Kind::Event;
    Event() : Object(kKind) {}
    ~Event() override;
    int fd = -1;
    bool manualReset = false;
    std::atomic<bool> signalled{false};
};

// A serial port, or a TCP connection to a device server that holds the
// instrument's serial line (see serial/NetAddress.h). Either way `fd` is
// polled and read the same; only a Telnet connection's bytes pass through
// its session.
struct Port : Object {
    static constexpr Kind kKind = Kind::Port;
    enum class Link { Terminal, Tcp, Rfc2217 };
    Port() : Object(kKind) {}
    ~Port() override;
    int fd = -1;
    long baud = 0;        // 0 where the host cannot see the line (a network port)
    bool pseudo = false;  // a pseudo-terminal: it has no output queue to drain
    Link link = Link::Terminal;
    // Rfc2217 only: the session and the send hand-over between a write and
    // the reading side's answers (serial/TelnetSender.h). The session is read
    // under the receive lock.
    std::unique_ptr<TelnetSender> telnet;
};

struct Thread : Object {
    static constexpr Kind kKind = Kind::Thread;
    Thread() : Object(kKind) {}
    ~Thread() override;
    pthread_t thread{};
    ThreadProc proc = nullptr;
    void* arg = nullptr;
    bool joined = false;
};

template <typename T>
T* As(Handle h) {
    if (!IsHeld(h)) {
        return nullptr;
    }
    Object* object = static_cast<Object*>(h);
    return object->kind == T::kKind ? static_cast<T*>(object) : nullptr;
}

inline Handle ToHandle(Object* object) {
    return static_cast<Handle>(object);
}

// Takes an event's "set" if it is set, draining its counter; true when it
// was. No system call when it is not set.
bool TakeEvent(Event* event);
// Empties the counter, leaving the mirror alone.
void DrainCounter(Event* event);
long MillisecondsLeft(long long deadlineMs);
long long NowMs();

// Why the thread's last failed call failed, where the system's own words
// (errno) would mislead or say too little; empty otherwise.
extern thread_local std::string t_Failure;

// A non-blocking read of what is queued: 0 when nothing is, -1 when the
// line is gone (end of file after a hang-up or a closed connection, or an
// error such as EIO or a reset).
long ReadQueued(int fd, unsigned char* buffer, std::size_t capacity);

// ---- Network ports (Net.cpp) ----
// Connects to a device server (resolving and connecting within a bound) and,
// for RFC 2217, agrees on the COM Port Control option. Null on failure, with
// the reason in t_Failure.
Handle OpenNetPort(const char* name);
// Sets the line through an RFC 2217 server; nothing to do on a raw one.
// 0, or -4 with the reason in t_Failure.
int NetConfigure(Port* port, long baud);
void NetPurgeInput(Port* port);
bool NetWrite(Port* port, const unsigned char* bytes, int count, long timeoutMs);
// ReadQueued for a network port: only data bytes, the server's commands
// taken out and answered.
long NetRead(Port* port, unsigned char* buffer, std::size_t capacity);

}  // namespace posix
}  // namespace platform
}  // namespace veltor
