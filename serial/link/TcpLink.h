// A TCP connection to a device server that holds the instrument's serial
// line (socket://HOST:PORT): the server passes the bytes through and sets
// the line itself. The same on every system: only the socket calls under it
// differ (platform/Socket.h). The RFC 2217 link (TelnetLink.h) is built on
// it: it reads and writes its own way, and keeps the rest.
#pragma once

#include <string>

#include "platform/Socket.h"
#include "serial/NetAddress.h"
#include "serial/link/Link.h"

namespace veltor {
namespace link {

class TcpLink : public Link {
public:
    // How long a name lookup, and the connection to the first address that
    // takes it, may take each.
    static constexpr long kResolveBoundMs = 5000;
    static constexpr long kConnectBoundMs = 5000;

    // Resolves and connects within the bounds. Null on failure, with the
    // reason for platform::LastError.
    static TcpLink* Connect(const NetAddress& address);
    ~TcpLink() override;
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;

    // Nothing to set: the server sets its line itself.
    int Configure(long baud) override;
    // Reads and drops what has arrived, through ReadQueued: a link built on
    // this one drops what its own reads give.
    void PurgeInput() override;
    bool Write(const unsigned char* bytes, int count, long timeoutMs) override;
    // What the server's line still has to send is out of sight, and the
    // socket's own queue empties as fast as the network takes it.
    void Drain(long timeoutMs) override;
    long ReadQueued(unsigned char* buffer, std::size_t capacity) override;
    DataWait WaitForData(Handle event, long timeoutMs) override;
    // The watcher reads through ReadQueued too.
    Watch* OpenWatch(Handle stopEvent, Handle asideEvent) override;

    // Sends all bytes, waiting for room while the socket's queue is full,
    // but not beyond the deadline (NowMs). Returns how many went out: all of
    // them, or fewer when the connection failed or the time passed.
    std::size_t SendUntil(const unsigned char* bytes, std::size_t count, long long deadlineMs);
    // Waits until the socket has room, but not beyond the deadline; false
    // when the time passed or the connection failed.
    bool AwaitRoom(long long deadlineMs);
    // Waits at most timeoutMs for bytes and reads them as they came, past
    // any reading of a link built on this one: the number read, 0 when none
    // came in time, -1 when the connection ended or failed.
    long ReceiveWithin(unsigned char* buffer, std::size_t capacity, long timeoutMs);
    platform::Socket Socket() const { return m_Socket; }

protected:
    TcpLink() = default;
    // Resolves and connects this link within the bounds; false on failure,
    // with the reason for platform::LastError.
    bool ConnectTo(const NetAddress& address);

private:
    platform::Socket m_Socket = platform::kNoSocket;
    platform::SocketWaits* m_pWaits = nullptr;
    bool m_bStarted = false;  // SocketsBegin was called and must be matched
};

}  // namespace link
}  // namespace veltor
