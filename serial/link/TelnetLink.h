// A Telnet session with the COM Port Control option (RFC 2217) over a TCP
// link (rfc2217://HOST:PORT): the host sets the line through the server.
// It is a TCP link whose data passes through the session (serial/Rfc2217.h),
// whose sends are handed over between a write and the reading side
// (serial/TelnetSender.h); its waits and the watcher's are the TCP link's.
// The session is read under the receive lock.
#pragma once

#include "serial/TelnetSender.h"
#include "serial/link/TcpLink.h"

namespace veltor {
namespace link {

class TelnetLink : public TcpLink {
public:
    // How long each negotiation (the option at the opening, the line
    // settings) may take.
    static constexpr long kNegotiateBoundMs = 3000;

    // Connects as a TCP link, then agrees on the option with the server.
    // Null on failure, with the reason for platform::LastError.
    static TelnetLink* Connect(const NetAddress& address);

    // Sets the line through the server: -4 when it does not acknowledge.
    int Configure(long baud) override;
    // Drops what arrived and asks the server to drop what it holds.
    void PurgeInput() override;
    // The data with 0xFF doubled, after the commands queued before it.
    bool Write(const unsigned char* bytes, int count, long timeoutMs) override;
    // Only data bytes: the server's commands taken out and answered.
    long ReadQueued(unsigned char* buffer, std::size_t capacity) override;

private:
    TelnetLink() = default;
    // Runs a negotiation to `goal`; empty, or why it failed.
    std::string Negotiate(Rfc2217Session::State goal);

    TelnetSender m_Telnet;
};

}  // namespace link
}  // namespace veltor
