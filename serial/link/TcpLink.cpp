#include "serial/link/TcpLink.h"

#include <new>

#include "serial/link/Kinds.h"

namespace veltor {
namespace link {

namespace pf = platform;

namespace {

std::string Seconds(long ms) {
    return std::to_string(ms / 1000) + " s";
}

// The addresses of host and service, or null with the reason set.
pf::Addresses* Resolve(const NetAddress& address) {
    pf::Addresses* found = nullptr;
    std::string reason;
    switch (pf::LookUp(address.host, address.service, TcpLink::kResolveBoundMs, found, reason)) {
        case pf::Lookup::Found:
            return found;
        case pf::Lookup::CannotStart:
            pf::SetFailure("cannot start the name lookup of " + address.host);
            return nullptr;
        case pf::Lookup::NoAnswer:
            pf::SetFailure("cannot resolve the host name " + address.host + ": no answer within " +
                           Seconds(TcpLink::kResolveBoundMs));
            return nullptr;
        case pf::Lookup::Failed:
            break;
    }
    pf::SetFailure("cannot resolve the host name " + address.host + ": " + reason);
    return nullptr;
}

// A connected socket to the first address that takes the connection within
// the bound, or kNoSocket with the reason set.
pf::Socket ConnectFirst(const NetAddress& address, const pf::Addresses* addresses) {
    const long long deadline = pf::NowMs() + TcpLink::kConnectBoundMs;
    std::string reason = "no address";
    for (const pf::Address* a = pf::FirstAddress(addresses); a != nullptr; a = pf::NextAddress(a)) {
        int error = 0;
        const pf::Socket socket = pf::StartConnect(a, error);
        if (socket == pf::kNoSocket) {
            reason = pf::SocketMessage(error);
            continue;
        }
        if (error == pf::kInProgress) {
            error = pf::FinishConnect(socket, pf::MillisecondsLeft(deadline));
        }
        if (error == 0) {
            pf::TuneSocket(socket);
            return socket;
        }
        pf::CloseSocket(socket);
        reason = error == pf::kTimedOut ? "no answer within " + Seconds(TcpLink::kConnectBoundMs)
                                        : pf::SocketMessage(error);
        if (pf::MillisecondsLeft(deadline) == 0) {
            break;
        }
    }
    pf::SetFailure("cannot connect to " + address.host + " port " + address.service + ": " +
                   reason);
    return pf::kNoSocket;
}

// The watcher's waits on a connection; its reads go through the link's
// ReadQueued, which a link built on it may make its own.
class TcpWatch : public Watch {
public:
    TcpWatch(pf::SocketWaits* waits, Link& reader, Handle stopEvent, Handle asideEvent)
        : m_pWaits(waits), m_Reader(reader), m_hStop(stopEvent), m_hAside(asideEvent) {}
    WatchEvent Wait(bool withPort, long timeoutMs, bool hangUp) override {
        return ToWatchEvent(
            pf::WaitSocket(m_pWaits, m_hStop, m_hAside, withPort, hangUp, timeoutMs));
    }
    long Read(unsigned char* buffer, std::size_t capacity) override {
        return m_Reader.ReadQueued(buffer, capacity);
    }

private:
    pf::SocketWaits* m_pWaits;
    Link& m_Reader;
    Handle m_hStop;
    Handle m_hAside;
};

}  // namespace

TcpLink* TcpLink::Connect(const NetAddress& address) {
    TcpLink* link = new (std::nothrow) TcpLink;
    if (link != nullptr && !link->ConnectTo(address)) {
        delete link;
        return nullptr;
    }
    return link;
}

bool TcpLink::ConnectTo(const NetAddress& address) {
    std::string failure;
    m_bStarted = pf::SocketsBegin(failure);
    if (!m_bStarted) {
        pf::SetFailure(failure);
        return false;
    }
    pf::Addresses* addresses = Resolve(address);
    if (addresses != nullptr) {
        m_Socket = ConnectFirst(address, addresses);
        pf::FreeAddresses(addresses);
    }
    if (m_Socket == pf::kNoSocket) {
        return false;
    }
    m_pWaits = pf::OpenSocketWaits(m_Socket, failure);
    if (m_pWaits == nullptr) {
        pf::SetFailure(failure);
        return false;
    }
    return true;
}

TcpLink::~TcpLink() {
    pf::CloseSocketWaits(m_pWaits);
    pf::CloseSocket(m_Socket);
    if (m_bStarted) {
        pf::SocketsEnd();
    }
}

int TcpLink::Configure(long) {
    return 0;
}

void TcpLink::PurgeInput() {
    unsigned char discarded[4096];
    for (int reads = 0; reads < 64; ++reads) {
        if (ReadQueued(discarded, sizeof(discarded)) <= 0) {
            break;
        }
    }
}

bool TcpLink::Write(const unsigned char* bytes, int count, long timeoutMs) {
    const std::size_t all = static_cast<std::size_t>(count);
    return SendUntil(bytes, all, pf::NowMs() + (timeoutMs < 0 ? 0 : timeoutMs)) == all;
}

void TcpLink::Drain(long) {}

long TcpLink::ReadQueued(unsigned char* buffer, std::size_t capacity) {
    return pf::Receive(m_Socket, buffer, capacity);
}

DataWait TcpLink::WaitForData(Handle event, long timeoutMs) {
    return ToDataWait(pf::WaitEventOrSocket(event, m_pWaits, timeoutMs));
}

Watch* TcpLink::OpenWatch(Handle stopEvent, Handle asideEvent) {
    return new (std::nothrow) TcpWatch(m_pWaits, *this, stopEvent, asideEvent);
}

std::size_t TcpLink::SendUntil(const unsigned char* bytes, std::size_t count,
                               long long deadlineMs) {
    std::size_t done = 0;
    while (done < count) {
        std::size_t sent = 0;
        switch (pf::Send(m_Socket, bytes + done, count - done, sent)) {
            case pf::Sent::Some:
                done += sent;
                continue;
            case pf::Sent::Full:
                if (AwaitRoom(deadlineMs)) {
                    continue;
                }
                break;
            case pf::Sent::Failed:
                break;
        }
        break;
    }
    return done;
}

bool TcpLink::AwaitRoom(long long deadlineMs) {
    return pf::AwaitWritable(m_Socket, pf::MillisecondsLeft(deadlineMs));
}

long TcpLink::ReceiveWithin(unsigned char* buffer, std::size_t capacity, long timeoutMs) {
    const int ready = pf::AwaitReadable(m_Socket, timeoutMs);
    return ready > 0 ? pf::Receive(m_Socket, buffer, capacity) : ready;
}

Link* OpenTcp(const NetAddress& address) {
    return TcpLink::Connect(address);
}

}  // namespace link
}  // namespace veltor
