// The objects behind the POSIX layer's handles.
#pragma once

#include <pthread.h>

#include "platform/Platform.h"

namespace veltor {
namespace platform {
namespace posix {

struct Object {
    virtual ~Object() {}
};

// An event is an eventfd: a nonzero counter is "set", so it can be waited on
// with poll() beside the port.
struct Event : Object {
    ~Event() override;
    int fd = -1;
    bool manualReset = false;
};

struct Port : Object {
    ~Port() override;
    int fd = -1;
    long baud = 0;
};

struct Thread : Object {
    ~Thread() override;
    pthread_t thread{};
    ThreadProc proc = nullptr;
    void* arg = nullptr;
    bool joined = false;
};

template <typename T>
T* As(Handle h) {
    return IsHeld(h) ? dynamic_cast<T*>(static_cast<Object*>(h)) : nullptr;
}

inline Handle ToHandle(Object* object) {
    return static_cast<Handle>(object);
}

// Takes an auto-reset event's "set" if it is set; true when it was.
bool ConsumeEvent(Event* event);
long MillisecondsLeft(long long deadlineMs);
long long NowMs();

}  // namespace posix
}  // namespace platform
}  // namespace veltor
