// The operating-system layer under the serial device: ports, events, a lock
// and threads. One implementation per system (platform/posix, platform/win32),
// chosen by the build; nothing above this header tests which system it runs on.
//
// Handles are opaque: a null handle was never held, InvalidHandle() marks a
// released one. Every handle made here is released with CloseHandle.
#pragma once

#include <veltor/Ports.h>
#include <veltor/export.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltor {
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

// Opens a port exclusively for reading and writing. Returns null when the
// port is absent or held by another handle. Non-blocking; caller's thread.
Handle OpenPort(const char* name);

// Configures an open port in four steps: report received bytes (-2 on
// failure), read the line settings (-3), write them back as 8N1 raw at the
// given speed (-4), make reads return at once with what is queued (-5).
// Returns 0 or the code of the first failing step. Caller's thread.
int PortConfigure(Handle port, long baud);

// Discards the driver's receive queue. Non-blocking; any thread.
void PortPurgeInput(Handle port);

// Writes count bytes and waits for the write to complete for at most
// timeoutMs. A write still pending then is cancelled; nothing of the write
// (its bytes, its completion record) is left for the driver to touch in the
// caller's memory. Returns false when the write failed or was cancelled.
// Caller's thread.
bool PortWrite(Handle port, const unsigned char* bytes, int count, long timeoutMs);

// While one lives, the calling thread's PortWrite and PortDrain wait no
// longer than `timeoutMs` from its making, whatever bound they are given, and
// a serial port the thread closes drops the bytes it has not sent instead of
// waiting for them (a port held by flow control is otherwise waited for at
// close, on Linux up to 30 s): the port probe's bound holds however the line
// behaves. Nests: the innermost one holds. Caller's thread.
class PortDeadline {
public:
    explicit PortDeadline(long timeoutMs)
        : m_Outer(Current()),
          m_Deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {
        Current() = this;
    }
    ~PortDeadline() { Current() = m_Outer; }
    PortDeadline(const PortDeadline&) = delete;
    PortDeadline& operator=(const PortDeadline&) = delete;

    // A wait of timeoutMs (negative: no limit) cut to what is left of the
    // calling thread's deadline, if one lives; 0 once it has passed.
    static long Bound(long timeoutMs) {
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
    const PortDeadline* m_Outer;
    std::chrono::steady_clock::time_point m_Deadline;
};

// Waits at most timeoutMs for the bytes written so far to leave the driver's
// output queue, where the driver can tell; returns at once where it cannot (a
// pseudo-terminal, a driver that reports its queue empty). Caller's thread.
void PortDrain(Handle port, long timeoutMs);

// Reads at most capacity of the bytes waiting in the driver's input queue
// without waiting for more. Returns the number read (0 when none wait), or -1
// when the port is gone (hang-up, end of file, a failed read). Non-blocking;
// any thread holding the receive lock (the watcher's drains hold it too).
long PortReadQueued(Handle port, unsigned char* buffer, std::size_t capacity);

// The machine's serial ports, without probing: sysfs on Linux, the
// registry's SERIALCOMM list on Windows. Blocks on file reads; any thread.
std::vector<PortInfo> ListSerialPorts();

// ---- The watcher's waits ------------------------------------------------------
// What the watcher needs for its waits on the port, made and released on the
// watcher thread.
struct Watch;
// `asideEvent` (may be null) wakes the watcher when the exchange starts or
// stops reading the port itself (see PortWaitable).
Watch* WatchOpen(Handle port, Handle stopEvent, Handle asideEvent = nullptr);
void WatchClose(Watch* watch);

enum class WatchEvent { Stop, Received, Failed, Aside, TimedOut, HungUp };
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

// ---- The exchange's wait --------------------------------------------------------
// True where an exchange can wait on the port itself (beside its data event)
// and read its answer without waking the watcher: one thread hand-off less
// per exchange. Where false, WaitForDataOrPort only waits on the event.
bool PortWaitable();
enum class DataWait { Data, Port, TimedOut, Failed };
// Blocks until the event is set (Data, taken), the port has bytes or hung up
// (Port), or timeoutMs passes. Data may also be a spurious wake-up (a
// signal, a set that raced a reset): the caller looks, finds nothing and
// waits again with what is left of its time. The exchanging thread.
DataWait WaitForDataOrPort(Handle event, Handle port, long timeoutMs);

// Reads at most capacity of the bytes waiting in the driver's input queue,
// clearing any line error first. Returns the number read (0 when none wait),
// or -1 when the port is gone (hang-up, end of file, a failed read): the
// watcher then ends. Non-blocking; watcher thread, receive lock held.
long WatchRead(Watch* watch, unsigned char* buffer, std::size_t capacity);

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
