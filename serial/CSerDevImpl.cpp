#include "serial/CSerDevImpl.h"

#include <veltor/CCommand.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "serial/Clock.h"
#include "serial/Wire.h"
#include "serial/link/Link.h"

namespace lk = veltor::link;
namespace protocol = veltor::protocol;

using veltor::MsUntil;
using veltor::NowUs;
using veltor::WireUs;
using veltor::WriteBoundMs;

namespace {

// The device whose line bytes this thread is handing to HandleUnsolicited.
thread_local const CSerDev* t_pHandingOver = nullptr;

// Marks a hand-over of line bytes for its scope.
class HandingOver {
public:
    explicit HandingOver(const CSerDev* device) : m_pOuter(t_pHandingOver) {
        t_pHandingOver = device;
    }
    ~HandingOver() { t_pHandingOver = m_pOuter; }
    HandingOver(const HandingOver&) = delete;
    HandingOver& operator=(const HandingOver&) = delete;

private:
    const CSerDev* m_pOuter;
};

}  // namespace

bool CSerDev::HandsOverLineBytes() const {
    return t_pHandingOver == this;
}

// ---- Carrying out the exchange ------------------------------------------------------

inline protocol::Line CSerDev::Impl::LineNow(long long nowUs) const {
    protocol::Line line;
    line.nowUs = nowUs != 0 ? nowUs : NowUs();
    line.seen = m_Receive.AnswersSeen();
    const veltor::Connection::View view = m_Connection.Look();
    line.connected = view.connected;
    line.lost = view.lost;
    line.closing = view.closing;
    line.cancelled = m_Connection.Commands().Cancelled();
    return line;
}

// Send, RequestOnWire and ReadAnswer are defined inline here, before the
// driver's loop, their one caller: each runs once per exchange.

inline long long CSerDev::Impl::RequestOnWire(int count, long long writeStartUs, long long& nowUs) {
    // write() returns once the driver has queued the bytes. The request is on
    // the wire when the driver's queue has drained, where the driver can
    // tell, and no earlier than the wire time of everything written before
    // it, where it cannot (a pseudo-terminal, a USB adapter with a deep
    // buffer).
    m_LineFreeUs = std::max(m_LineFreeUs, writeStartUs) + WireUs(count, m_Connection.Baud());
    if (lk::Link* link = m_Connection.PortLink()) {
        lk::DrainOn(*link, WriteBoundMs(std::max(0LL, m_LineFreeUs - writeStartUs)));
    }
    nowUs = NowUs();
    return std::max(nowUs, m_LineFreeUs);
}

inline protocol::Step CSerDev::Impl::Send(protocol::Exchange& exchange, CCommand* command,
                                          veltor::ReceiveTurn& turn, long long& nowUs) {
    if (turn.PortLost()) {
        m_Connection.MarkLost();
        return exchange.NotSent(protocol::Outcome::kPortLost, LineNow());
    }
    const long long start = nowUs;
    exchange.Writing(LineNow(start));
    // The receive side counts the request as owed before it can be answered.
    m_Receive.CountRequests(m_Ledger.requests);
    const long long wire = WireUs(command->m_RequestLength, m_Connection.Baud());
    Trace(TraceEvent::kRequest, command->m_Request,
          static_cast<unsigned long>(command->m_RequestLength), command->m_Status);
    lk::Link* link = m_Connection.PortLink();
    if (link == nullptr || !lk::WriteOn(*link, command->m_Request, command->m_RequestLength,
                                        WriteBoundMs(wire + std::max(0LL, m_LineFreeUs - start)))) {
        return exchange.Written(false, 0, LineNow());
    }
    const long long onWire = RequestOnWire(command->m_RequestLength, start, nowUs);
    return exchange.Written(true, onWire, LineNow(nowUs));
}

inline int CSerDev::Impl::ReadAnswer(veltor::ReceiveTurn& turn, unsigned char* answer, long& have,
                                     long long deadlineUs, long long nowUs) {
    // An answer held behind what may be a cut-off report is released once
    // the line has been quiet for longer than a report's bytes are apart.
    const long long graceUs = 20000 + WireUs(10, m_Connection.Baud());
    long long releaseAt = 0;
    bool portReady = false;
    // A turn that reads the port itself begins with nothing in the ring and
    // nothing under way in the splitter: its first look is after the wait.
    bool waitFirst = turn.ReadsPort();
    for (;;) {
        // After a wake-up by the port, its bytes are read and the ring looked
        // into together.
        const veltor::ReceiveTurn::Look look = waitFirst
                                                   ? veltor::ReceiveTurn::Look{false, false, 2}
                                                   : turn.Read(portReady, answer, have);
        waitFirst = false;
        if (look.lost) {
            m_Connection.MarkLost();
        }
        // The body of an answer may take its own wire time beyond the
        // attempt's deadline.
        const long whole = look.whole;
        const bool held = look.held;
        if (have >= whole) {
            return 0;
        }
        if (m_Connection.Lost()) {
            return -2;
        }
        if (m_Connection.Closing()) {
            return -3;
        }
        if (m_Connection.Commands().Cancelled()) {
            return -4;
        }
        const long long endUs =
            have < 2 ? deadlineUs : deadlineUs + WireUs(whole - 2, m_Connection.Baud());
        if (nowUs == 0) {
            nowUs = NowUs();
        }
        // The deadline is looked at on every turn, not only when a wait runs
        // out: a line that never stops sending (noise, a flood of zeros) must
        // not keep the attempt going.
        if (nowUs >= endUs) {
            return -1;
        }
        releaseAt = !held ? 0 : releaseAt != 0 ? releaseAt : nowUs + graceUs;
        if (releaseAt != 0 && nowUs >= releaseAt) {
            turn.ReleaseHeldAnswer();
            releaseAt = 0;
            nowUs = 0;
            portReady = false;
            continue;
        }
        const long long wakeAt = releaseAt != 0 ? std::min(releaseAt, endUs) : endUs;
        const long long left = wakeAt - nowUs;
        const long waitMs = left > 0 ? static_cast<long>((left + 999) / 1000) : 0;
        const lk::DataWait woken = turn.Wait(waitMs);
        nowUs = 0;
        portReady = woken == lk::DataWait::Port;
    }
}

protocol::Step CSerDev::Impl::Drive(protocol::Exchange& exchange) {
    // The receive side's part of the attempt in progress.
    std::optional<veltor::ReceiveTurn> turn;
    // The time read last, where it is fresh enough to spare another reading
    // (0 once the thread may have waited since).
    long long nowUs = NowUs();
    unsigned char answer[2 + 256];
    protocol::Step step = exchange.Start(LineNow(nowUs));
    for (;;) {
        m_Receive.CountRequests(m_Ledger.requests);
        if (step.attemptEnded) {
            m_LastOutcome = static_cast<Outcome>(step.attemptOutcome);
            if (turn) {
                turn->End(m_Ledger.lastAttemptEndUs);
                turn.reset();
            }
        }
        switch (step.kind) {
            case protocol::Step::kDone:
                if (exchange.Last() != protocol::Outcome::kNone) {
                    m_LastOutcome = static_cast<Outcome>(exchange.Last());
                }
                return step;
            case protocol::Step::kSend: {
                // Until its request is written, the attempt's end is bounded
                // by the time-out counted from now, the request's own wire
                // time and what is still on the line before it.
                CCommand* command = step.command;
                if (nowUs == 0) {
                    nowUs = NowUs();
                }
                const long long endBy = std::max(nowUs, m_LineFreeUs) +
                                        WireUs(command->m_RequestLength, m_Connection.Baud()) +
                                        static_cast<long long>(command->m_Timeout) * 1000;
                turn.emplace(m_Receive, command->m_Status, endBy, step.takeWaiting);
                step = Send(exchange, command, *turn, nowUs);
                if (step.kind == protocol::Step::kAwaitAnswer) {
                    m_Receive.AttemptEndsBy(step.deadlineUs);
                } else {
                    nowUs = 0;
                }
                break;
            }
            case protocol::Step::kAwaitAnswer: {
                long have = 0;
                const int read = ReadAnswer(*turn, answer, have, step.deadlineUs, nowUs);
                nowUs = 0;
                if (read <= -2) {
                    step = exchange.Stopped(LineNow());
                    break;
                }
                // A refusal, and an answer cut off after its header, are
                // traced as far as the header.
                const bool whole = read == 0;
                if (have >= 2) {
                    const bool headerOnly = answer[0] == veltor::kNegativeLead || !whole;
                    Trace(TraceEvent::kAnswer, answer,
                          headerOnly ? 2UL : static_cast<unsigned long>(have),
                          step.command->m_Status);
                }
                const bool noise = have < 2 && turn->HeardNoise();
                step = exchange.Answered(answer, have, whole, noise, LineNow());
                break;
            }
            case protocol::Step::kAwaitOwed:
                m_Receive.AwaitData(MsUntil(step.deadlineUs));
                nowUs = 0;
                step = exchange.Woken(LineNow());
                break;
        }
    }
}

// ---- What the instrument sent unasked ----------------------------------------------

void CSerDev::Impl::Unasked(const veltor::SplitOutput& sorted, const char* status) {
    // Reports first: a host that learns of the bytes learns of their
    // effect too.
    for (std::size_t i = 0; i < sorted.reports.count; ++i) {
        try {
            m_Self.HandleDelayReport(sorted.reports.items[i].channel,
                                     sorted.reports.items[i].counts);
        } catch (...) {
            // A handler that throws loses that report only.
        }
    }
    if (sorted.other.count == 0) {
        return;
    }
    Trace(TraceEvent::kUnasked, sorted.other.items, sorted.other.count, status);
    try {
        HandingOver handing(&m_Self);
        // The handler's parameter is not const; the bytes are the
        // splitter's, and the next sort overwrites them anyway.
        m_Self.HandleUnsolicited(const_cast<unsigned char*>(sorted.other.items),
                                 sorted.other.count);
    } catch (...) {
        // A host's handler that throws must not end the watcher.
    }
}

// ---- The wire trace ------------------------------------------------------------------

void CSerDev::Impl::CallTrace(TraceEvent::Kind kind, const unsigned char* bytes,
                              unsigned long count, const char* status) {
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    std::lock_guard<std::mutex> hold(m_TraceLock);
    if (!m_Trace) {
        return;
    }
    const TraceEvent event{kind, bytes, count, now, status != nullptr ? status : ""};
    try {
        m_Trace(event);
    } catch (...) {
        // A trace that throws must not end an exchange or the watcher.
    }
}

// ---- The failure text of the last command -------------------------------------------

std::string CSerDev::Impl::LastError() const {
    std::lock_guard<std::mutex> hold(m_ErrorLock);
    return m_LastError;
}

void CSerDev::Impl::SetLastError(const std::string& text) {
    // Every command clears it: without a failure to clear, no lock.
    if (text.empty() && !m_bHasError) {
        return;
    }
    std::lock_guard<std::mutex> hold(m_ErrorLock);
    m_LastError = text;
    m_bHasError = !text.empty();
}
