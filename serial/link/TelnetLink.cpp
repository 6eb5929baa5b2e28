#include "serial/link/TelnetLink.h"

#include <new>

#include "serial/link/Kinds.h"

namespace veltor {
namespace link {

namespace pf = platform;

namespace {

// The TCP link under a negotiation, before the watcher runs: the session's
// bytes as they are, past the link's own reads and writes.
class TcpUnderNegotiation : public veltor::Rfc2217Link {
public:
    explicit TcpUnderNegotiation(TcpLink& tcp) : m_Tcp(tcp) {}
    bool Send(const unsigned char* bytes, std::size_t count, long timeoutMs) override {
        return m_Tcp.TcpLink::Write(bytes, static_cast<int>(count), timeoutMs);
    }
    long Receive(unsigned char* bytes, std::size_t capacity, long timeoutMs) override {
        return m_Tcp.ReceiveWithin(bytes, capacity, timeoutMs);
    }

private:
    TcpLink& m_Tcp;
};

// The TCP link's sends for the Telnet sender.
class TcpSends : public TelnetSocket {
public:
    explicit TcpSends(TcpLink& tcp) : m_Tcp(tcp) {}
    Sent SendNow(const unsigned char* bytes, std::size_t count, std::size_t& sent) override {
        switch (pf::Send(m_Tcp.Socket(), bytes, count, sent)) {
            case pf::Sent::Some:
                return Sent::Some;
            case pf::Sent::Full:
                return Sent::Full;
            default:
                return Sent::Failed;
        }
    }
    bool AwaitRoom(long long deadlineMs) override { return m_Tcp.AwaitRoom(deadlineMs); }
    std::size_t SendUntil(const unsigned char* bytes, std::size_t count,
                          long long deadlineMs) override {
        return m_Tcp.SendUntil(bytes, count, deadlineMs);
    }

private:
    TcpLink& m_Tcp;
};

}  // namespace

TelnetLink* TelnetLink::Connect(const NetAddress& address) {
    TelnetLink* link = new (std::nothrow) TelnetLink;
    if (link == nullptr) {
        return nullptr;
    }
    if (!link->ConnectTo(address)) {
        delete link;
        return nullptr;
    }
    link->m_Telnet.Session().Start();
    const std::string failure = link->Negotiate(Rfc2217Session::State::Agreed);
    if (!failure.empty()) {
        pf::SetFailure(failure);
        delete link;
        return nullptr;
    }
    return link;
}

std::string TelnetLink::Negotiate(Rfc2217Session::State goal) {
    TcpUnderNegotiation under(*this);
    return NegotiateRfc2217(m_Telnet.Session(), goal, under, kNegotiateBoundMs);
}

int TelnetLink::Configure(long baud) {
    m_Telnet.Session().Configure(baud);
    const std::string failure = Negotiate(Rfc2217Session::State::Ready);
    if (!failure.empty()) {
        pf::SetFailure(failure);
        return -4;
    }
    return 0;
}

void TelnetLink::PurgeInput() {
    TcpLink::PurgeInput();
    TcpSends sends(*this);
    m_Telnet.PurgeServerInput(sends);
}

bool TelnetLink::Write(const unsigned char* bytes, int count, long timeoutMs) {
    TcpSends sends(*this);
    return m_Telnet.Write(sends, bytes, static_cast<std::size_t>(count),
                          pf::NowMs() + (timeoutMs < 0 ? 0 : timeoutMs));
}

long TelnetLink::ReadQueued(unsigned char* buffer, std::size_t capacity) {
    const long got = TcpLink::ReadQueued(buffer, capacity);
    if (got <= 0) {
        return got;
    }
    TcpSends sends(*this);
    return static_cast<long>(m_Telnet.Receive(sends, buffer, static_cast<std::size_t>(got)));
}

Link* OpenRfc2217(const NetAddress& address) {
    return TelnetLink::Connect(address);
}

}  // namespace link
}  // namespace veltor
