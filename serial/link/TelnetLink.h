// A Telnet session with the COM Port Control option (RFC 2217) over a TCP
// link (rfc2217://HOST:PORT): the host sets the line through the server.
// It wraps the TCP link and passes the data through the session
// (serial/Rfc2217.h), whose sends are handed over between a write and the
// reading side (serial/TelnetSender.h). The session is read under the
// receive lock.
#pragma once

#include <memory>

#include "serial/TelnetSender.h"
#include "serial/link/TcpLink.h"

namespace veltor {
namespace link {

class TelnetLink : public Link {
public:
    // How long each negotiation (the option at the opening, the line
    // settings) may take.
    static constexpr long kNegotiateBoundMs = 3000;

    // Agrees on the option with the server over `tcp`, which it then owns.
    // Null on failure, with the reason for platform::LastError.
    static TelnetLink* Start(std::unique_ptr<TcpLink> tcp);

    // Sets the line through the server: -4 when it does not acknowledge.
    int Configure(long baud) override;
    // Drops what arrived and asks the server to drop what it holds.
    void PurgeInput() override;
    // The data with 0xFF doubled, after the commands queued before it.
    bool Write(const unsigned char* bytes, int count, long timeoutMs) override;
    void Drain(long timeoutMs) override;
    // Only data bytes: the server's commands taken out and answered.
    long ReadQueued(unsigned char* buffer, std::size_t capacity) override;
    DataWait WaitForData(Handle event, long timeoutMs) override;
    Watch* OpenWatch(Handle stopEvent, Handle asideEvent) override;

private:
    explicit TelnetLink(std::unique_ptr<TcpLink> tcp) : m_Tcp(std::move(tcp)) {}
    // Runs a negotiation to `goal`; empty, or why it failed.
    std::string Negotiate(Rfc2217Session::State goal);

    std::unique_ptr<TcpLink> m_Tcp;
    TelnetSender m_Telnet;
};

}  // namespace link
}  // namespace veltor
