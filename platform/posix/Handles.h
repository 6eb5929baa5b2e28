// The objects behind the POSIX layer's handles.
#pragma once

#include <pthread.h>

#include <atomic>
#include <string>

#include "platform/Platform.h"

namespace veltor {
namespace platform {
namespace posix {

// What a handle holds. The kind is a plain tag so that finding the object
// behind a handle, which every call of this layer does, costs no
// dynamic_cast.
struct Object {
    enum class Kind { Event, Thread };
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
    // A handle of a higher layer's object (FromHandle) is none of these.
    if (!IsHeld(h) || FromHandle(h) != nullptr) {
        return nullptr;
    }
    Object* object = static_cast<Object*>(h);
    return object->kind == T::kKind ? static_cast<T*>(object) : nullptr;
}

inline Handle ToHandle(Object* object) {
    return static_cast<Handle>(object);
}

// Empties the counter, leaving the mirror alone.
void DrainCounter(Event* event);
// Takes an event's "set" if it is set, draining its counter; true when it
// was. No system call when it is not set. A plain look first: an event found
// reset (the usual case for the receive ring's) costs no locked instruction.
// Inline: the exchange looks at its data event several times.
inline bool TakeEvent(Event* event) {
    if (!event->signalled.load(std::memory_order_relaxed) || !event->signalled.exchange(false)) {
        return false;
    }
    DrainCounter(event);
    return true;
}
// The thread's reason set by SetFailure: where the system's own words
// (errno) would mislead or say too little; empty otherwise.
extern thread_local std::string t_Failure;

}  // namespace posix
}  // namespace platform
}  // namespace veltor
