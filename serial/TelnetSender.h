// The send side of a Telnet (RFC 2217) connection shared by two threads: the
// writer of a request's data and the reading side, which answers the
// server's negotiation as it strips it from what arrives. Pure code: the
// RFC 2217 link (serial/link/TelnetLink) gives it the socket's sends
// (TelnetSocket).
//
// Only the holder of the send lock sends, so no Telnet command lands inside
// another or inside a doubled 0xFF:
// - a write holds it throughout and sends the queue before its data;
// - the reading side only tries it, sends the session's answers without
//   waiting for room and leaves the rest queued;
// - a holder looks at the queue once more after giving it up (ReleaseSend),
//   so that what the reading side queued meanwhile goes out.
// The session's outgoing queue (capped by the session) is guarded by the
// queue lock, held only for a Receive or a send that does not wait. Lock
// order: the send lock, then the queue lock.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "serial/Rfc2217.h"

namespace veltor {

// The socket under a Telnet connection, as the RFC 2217 link provides it.
// Called only by the holder of the send lock, on the writer's thread or the
// reading side's.
class TelnetSocket {
public:
    enum class Sent {
        Some,    // at least one byte went out
        Full,    // the socket has no room now
        Failed,  // the connection failed
    };
    // Never blocks: sends what the socket has room for of the first `count`
    // (> 0) bytes and sets `sent` to it. Full or Failed when none went out.
    virtual Sent SendNow(const unsigned char* bytes, std::size_t count, std::size_t& sent) = 0;
    // Blocks until the socket has room or the deadline (the platform's
    // milliseconds) passes: false when it passed or the connection failed.
    virtual bool AwaitRoom(long long deadlineMs) = 0;
    // Blocks: sends all bytes, waiting for room, but not beyond the
    // deadline. Returns how many went out: fewer than `count` when the
    // connection failed or the time passed.
    virtual std::size_t SendUntil(const unsigned char* bytes, std::size_t count,
                                  long long deadlineMs) = 0;

protected:
    ~TelnetSocket() = default;
};

class TelnetSender {
public:
    // The session, for the negotiation at the opening and for the line
    // settings, which run with no write or read under way.
    Rfc2217Session& Session() { return m_Session; }

    // The reading side: takes the server's commands out of `count` received
    // bytes, in place, and sends the answers they call for without waiting.
    // Returns how many data bytes are left at the front of `bytes`.
    std::size_t Receive(TelnetSocket& socket, unsigned char* bytes, std::size_t count);
    // Asks the server to drop what its serial line received and it has not
    // passed on yet; sent like an answer.
    void PurgeServerInput(TelnetSocket& socket);
    // The writer: sends the commands queued before it, then `count` data
    // bytes with 0xFF doubled, waiting for room until the deadline. False
    // when the connection failed or the time passed.
    bool Write(TelnetSocket& socket, const unsigned char* bytes, std::size_t count,
               long long deadlineMs);

private:
    enum class Flush { Empty, Full, Failed };
    Flush FlushQueue(TelnetSocket& socket, std::size_t limit, std::size_t& sent);
    bool QueueEmpty();
    void ReleaseSend(TelnetSocket& socket);
    void SendAnswers(TelnetSocket& socket);
    bool SendQueued(TelnetSocket& socket, long long deadlineMs);

    Rfc2217Session m_Session;
    std::mutex m_SendLock;
    std::mutex m_QueueLock;
    std::vector<unsigned char> m_Escaped;  // the writer's buffer, under m_SendLock
};

}  // namespace veltor
