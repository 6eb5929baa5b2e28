// What a serial device holds behind its exported class: the connection, the
// receive side, the exchange's record of answers owed and of the line's
// timing, the last outcome and failure text, and the wire trace. It carries
// out what the exchange (serial/protocol/Exchange.h) asks: writes, reads and
// waits on the line.
#pragma once

#include <veltor/CSerDev.h>

#include <atomic>
#include <mutex>
#include <string>

#include "serial/Connection.h"
#include "serial/ReceiveSide.h"
#include "serial/protocol/Exchange.h"
#include "serial/protocol/Ledger.h"

struct CSerDev::Impl final : veltor::ReceiveSink, veltor::LineLostHook {
    explicit Impl(CSerDev& self) : m_Self(self), m_Receive(*this), m_Connection(m_Receive, *this) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // ---- Carrying out the exchange (the exchanging thread, under the command lock) ----
    // Does what the exchange asks (writes, reads, waits) until its run ends.
    veltor::protocol::Step Drive(veltor::protocol::Exchange& exchange);
    veltor::protocol::Step Send(veltor::protocol::Exchange& exchange, CCommand* command,
                                veltor::ReceiveTurn& turn, long long& nowUs);
    // The line's state as the exchange takes it (nowUs 0: the time now).
    veltor::protocol::Line LineNow(long long nowUs = 0) const;
    long long RequestOnWire(int count, long long writeStartUs, long long& nowUs);
    int ReadAnswer(veltor::ReceiveTurn& turn, unsigned char* answer, long& have,
                   long long deadlineUs, long long nowUs);

    // ---- What the receive side and the connection hand over ----
    // Reports and unasked bytes, to the device's handlers and the trace.
    void Unasked(const veltor::SplitOutput& sorted, const char* status) override;
    void LineLost() override { m_Self.HandleLineLost(); }

    // ---- The failure text of the last command ----
    std::string LastError() const;
    void SetLastError(const std::string& text);

    // ---- The wire trace ----
    void Trace(TraceEvent::Kind kind, const unsigned char* bytes, unsigned long count,
               const char* status) {
        if (m_bTracing.load(std::memory_order_relaxed) && count > 0) {
            CallTrace(kind, bytes, count, status);
        }
    }
    void CallTrace(TraceEvent::Kind kind, const unsigned char* bytes, unsigned long count,
                   const char* status);

    CSerDev& m_Self;
    // The receive side is made before the connection, which hands it the
    // port, and gone after it.
    veltor::ReceiveSide m_Receive;
    veltor::Connection m_Connection;
    std::atomic<Outcome> m_LastOutcome{kNone};
    // Exchange side (the exchanging thread only).
    long long m_LineFreeUs = 0;         // when the last byte written can have left the line
    veltor::protocol::Ledger m_Ledger;  // the answers owed on the line
    // Failure text of the last command, and how deep commands are nested
    // (both under the device's lock).
    mutable std::mutex m_ErrorLock;  // guards m_LastError for readers on any thread
    std::string m_LastError;
    std::atomic<bool> m_bHasError{false};  // m_LastError is not empty
    int m_nCommandDepth = 0;
    // The wire trace; m_bTracing keeps the untraced path free of the lock.
    std::mutex m_TraceLock;
    TraceListener m_Trace;
    std::atomic<bool> m_bTracing{false};
};
