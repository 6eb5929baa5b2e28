// The receive side of a serial device: the port's reads, the line splitter
// that sorts what they bring, the ring that holds answer bytes for the
// exchange, the receive lock (the ring's), the awaiting flag, the data event
// that wakes the exchange, and who may touch them now. It alone owns them;
// the connection lends it the port between opening and closing.
//
// One owner at a time. The port, the splitter and the ring belong either to
// the watcher or to the attempt in progress (a ReceiveTurn):
// - The watcher owns them for the length of one drain, under the receive
//   lock (the ring's lock), unless it stands aside.
// - Where the platform lets an exchange wait on the port itself, an attempt
//   takes them at its beginning, under the receive lock, by making the
//   watcher stand aside (m_bAside), and from then on to its end reads them
//   without the lock. A watcher that finds itself aside under the lock
//   reads nothing. It takes the port back (clearing m_bAside, under the
//   lock) only while no attempt is under way and the line has been free of
//   attempts since m_PortBackAtUs, so back-to-back commands do not hand the
//   port over twice each.
// - Elsewhere the watcher keeps the port, and an attempt takes the receive
//   lock for each look at the splitter and the ring.
// Every other field here is read and written under that same rule.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/Platform.h"
#include "serial/CSerialBuffer.h"
#include "serial/LineSplitter.h"
#include "serial/Wire.h"
#include "serial/link/Link.h"

namespace veltor {

// Where the receive side hands what is no awaited answer: whole delay
// reports and the unasked bytes, with the status text of the command in
// progress. Runs with the receive side owned, on the watcher or the
// exchanging thread; must not throw.
class ReceiveSink {
public:
    virtual void Unasked(const SplitOutput& sorted, const char* status) = 0;

protected:
    ~ReceiveSink() = default;
};

class ReceiveSide {
public:
    explicit ReceiveSide(ReceiveSink& sink);
    ~ReceiveSide();
    // How long the line must be free of attempts before the watcher takes
    // the port back from the exchanging thread: back-to-back commands keep
    // it without a hand-over each.
    static constexpr long long kPortBackUs = 2000;
    ReceiveSide(const ReceiveSide&) = delete;
    ReceiveSide& operator=(const ReceiveSide&) = delete;

    // A new line: nothing half-received on an earlier one carries over. The
    // aside event (null where the exchange cannot wait on the port) wakes
    // the watcher when an attempt takes the port. False when the data event
    // cannot be made.
    bool Open(Handle port, Handle asideEvent);
    // The line is closed: no attempt awaits an answer on it.
    void Close();
    // Wakes the exchange's wait (a cancel, a close, a lost line). Any thread:
    // the data event, once made, lives as long as the receive side.
    void WakeExchange();
    // Waits for answer bytes or a wake-up, at most `ms` (the wait for
    // answers owed). Exchanging thread.
    void AwaitData(long ms);
    // Whether attempts read the port themselves (the platform allows it).
    bool ExchangeReadsPort() const { return m_bExchangeReads; }

    // ---- Answers owed (serial/protocol/Ledger.h keeps the count) ----
    // Answers the splitter has seen since the line opened. Any thread.
    unsigned long AnswersSeen() const { return m_nAnswersSeen.load(std::memory_order_acquire); }
    // How many requests the exchange counts as owing an answer: while more
    // than the answers seen, answer bytes arriving unasked are taken for
    // late answers, not noise. Exchanging thread.
    void CountRequests(unsigned long requests) {
        m_nRequests.store(requests, std::memory_order_relaxed);
    }

    // ---- The watcher's side ----
    // How long the watcher is to stand aside before it looks again: -1 when
    // it holds the port (it waits on the port, without a limit). While an
    // attempt owns the port, until that attempt's deadline has passed: the
    // watcher sleeps in the kernel for the whole of it, and the attempt's
    // end costs no wake-up. Takes the port back when it may. Takes the
    // receive lock.
    long WatcherAsideMs();
    // The port hung up while the watcher stood aside: -1 when it takes the
    // port back to read what is left and the end (no attempt is under way),
    // else how long to stand aside before looking again. Takes the receive
    // lock.
    long WatcherHungUpMs();
    // The attempt in progress ends by `endUs` at the latest (its deadline,
    // once its request is on the line). Exchanging thread.
    void AttemptEndsBy(long long endUs) {
        m_PortBackAtUs.store(endUs + kPortBackUs, std::memory_order_relaxed);
    }
    enum class Drain { Aside, Lost, Read, Signal };
    // Reads and sorts what the port holds, unless an attempt holds the
    // port (Aside). Signal: the exchange is to be woken (answer bytes
    // stored, an answer seen, or one held behind a cut-off report). Takes
    // the receive lock.
    Drain WatcherDrain(link::Watch* watch);

private:
    friend class ReceiveTurn;

    bool Sort(const unsigned char* bytes, unsigned long count, bool awaiting);
    bool Deliver();
    bool ReadPort(unsigned char* answer, long& have);
    long TakeAnswer(unsigned char* answer, long have);

    ReceiveSink& m_Sink;
    const bool m_bExchangeReads;
    // The ring of answer bytes; its lock is the receive lock.
    CSerialBuffer m_Ring;
    // Raised while an attempt awaits its answer: decides where the bytes
    // drained go (the ring, or the sink).
    std::atomic<bool> m_bAwaiting{false};
    // Set when answer bytes are stored, an answer is seen, or the exchange
    // is to wake; made at the first opening, released by the destructor.
    std::atomic<Handle> m_hDataEvent{nullptr};
    Handle m_hPort = nullptr;
    link::Link* m_pLink = nullptr;  // the port's, resolved once when it opened
    Handle m_hAsideEvent = nullptr;
    LineSplitter m_Splitter;
    SplitOutput m_Sorted;
    const char* m_pStatus = nullptr;  // the command in progress, for the sink
    // The watcher stands aside (see the top of this file).
    bool m_bAside = false;
    // When the watcher may take the port back: after the deadline of the
    // attempt in progress, or a moment after the last one ended. Published
    // before an attempt's end (m_bAwaiting) is.
    std::atomic<long long> m_PortBackAtUs{0};
    // Answers the splitter has seen, for a look without the receive lock,
    // and the requests the exchange counts as owing one.
    std::atomic<unsigned long> m_nAnswersSeen{0};
    std::atomic<unsigned long> m_nRequests{0};
};

// The receive side's part of one attempt, from the moment before its
// request is written to its end: the token an attempt holds while the
// receive side is its own (see the top of this file). Made and ended on the
// exchanging thread, which holds the device's lock throughout.
class ReceiveTurn {
public:
    // What is still waiting in the ring, and with `readWaiting` in the
    // driver's queue too, is taken out of the answer's way (reports reach
    // the sink, a late answer is given up), then the answer is awaited and,
    // where the exchange reads the port itself, the port is taken. Without
    // `readWaiting` (no answer is owed) the driver's queue is left to the
    // attempt's own reads: one system call less. The attempt is over by
    // `endByUs`, as far as can be told before its request is written (see
    // AttemptEndsBy).
    ReceiveTurn(ReceiveSide& side, const char* status, long long endByUs, bool readWaiting);
    // Answer bytes left in the ring belong to no attempt any more; the
    // watcher may take the port back a moment after `endUs`.
    void End(long long endUs);
    ~ReceiveTurn();
    ReceiveTurn(const ReceiveTurn&) = delete;
    ReceiveTurn& operator=(const ReceiveTurn&) = delete;

    // The port was found gone while the turn began.
    bool PortLost() const { return m_bLost; }
    // The turn reads the port itself (the watcher stands aside).
    bool ReadsPort() const { return m_bOwns; }
    struct Look {
        bool lost;   // the port is gone
        bool held;   // an answer waits behind what may be a cut-off report
        long whole;  // the awaited answer's length, as far as its header tells
    };
    // After a wake-up by the port (portReady), reads its bytes; then
    // takes what the ring holds of the awaited answer into answer[have..].
    Look Read(bool portReady, unsigned char* answer, long& have);
    // Takes the answer held behind a cut-off report: the line has been
    // quiet for longer than a report's bytes are apart.
    void ReleaseHeldAnswer();
    // Bytes since the turn began that were neither answer nor report.
    bool HeardNoise();
    // Waits at most `ms` for answer bytes, the port (where the turn reads
    // it) or a wake-up.
    link::DataWait Wait(long ms) {
        return m_Side.m_pLink != nullptr
                   ? link::WaitForDataOn(*m_Side.m_pLink,
                                         m_Side.m_hDataEvent.load(std::memory_order_relaxed), ms)
                   : link::DataWait::Failed;
    }

private:
    void Hold();
    void Release();

    ReceiveSide& m_Side;
    bool m_bOwns;  // the port, splitter and ring are this turn's own
    bool m_bLost;
    bool m_bEnded;
    unsigned long m_nNoiseAtStart;
};

// ---- Inline: on the path of every exchange ----

inline long ReceiveSide::TakeAnswer(unsigned char* answer, long have) {
    // The header first: it tells how long the rest is. Bytes after the
    // answer stay in the ring (the next answer, after a late one).
    const long held = m_Ring.Held();
    if (held == 0) {
        return have;
    }
    // The lead and length, from the record or still in the ring.
    const unsigned char lead = have > 0 ? answer[0] : m_Ring.Peek(0);
    const long length = have > 1 ? answer[1] : held > 1 - have ? m_Ring.Peek(1 - have) : -1;
    const long whole = lead == kNegativeLead ? 2 : length < 0 ? 2 : 2 + length;
    Handle dataEvent = m_hDataEvent.load(std::memory_order_relaxed);
    return have + m_Ring.GetHeld(answer + have, whole > have ? whole - have : 0, dataEvent);
}

inline void ReceiveTurn::Hold() {
    // A turn that reads the port itself holds the receive side already.
    if (!m_bOwns) {
        m_Side.m_Ring.Lock();
    }
}

inline void ReceiveTurn::Release() {
    if (!m_bOwns) {
        m_Side.m_Ring.Unlock();
    }
}

inline ReceiveTurn::Look ReceiveTurn::Read(bool portReady, unsigned char* answer, long& have) {
    Hold();
    const bool lost = portReady && !m_Side.ReadPort(answer, have);
    have = m_Side.TakeAnswer(answer, have);
    // A negative answer ends at its header; a positive one at the length its
    // header gives.
    const long whole = have < 2 ? 2 : answer[0] == kNegativeLead ? 2 : 2 + answer[1];
    const bool held = have < whole && m_Side.m_Splitter.HoldsAnswer();
    Release();
    return Look{lost, held, whole};
}

inline bool ReceiveTurn::HeardNoise() {
    Hold();
    const bool noise = m_Side.m_Splitter.Noise() != m_nNoiseAtStart;
    Release();
    return noise;
}

}  // namespace veltor
