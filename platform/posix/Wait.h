// Waits on the layer's events beside a descriptor (a terminal or a socket),
// and the read of what a descriptor holds: what the POSIX links
// (serial/link/posix, platform/posix/Socket.cpp) are built on.
#pragma once

#include <errno.h>
#include <poll.h>

#include <cstddef>

#include "platform/Platform.h"
#include "platform/posix/Handles.h"
#include "platform/posix/Sys.h"

namespace veltor {
namespace platform {
namespace posix {

// The watcher's wait. Blocks, without any periodic wake-up, until the stop
// event is set (Stop), the aside event (may be null) is set (Aside), with
// withFd the descriptor has bytes or hung up with bytes still queued (Ready)
// or it hung up or failed with nothing queued (Gone), or timeoutMs has
// passed (TimedOut; below 0: no limit). Without withFd but with hangUp, only
// a hang-up (or a network peer's close) of the descriptor ends the wait
// (HungUp); bytes it receives do not. Without either, the descriptor is not
// waited on. Failed: the wait cannot be made. Watcher thread.
Woken WaitEventsOrFd(Handle stopEvent, Handle asideEvent, int fd, bool withFd, bool hangUp,
                     long timeoutMs);

// The exchange's wait: until the event is set (Event, taken; also a spurious
// wake-up, a signal or a set that raced a reset), the descriptor has bytes
// or hung up (Port), or timeoutMs passes. The exchanging thread. Inline:
// once per exchange.
inline EventOrPort WaitEventOrFd(Handle eventHandle, int fd, long timeoutMs) {
    auto* event = As<Event>(eventHandle);
    if (event == nullptr || fd < 0) {
        return EventOrPort::Failed;
    }
    if (TakeEvent(event)) {
        return EventOrPort::Event;
    }
    pollfd p[2] = {{event->fd, POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = SysPoll(p, 2, timeoutMs < 0 ? -1 : static_cast<int>(timeoutMs));
    if (ready < 0) {
        // Interrupted by a signal: the caller looks and waits again.
        return errno == EINTR ? EventOrPort::Event : EventOrPort::Failed;
    }
    if (ready == 0) {
        return EventOrPort::TimedOut;
    }
    if ((p[1].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return EventOrPort::Port;
    }
    // The event is set (taken here), or its counter is left over from a
    // reset that raced a set: a spurious wake-up, which the caller treats
    // like any other (it looks, finds nothing, and waits again).
    if (!TakeEvent(event)) {
        DrainCounter(event);
    }
    return EventOrPort::Event;
}

// A non-blocking read of what is queued: 0 when nothing is, -1 when the
// line is gone (end of file after a hang-up or a closed connection, or an
// error such as EIO or a reset).
inline long ReadQueued(int fd, unsigned char* buffer, std::size_t capacity) {
    for (;;) {
        const long got = SysRead(fd, buffer, capacity);
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
}  // namespace platform
}  // namespace veltor
