// The operating-system layer under the serial device: handles, events, a
// lock, threads, signals, the port listing, and the small helpers the links
// (serial/link/) are built on: their waits and sockets (platform/Socket.h).
// One implementation per system (platform/posix, platform/win32), chosen by
// the build; nothing above this layer tests which system it runs on, and
// nothing here knows what runs over a port.
//
// Handles are opaque: a null handle was never held, InvalidHandle() marks a
// released one. Every handle made here is released with CloseHandle.
#pragma once

#include <veltor/Ports.h>
#include <veltor/export.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltor {

// An operating-system object: a port, an event or a thread. Null means
// "never held"; InvalidHandle() marks a released one.
typedef void* Handle;

namespace platform {

inline Handle InvalidHandle() {
    return reinterpret_cast<Handle>(~static_cast<std::uintptr_t>(0));
}
inline bool IsHeld(Handle h) {
    return h != nullptr && h != InvalidHandle();
}

// Why the calling thread's last failed call of this layer failed, in the
// system's words ("No such file or directory"); a port held by another
// program says so. Caller's thread, right after the failure.
std::string LastError();

// Releases any handle made by this layer. Non-blocking; any thread. A thread
// handle must have been joined first.
void CloseHandle(Handle h);

// ---- Events ---------------------------------------------------------------
enum class WaitResult { Signalled, TimedOut, Failed };
const long kInfinite = -1;

// Creates an event, not signalled. Auto-reset events are reset by the wait
// that sees them set. Returns null on failure. Non-blocking; any thread.
Handle CreateEvent(bool manualReset);
// Non-blocking; any thread.
void SetEvent(Handle event);
void ResetEvent(Handle event);
// Blocks until the event is set or timeoutMs passes (kInfinite: no limit).
WaitResult WaitForEvent(Handle event, long timeoutMs);

// ---- The receive lock -------------------------------------------------------
// A non-recursive mutual-exclusion lock. Enter blocks; any thread. Taking a
// free lock and leaving one nobody waits for make no system call (Linux).
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void Enter();
    // Takes the lock only if it is free at once; true when taken.
    bool TryEnter();
    void Leave();

private:
    void* m_Impl;
};

// ---- Serial ports -----------------------------------------------------------
// Line speed in bit/s for a baud index 0..6, or 0 for any other index.
inline long BaudForIndex(int baudIndex) {
    static const long kSpeeds[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return baudIndex >= 0 && baudIndex <= 6 ? kSpeeds[baudIndex] : 0;
}

// The device name of a port number (1 and up): COM n on Windows,
// /dev/ttyS(n-1) on POSIX systems. Writes at most size characters including
// the terminator.
void PortName(int portNumber, char* name, std::size_t size);

// The machine's serial ports, without probing: sysfs on Linux, the
// registry's SERIALCOMM list on Windows. Blocks on file reads; any thread.
std::vector<PortInfo> ListSerialPorts();

// ---- Objects of a higher layer behind a handle --------------------------------
// An object that a higher layer hands out as a handle (a link to the
// instrument, serial/link/): CloseHandle deletes it like any other handle.
// Its handle is the object's address with the lowest bit set: objects and
// the system's own handles are aligned on four bytes or more, so no handle
// of this layer looks like one.
class HandleObject {
public:
    virtual ~HandleObject() = default;
};
inline Handle ToHandle(HandleObject* object) {
    return reinterpret_cast<Handle>(reinterpret_cast<std::uintptr_t>(object) | 1);
}
// The object behind a handle, or null for a handle that holds none.
inline HandleObject* FromHandle(Handle h) {
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(h);
    return IsHeld(h) && (value & 3) == 1
               ? reinterpret_cast<HandleObject*>(value & ~static_cast<std::uintptr_t>(3))
               : nullptr;
}

// Sets the reason LastError gives for a failure that no system call's code
// tells well (a malformed port name, a refused negotiation); cleared by
// ClearFailure. Caller's thread.
void SetFailure(const std::string& text);
void ClearFailure();

// Milliseconds of a monotonic clock: deadlines of waits and sends.
long long NowMs();
// What is left until a deadline of NowMs, 0 once it has passed.
inline long MillisecondsLeft(long long deadlineMs) {
    const long long left = deadlineMs - NowMs();
    return left > 0 ? static_cast<long>(left) : 0;
}

// What ended a wait on the watcher's events beside a port or socket
// (platform/posix/Wait.h, platform/Socket.h): the stop event, the aside
// event, bytes to read (Ready; a hang-up with bytes still queued too), a
// port or connection that is gone, a hang-up (or a peer's close) in a wait
// for that alone, the time limit, or a wait that cannot be made.
enum class Woken { Stop, Aside, Ready, Gone, HungUp, TimedOut, Failed };
// What ended an exchange's wait on its event beside a port or socket: the
// event (or a spurious wake-up), bytes or a hang-up on the port, the time
// limit, or a wait that cannot be made.
enum class EventOrPort { Event, Port, TimedOut, Failed };
// The exchange's wait where it cannot wait on the port beside its event:
// the event alone (Event, taken), the time limit, or a wait that failed.
inline EventOrPort WaitEventAlone(Handle event, long timeoutMs) {
    switch (WaitForEvent(event, timeoutMs)) {
        case WaitResult::Signalled:
            return EventOrPort::Event;
        case WaitResult::TimedOut:
            return EventOrPort::TimedOut;
        case WaitResult::Failed:
            break;
    }
    return EventOrPort::Failed;
}

// ---- Threads --------------------------------------------------------------
typedef unsigned (*ThreadProc)(void* arg);
// Starts a thread running proc(arg) at once. Returns null on failure.
Handle StartThread(ThreadProc proc, void* arg);
// Blocks until the thread has ended. Caller's thread.
void JoinThread(Handle thread);

// Keeps the process's signals off the calling thread for a scope. A thread
// started within it (StartThread does so itself) never takes a signal meant
// for the process, such as Ctrl-C: the signal goes to one of the host's
// threads, whose waits it interrupts. Nothing on Windows, which has no such
// signals.
class SignalsHeldOff {
public:
    SignalsHeldOff();
    ~SignalsHeldOff();
    SignalsHeldOff(const SignalsHeldOff&) = delete;
    SignalsHeldOff& operator=(const SignalsHeldOff&) = delete;

private:
    // The caller's signal mask, put back at the end (a sigset_t on POSIX).
    alignas(8) unsigned char m_Saved[128];
};

}  // namespace platform
}  // namespace veltor
