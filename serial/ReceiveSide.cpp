#include "serial/ReceiveSide.h"

#include <cstring>

#include "serial/CSerialBuffer.h"
#include "serial/Clock.h"
#include "serial/Wire.h"

namespace pf = veltor::platform;

namespace veltor {

namespace {

// The receive lock for a scope: nothing can leave it taken.
class ReceiveLock {
public:
    explicit ReceiveLock(CSerialBuffer& ring) : m_Ring(ring) { m_Ring.Lock(); }
    ~ReceiveLock() { m_Ring.Unlock(); }
    ReceiveLock(const ReceiveLock&) = delete;
    ReceiveLock& operator=(const ReceiveLock&) = delete;

private:
    CSerialBuffer& m_Ring;
};

}  // namespace

ReceiveSide::ReceiveSide(ReceiveSink& sink)
    : m_Sink(sink), m_bExchangeReads(link::PortWaitable()) {}

ReceiveSide::~ReceiveSide() {
    const Handle dataEvent = m_hDataEvent.load();
    if (pf::IsHeld(dataEvent)) {
        pf::CloseHandle(dataEvent);
    }
}

bool ReceiveSide::Open(Handle port, Handle asideEvent) {
    ReceiveLock receive(m_Ring);
    Handle dataEvent = m_hDataEvent.load();
    if (dataEvent == nullptr) {
        dataEvent = pf::CreateEvent(false);
        if (dataEvent == nullptr) {
            return false;
        }
        m_hDataEvent.store(dataEvent);
    }
    // A wake-up meant for the last line is no answer on this one.
    m_Ring.MarkEmpty(dataEvent);
    m_bAwaiting = false;
    m_hPort = port;
    m_pLink = link::AsLink(port);
    m_hAsideEvent = asideEvent;
    m_Splitter = LineSplitter();
    m_Sorted.Clear();
    m_pStatus = nullptr;
    m_bAside = false;
    m_PortBackAtUs = 0;
    m_nAnswersSeen = 0;
    m_nRequests = 0;
    return true;
}

void ReceiveSide::Close() {
    ReceiveLock receive(m_Ring);
    m_bAwaiting = false;
    m_hPort = nullptr;
    m_pLink = nullptr;
    m_hAsideEvent = nullptr;
}

void ReceiveSide::WakeExchange() {
    const Handle dataEvent = m_hDataEvent.load();
    if (dataEvent != nullptr) {
        pf::SetEvent(dataEvent);
    }
}

void ReceiveSide::AwaitData(long ms) {
    pf::WaitForEvent(m_hDataEvent.load(std::memory_order_relaxed), ms);
}

// ---- The watcher's side ---------------------------------------------------------

long ReceiveSide::WatcherAsideMs() {
    // The watcher is not woken at an attempt's end (a system call per
    // exchange); it looks by itself once the attempt's deadline has passed.
    // Until then the exchanging thread reads what arrives, and reports that
    // come after the attempt wait in the driver's queue for the watcher or
    // the next attempt.
    ReceiveLock receive(m_Ring);
    if (!m_bAside) {
        return -1;
    }
    const long ms = MsUntil(m_PortBackAtUs.load(std::memory_order_relaxed));
    if (ms > 0) {
        return ms;
    }
    if (m_bAwaiting) {
        // The attempt outlasts its deadline (its answer's body is still on
        // the line): a look again once a report's bytes would have come.
        return static_cast<long>(kPortBackUs / 1000);
    }
    m_bAside = false;
    return -1;
}

long ReceiveSide::WatcherHungUpMs() {
    ReceiveLock receive(m_Ring);
    if (!m_bAside) {
        return -1;
    }
    if (m_bAwaiting) {
        // The attempt sees the hang-up itself and ends.
        return static_cast<long>(kPortBackUs / 1000);
    }
    m_bAside = false;
    return -1;
}

ReceiveSide::Drain ReceiveSide::WatcherDrain(link::Watch* watch) {
    unsigned char drained[kMaxFeed];
    ReceiveLock receive(m_Ring);
    if (m_bAside) {
        // An attempt took the port meanwhile: its bytes are its own.
        return Drain::Aside;
    }
    const long count = link::WatchRead(watch, drained, sizeof(drained));
    if (count < 0) {
        return Drain::Lost;
    }
    if (count == 0) {
        return Drain::Read;
    }
    return Sort(drained, static_cast<unsigned long>(count), m_bAwaiting) ? Drain::Signal
                                                                         : Drain::Read;
}

// ---- Sorting ----------------------------------------------------------------------

bool ReceiveSide::Sort(const unsigned char* bytes, unsigned long count, bool awaiting) {
    m_Sorted.Clear();
    const unsigned long answers = m_Splitter.Answers();
    m_Splitter.ExpectAnswers(
        static_cast<long>(m_nRequests.load(std::memory_order_relaxed) - answers) > 0);
    m_Splitter.Feed(bytes, count, awaiting, m_Sorted);
    const bool stored = Deliver();
    // The exchange is woken for a held answer too, to time its release.
    return stored || m_Splitter.Answers() != answers || (awaiting && m_Splitter.HoldsAnswer());
}

bool ReceiveSide::Deliver() {
    // Every call of the splitter is followed by a delivery: the count of
    // answers it has seen is published here.
    m_nAnswersSeen.store(m_Splitter.Answers(), std::memory_order_release);
    if (m_Sorted.answer.count > 0) {
        m_Ring.Put(m_Sorted.answer.items, m_Sorted.answer.count);
    }
    if (m_Sorted.reports.count > 0 || m_Sorted.other.count > 0) {
        m_Sink.Unasked(m_Sorted, m_pStatus);
    }
    const bool stored = m_Sorted.answer.count > 0;
    m_Sorted.Clear();
    return stored;
}

bool ReceiveSide::ReadPort(unsigned char* answer, long& have) {
    // The same reading and sorting as the watcher's, so that every byte is
    // taken once and in order whichever thread reads it.
    unsigned char bytes[kMaxFeed];
    const long count = m_pLink != nullptr ? link::ReadQueuedOn(*m_pLink, bytes, sizeof(bytes)) : -1;
    if (count <= 0) {
        return count == 0;
    }
    // The usual case: the answer alone, whole. It would pass through the
    // splitter and the ring unchanged; it is taken as they would give it.
    std::size_t taken = 0;
    if (have == 0 && m_bAwaiting && m_Ring.Held() == 0) {
        taken = m_Splitter.TakeWholeAnswer(bytes, static_cast<std::size_t>(count));
        std::memcpy(answer, bytes, taken);
        have = static_cast<long>(taken);
    }
    if (taken < static_cast<std::size_t>(count)) {
        Sort(bytes + taken, static_cast<unsigned long>(count) - taken, m_bAwaiting);
    } else {
        m_nAnswersSeen.store(m_Splitter.Answers(), std::memory_order_release);
    }
    return true;
}

// ---- One attempt --------------------------------------------------------------------

ReceiveTurn::ReceiveTurn(ReceiveSide& side, const char* status, long long endByUs, bool readWaiting)
    : m_Side(side), m_bOwns(false), m_bLost(false), m_bEnded(false), m_nNoiseAtStart(0) {
    unsigned char waiting[kMaxFeed];
    bool handOver = false;
    {
        ReceiveLock receive(side.m_Ring);
        side.m_pStatus = status;
        for (int reads = 0; readWaiting && reads < 8; ++reads) {
            const long count = side.m_pLink != nullptr
                                   ? link::ReadQueuedOn(*side.m_pLink, waiting, sizeof(waiting))
                                   : -1;
            if (count < 0) {
                m_bLost = true;
                break;
            }
            if (count > 0) {
                side.Sort(waiting, static_cast<unsigned long>(count), false);
            }
            if (count < static_cast<long>(sizeof(waiting))) {
                break;
            }
        }
        // An answer held behind a cut-off report came before this request.
        if (!side.m_Splitter.Idle()) {
            side.m_Sorted.Clear();
            side.m_Splitter.ReleaseHeldAnswer(false, side.m_Sorted);
            side.m_Splitter.EndAnswer(side.m_Sorted);
            side.Deliver();
        }
        Handle dataEvent = side.m_hDataEvent.load(std::memory_order_relaxed);
        side.m_Ring.MarkEmpty(dataEvent);
        m_nNoiseAtStart = side.m_Splitter.Noise();
        side.AttemptEndsBy(endByUs);
        // Awaiting is raised before the request goes out: an instrument that
        // answers before the write call returns must not have its answer
        // taken for unasked bytes (the retry would carry the command out
        // twice).
        side.m_bAwaiting = !m_bLost;
        // The watcher is woken only when it holds the port: after
        // back-to-back attempts it has stood aside since the last one.
        m_bOwns = side.m_bExchangeReads && !m_bLost;
        handOver = m_bOwns && !side.m_bAside;
        if (handOver) {
            side.m_bAside = true;
        }
    }
    if (handOver) {
        pf::SetEvent(side.m_hAsideEvent);
    }
}

void ReceiveTurn::End(long long endUs) {
    if (m_bEnded) {
        return;
    }
    m_bEnded = true;
    Hold();
    m_Side.m_pStatus = nullptr;
    Handle dataEvent = m_Side.m_hDataEvent.load(std::memory_order_relaxed);
    m_Side.m_Ring.MarkEmpty(dataEvent);
    // The watcher takes the port back unless another attempt begins soon. It
    // is not woken for that: it looks by itself. The time is published
    // before the end, so that a watcher that sees the end sees the time.
    m_Side.m_PortBackAtUs.store(endUs + ReceiveSide::kPortBackUs, std::memory_order_relaxed);
    m_Side.m_bAwaiting = false;
    Release();
    m_bOwns = false;
}

ReceiveTurn::~ReceiveTurn() {
    if (!m_bEnded) {
        End(NowUs());
    }
}

void ReceiveTurn::ReleaseHeldAnswer() {
    Hold();
    m_Side.m_Sorted.Clear();
    m_Side.m_Splitter.ReleaseHeldAnswer(true, m_Side.m_Sorted);
    m_Side.Deliver();
    Release();
}

}  // namespace veltor
