#include "platform/posix/Wait.h"

#include <errno.h>
#include <poll.h>

#include "platform/posix/Handles.h"
#include "platform/posix/Sys.h"

namespace veltor {
namespace platform {
namespace posix {

Woken WaitEventsOrFd(Handle stopEvent, Handle asideEvent, int fd, bool withFd, bool hangUp,
                     long timeoutMs) {
    if (!withFd && !hangUp) {
        fd = -1;
    }
    const bool hangUpOnly = !withFd;
    Event* stop = As<Event>(stopEvent);
    Event* aside = As<Event>(asideEvent);
    if (stop == nullptr) {
        return Woken::Failed;
    }
#ifdef POLLRDHUP
    // A network peer's close, told apart from data.
    const short kHangUpEvents = POLLRDHUP;
#else
    const short kHangUpEvents = 0;
#endif
    const long long deadline = timeoutMs < 0 ? 0 : NowMs() + timeoutMs;
    bool first = true;
    for (;;) {
        if (stop->manualReset ? stop->signalled.load() : TakeEvent(stop)) {
            return Woken::Stop;
        }
        if (aside != nullptr && TakeEvent(aside)) {
            return Woken::Aside;
        }
        pollfd p[3] = {{stop->fd, POLLIN, 0},
                       {aside != nullptr ? aside->fd : -1, POLLIN, 0},
                       {fd, hangUpOnly ? kHangUpEvents : static_cast<short>(POLLIN), 0}};
        // The first pass waits the whole time: the deadline was just taken.
        const int wait = timeoutMs < 0 ? -1
                         : first       ? static_cast<int>(timeoutMs)
                                       : static_cast<int>(MillisecondsLeft(deadline));
        first = false;
        const int ready = SysPoll(p, 3, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Woken::Failed;
        }
        if (ready == 0) {
            return Woken::TimedOut;
        }
        if ((p[0].revents & POLLIN) != 0 || (p[1].revents & POLLIN) != 0) {
            // Set (taken at the top), or a counter left over from a race:
            // only the one that was readable is drained.
            if ((p[0].revents & POLLIN) != 0 && !stop->signalled.load()) {
                DrainCounter(stop);
            }
            if ((p[1].revents & POLLIN) != 0 && !aside->signalled.load()) {
                DrainCounter(aside);
            }
            continue;
        }
        if (hangUpOnly) {
            return Woken::HungUp;
        }
        // A hang-up also reports the descriptor readable: the read that
        // follows finds what is left, then the end of the file.
        if ((p[2].revents & POLLIN) != 0) {
            return Woken::Ready;
        }
        // Hang-up or error without data: the line is gone.
        if ((p[2].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return Woken::Gone;
        }
    }
}

}  // namespace posix
}  // namespace platform
}  // namespace veltor
