// The host's side of a Telnet connection to a device server with the COM
// Port Control option (RFC 2217): the negotiation, the line settings, the
// doubling of 0xFF in data and the removal of the server's commands and
// notifications from what it sends. Pure code: the platform layer moves the
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltor {

class Rfc2217Session {
public:
    enum class State {
        Offering,     // the option was offered; no answer yet
        Agreed,       // the server takes the option; the line is not set yet
        Configuring,  // the line settings went out; acknowledgements awaited
        Ready,        // every setting acknowledged as asked
        Refused,      // the server refused the option
        Failed,       // the server set the line otherwise than asked
    };

    // Queues the opening: the COM Port Control option offered, binary
    // transmission and suppress-go-ahead asked for both ways (a server that
    // stays in NVT mode would turn CR into CR NUL).
    void Start();
    // Queues the line settings: `baud` bit/s, 8 data bits, no parity, one
    // stop bit, no flow control. Ready once the server has acknowledged each
    // with the value asked for.
    void Configure(long baud);
    // Queues a request that the server drop what its serial line received
    // and it has not passed on yet.
    void PurgeServerInput();

    // Removes the Telnet commands from bytes received from the server, in
    // place, and answers the server's negotiation (queued in Outgoing). A
    // command may be split over calls. Returns how many data bytes are left
    // at the front of `bytes`.
    std::size_t Receive(unsigned char* bytes, std::size_t count);

    // Appends data bytes for the server to `out`, 0xFF doubled.
    static void EscapeData(const unsigned char* bytes, std::size_t count,
                           std::vector<unsigned char>& out);

    // Bytes queued for the server, in order; the owner sends them and
    // clears the queue.
    std::vector<unsigned char>& Outgoing() { return m_Outgoing; }

    State GetState() const { return m_State; }
    // What went wrong in Failed, in words ("the server set the line to 4800
    // bit/s instead of 9600").
    const std::string& Failure() const { return m_Failure; }

private:
    enum class Parse { Data, Iac, Verb, Sub, SubIac };
    void Command(unsigned char verb, unsigned char option);
    void SubNegotiation();
    void SendCommand(unsigned char verb, unsigned char option);
    void SendComPort(unsigned char command, const unsigned char* value, std::size_t length);
    void Acknowledged(unsigned char command, std::uint32_t value, std::size_t length);

    State m_State = State::Offering;
    Parse m_Parse = Parse::Data;
    unsigned char m_Verb = 0;
    // The subnegotiation being read: option, command and the first bytes of
    // the value (longer ones, such as a signature text, are cut).
    unsigned char m_Sub[16] = {};
    std::size_t m_SubLength = 0;
    // Per option: enabled on our side / the server's, and asked for by us
    // with no answer yet (an answer to our own request is not answered).
    bool m_Ours[256] = {};
    bool m_Theirs[256] = {};
    bool m_AskedWill[256] = {};
    bool m_AskedDo[256] = {};
    // The line settings asked for, and which are still unacknowledged
    // (bit n: the command n).
    std::uint32_t m_Asked[6] = {};
    unsigned m_Unacknowledged = 0;
    std::vector<unsigned char> m_Outgoing;
    std::string m_Failure;
};

// The connection under a negotiation, as the platform layer provides it.
class Rfc2217Link {
public:
    // Sends all bytes; false when the connection failed.
    virtual bool Send(const unsigned char* bytes, std::size_t count) = 0;
    // Waits at most timeoutMs for bytes and reads what is there: the number
    // read, 0 when none came in time, -1 when the connection closed or
    // failed.
    virtual long Receive(unsigned char* bytes, std::size_t capacity, long timeoutMs) = 0;

protected:
    ~Rfc2217Link() = default;
};

// Sends what the session has queued and feeds it what the server sends
// until the session reaches `goal`, is refused or fails, or `timeoutMs`
// passes. Data bytes received meanwhile are dropped. Returns an empty text
// on success, else why the negotiation failed, in a user's words.
std::string NegotiateRfc2217(Rfc2217Session& session, Rfc2217Session::State goal, Rfc2217Link& link,
                             long timeoutMs);

}  // namespace veltor
