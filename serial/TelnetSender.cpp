#include "serial/TelnetSender.h"

#include <algorithm>

namespace veltor {

std::size_t TelnetSender::Receive(TelnetSocket& socket, unsigned char* bytes, std::size_t count) {
    std::size_t data = 0;
    {
        std::lock_guard<std::mutex> hold(m_QueueLock);
        data = m_Session.Receive(bytes, count);
    }
    SendAnswers(socket);
    return data;
}

void TelnetSender::PurgeServerInput(TelnetSocket& socket) {
    {
        std::lock_guard<std::mutex> hold(m_QueueLock);
        m_Session.PurgeServerInput();
    }
    SendAnswers(socket);
}

bool TelnetSender::Write(TelnetSocket& socket, const unsigned char* bytes, std::size_t count,
                         long long deadlineMs) {
    m_SendLock.lock();
    try {
        m_Escaped.clear();
        Rfc2217Session::EscapeData(bytes, count, m_Escaped);
    } catch (...) {
        // Out of memory for the escaped copy: the send lock is given back,
        // or every later write would wait for it for ever.
        ReleaseSend(socket);
        throw;
    }
    bool written = SendQueued(socket, deadlineMs);
    if (written) {
        const std::size_t sent = socket.SendUntil(m_Escaped.data(), m_Escaped.size(), deadlineMs);
        written = sent == m_Escaped.size();
        if (!written && Rfc2217Session::CutsEscape(m_Escaped.data(), sent)) {
            std::lock_guard<std::mutex> hold(m_QueueLock);
            m_Session.CompleteCutEscape();
        }
    }
    ReleaseSend(socket);
    return written;
}

// Sends up to `limit` bytes from the front of the session's queue without
// waiting for room, erasing what went out; `sent` counts it. The caller
// holds the send lock.
TelnetSender::Flush TelnetSender::FlushQueue(TelnetSocket& socket, std::size_t limit,
                                             std::size_t& sent) {
    std::lock_guard<std::mutex> hold(m_QueueLock);
    std::vector<unsigned char>& queue = m_Session.Outgoing();
    sent = 0;
    while (sent < limit && !queue.empty()) {
        const std::size_t count = std::min(limit - sent, queue.size());
        std::size_t n = 0;
        const TelnetSocket::Sent result = socket.SendNow(queue.data(), count, n);
        if (result != TelnetSocket::Sent::Some || n == 0) {
            return result == TelnetSocket::Sent::Full ? Flush::Full : Flush::Failed;
        }
        n = std::min(n, count);
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
        sent += n;
    }
    return Flush::Empty;
}

bool TelnetSender::QueueEmpty() {
    std::lock_guard<std::mutex> hold(m_QueueLock);
    return m_Session.Outgoing().empty();
}

// Gives up the send lock. The reading side only tries the lock, so what it
// queued while the lock was held is sent here: it queued before its try
// failed, which was before this unlock, so the look that follows the unlock
// finds it, unless a new holder took the lock and will look itself. What
// the socket has no room for waits for the next read or write.
void TelnetSender::ReleaseSend(TelnetSocket& socket) {
    for (;;) {
        m_SendLock.unlock();
        if (QueueEmpty() || !m_SendLock.try_lock()) {
            return;
        }
        std::size_t sent = 0;
        if (FlushQueue(socket, static_cast<std::size_t>(-1), sent) != Flush::Empty) {
            m_SendLock.unlock();
            return;
        }
    }
}

// The reading side's send of the session's answers, as soon as they are
// made: never waits, neither for room on the socket nor for a write under
// way (which sends them when it ends).
void TelnetSender::SendAnswers(TelnetSocket& socket) {
    if (QueueEmpty() || !m_SendLock.try_lock()) {
        return;
    }
    std::size_t sent = 0;
    FlushQueue(socket, static_cast<std::size_t>(-1), sent);
    ReleaseSend(socket);
}

// The writer's send of the commands queued before its write, waiting for
// room until the deadline. Those queued meanwhile go after its data.
bool TelnetSender::SendQueued(TelnetSocket& socket, long long deadlineMs) {
    std::size_t due = 0;
    {
        std::lock_guard<std::mutex> hold(m_QueueLock);
        due = m_Session.Outgoing().size();
    }
    while (due > 0) {
        std::size_t sent = 0;
        const Flush flushed = FlushQueue(socket, due, sent);
        due -= std::min(due, sent);
        if (flushed == Flush::Failed) {
            return false;
        }
        if (due == 0 || flushed == Flush::Empty) {
            return true;
        }
        if (!socket.AwaitRoom(deadlineMs)) {
            return false;
        }
    }
    return true;
}

}  // namespace veltor
