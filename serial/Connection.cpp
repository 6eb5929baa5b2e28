#include "serial/Connection.h"

#include <mutex>

#include "serial/ReceiveSide.h"
#include "serial/Watcher.h"
#include "serial/link/Link.h"

namespace pf = veltor::platform;

namespace veltor {

namespace {

const int kWatcherFailed = -6;

}  // namespace

Connection::Connection(ReceiveSide& receive, LineLostHook& hook)
    : m_Receive(receive), m_Hook(hook) {}

Connection::~Connection() {
    Close();
}

bool Connection::Move(unsigned from, unsigned to) {
    unsigned word = m_Word.load();
    while (Base(word) == from) {
        if (m_Word.compare_exchange_weak(word, (word & ~kStateMask) | to)) {
            return true;
        }
    }
    return false;
}

Connection::State Connection::GetState() const {
    const unsigned word = m_Word.load();
    if (word >= kCloser) {
        return State::kClosing;
    }
    static const State kStates[] = {State::kClosed, State::kOpening, State::kOpen, State::kLost};
    return kStates[Base(word)];
}

int Connection::Open(const char* device, long baud, std::string& error) {
    std::lock_guard<CommandLock> hold(m_Commands);
    // Opening starts from a closed connection (the caller closed it) or a
    // lost one that was marked to stay lost.
    if (!Move(kClosedBits, kOpeningBits) && !Move(kLostBits, kOpeningBits)) {
        error = "the connection is already open";
        return -1;
    }
    m_hPort = link::Open(device);
    if (m_hPort == nullptr) {
        error = "cannot open the port: " + pf::LastError();
        return -1;
    }
    const int configured = link::Configure(m_hPort, baud);
    if (configured != 0) {
        static const char* const kSteps[] = {
            "cannot watch the port for received bytes",  // -2
            "cannot read the line settings",             // -3
            "cannot set the line to 8N1 raw at the speed asked for",
            "cannot set the read time-outs",  // -5
        };
        const int step = configured <= -2 && configured >= -5 ? -configured - 2 : 0;
        error =
            std::string(kSteps[step]) + " (" + std::to_string(baud) + " bit/s): " + pf::LastError();
        return configured;
    }
    m_nBaud = baud;
    m_pLink = link::AsLink(m_hPort);
    m_hStopEvent = pf::CreateEvent(false);
    m_hStartedEvent = pf::CreateEvent(false);
    const bool exchangeReads = m_Receive.ExchangeReadsPort();
    m_hAsideEvent = exchangeReads ? pf::CreateEvent(false) : nullptr;
    if (m_hStopEvent == nullptr || m_hStartedEvent == nullptr ||
        (exchangeReads && m_hAsideEvent == nullptr)) {
        error = "cannot create the watcher's events: " + pf::LastError();
        return kWatcherFailed;
    }
    link::PurgeInput(m_hPort);
    // A new line: nothing half-received on an earlier one carries over.
    if (!m_Receive.Open(m_hPort, m_hAsideEvent)) {
        error = "cannot create an event: " + pf::LastError();
        return -1;
    }
    m_bWatcherStarted = false;
    m_hThread = pf::StartThread(&Connection::WatchProc, this);
    if (m_hThread == nullptr) {
        error = "cannot start the watcher thread: " + pf::LastError();
        return kWatcherFailed;
    }
    // The started event stays until the connection closes: the watcher may
    // still be inside its SetEvent when this wait returns.
    pf::WaitForEvent(m_hStartedEvent, pf::kInfinite);
    if (!m_bWatcherStarted) {
        error = "the watcher cannot wait on the port";
        return kWatcherFailed;
    }
    // A port that hung up as it opened is lost already: it stays so, and
    // its hook has run.
    Move(kOpeningBits, kOpenBits);
    return 0;
}

void Connection::Close() {
    // A command in progress on another thread is woken and ends; the count
    // of closes keeps the connection closing until the last one is done.
    m_Word.fetch_add(kCloser);
    m_Receive.WakeExchange();
    std::lock_guard<CommandLock> hold(m_Commands);
    if (pf::IsHeld(m_hStopEvent) && pf::IsHeld(m_hThread)) {
        pf::SetEvent(m_hStopEvent);
        pf::JoinThread(m_hThread);
    }
    Release(m_hStopEvent);
    Release(m_hThread);
    Release(m_hAsideEvent);
    m_Receive.Close();
    m_pLink = nullptr;
    Release(m_hPort);
    Release(m_hStartedEvent);
    unsigned word = m_Word.load();
    while (!m_Word.compare_exchange_weak(word, (word - kCloser) & ~kStateMask)) {
    }
}

void Connection::Cancel() {
    m_Commands.Cancel();
    m_Receive.WakeExchange();
}

void Connection::MarkLost() {
    // The watcher and a commanding thread may both find the port gone: the
    // first one tells.
    if (!Move(kOpenBits, kLostBits) && !Move(kOpeningBits, kLostBits)) {
        return;
    }
    // Wakes an exchange waiting for bytes that will never come.
    m_Receive.WakeExchange();
    m_Hook.LineLost();
}

void Connection::StayLost() {
    Move(kClosedBits, kLostBits);
}

void Connection::Release(Handle& handle) {
    if (pf::IsHeld(handle)) {
        pf::CloseHandle(handle);
        handle = pf::InvalidHandle();
    }
}

unsigned Connection::WatchProc(void* argument) {
    Connection* connection = static_cast<Connection*>(argument);
    bool lost = false;
    {
        Watcher watcher(connection->m_Receive, connection->m_hPort, connection->m_hStopEvent,
                        connection->m_hAsideEvent);
        connection->m_bWatcherStarted = watcher.Open();
        pf::SetEvent(connection->m_hStartedEvent);
        if (!connection->m_bWatcherStarted) {
            return 1;
        }
        try {
            lost = watcher.Run();
        } catch (...) {
            // Nothing may end the host's process from this thread (out of
            // memory included): a watcher that cannot go on gives the port up.
            lost = true;
        }
    }
    if (lost) {
        connection->MarkLost();
    }
    return 0;
}

}  // namespace veltor
