// The watcher thread's work: it waits on the port and drains what arrives
// into the receive side, and stands aside while attempts read the port
// themselves (see serial/ReceiveSide.h for who owns the port when).
#pragma once

#include "platform/Platform.h"
#include "serial/link/Link.h"

namespace veltor {

class ReceiveSide;

class Watcher {
public:
    // The port and the events are the connection's and outlive the watcher.
    Watcher(ReceiveSide& side, Handle port, Handle stopEvent, Handle asideEvent);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Makes the watcher's waits on the port; false when it cannot wait on it.
    bool Open();
    // Drains the port until the stop event is set (false) or the port is
    // gone (true): a hang-up, end of file or failed read. It ends rather than
    // spin on a port that reports readable forever.
    bool Run();

private:
    ReceiveSide& m_Side;
    Handle m_hPort;
    Handle m_hStopEvent;
    Handle m_hAsideEvent;
    link::Watch* m_pWatch;
};

}  // namespace veltor
