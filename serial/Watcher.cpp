#include "serial/Watcher.h"

#include "serial/ReceiveSide.h"

namespace veltor {

Watcher::Watcher(ReceiveSide& side, Handle port, Handle stopEvent, Handle asideEvent)
    : m_Side(side),
      m_hPort(port),
      m_hStopEvent(stopEvent),
      m_hAsideEvent(asideEvent),
      m_pWatch(nullptr) {}

Watcher::~Watcher() {
    if (m_pWatch != nullptr) {
        link::WatchClose(m_pWatch);
    }
}

bool Watcher::Open() {
    m_pWatch = link::WatchOpen(m_hPort, m_hStopEvent, m_hAsideEvent);
    return m_pWatch != nullptr;
}

bool Watcher::Run() {
    // While aside: when to look whether to take the port back (-1: the
    // watcher holds the port and waits on it without a limit).
    long asideMs = -1;
    // While aside, a hang-up of the port wakes the watcher too, unless one
    // was seen already (it stays reported until the port is read).
    bool hungUp = false;
    for (;;) {
        const bool aside = asideMs >= 0;
        hungUp = hungUp && aside;
        const link::WatchEvent event = link::WatchWait(m_pWatch, !aside, asideMs, !hungUp);
        switch (event) {
            case link::WatchEvent::Stop:
                return false;
            case link::WatchEvent::Failed:
                return true;
            case link::WatchEvent::Aside:
            case link::WatchEvent::TimedOut:
                asideMs = m_Side.WatcherAsideMs();
                continue;
            case link::WatchEvent::HungUp:
                hungUp = true;
                asideMs = m_Side.WatcherHungUpMs();
                continue;
            case link::WatchEvent::Received:
                break;
        }
        switch (m_Side.WatcherDrain(m_pWatch)) {
            case ReceiveSide::Drain::Aside:
                // An attempt took the port meanwhile: aside until its
                // deadline.
                asideMs = m_Side.WatcherAsideMs();
                break;
            case ReceiveSide::Drain::Lost:
                return true;
            case ReceiveSide::Drain::Signal:
                m_Side.WakeExchange();
                break;
            case ReceiveSide::Drain::Read:
                break;
        }
    }
}

}  // namespace veltor
