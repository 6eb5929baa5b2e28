// The host's side of a Telnet connection to a device server with the COM
// Port Control option (RFC 2217): the negotiation, the line settings, the
// doubling of 0xFF in data and the removal of the server's commands and
// notifications from what it sends. Pure code: the RFC 2217 link
// (serial/link/TelnetLink) moves the bytes.
//
// Everything the server sends is taken as possibly hostile. The session's
// memory is fixed: a subnegotiation of any length keeps only its first
// kSubnegotiationKept bytes, and the queue of bytes for the server has a cap.
// The server's DO/DONT/WILL/WONT are answered only when they change an
// option's state (RFC 1143), so a server that repeats an offer or a refusal
// gets no answer and costs nothing.
//
// Seen in the field:
// - ser2net (4.x) makes its own offers before it answers ours: WILL and DO
//   suppress-go-ahead, WILL ECHO (refused here), DONT ECHO; then it agrees to
//   binary transmission both ways and to COM-PORT-OPTION, sends a line-state
//   mask acknowledgement (107) nobody asked for, and DO suppress-go-ahead a
//   second time. It acknowledges every line setting with the value it set,
//   and refuses an unknown option once for each offer.
// - A Telnet server without RFC 2217 answers the option with DONT (or WONT);
//   a raw TCP server given as rfc2217:// answers nothing.
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

    // The longest command the session sends: a line speed, IAC SB
    // COM-PORT-OPTION SET-BAUDRATE, four value bytes (each 0xFF doubled),
    // IAC SE.
    static constexpr std::size_t kLongestCommand = 14;
    static constexpr std::size_t kAnswerLength = 3;  // IAC, verb, option
    // The cap of the outgoing queue. A correct exchange never reaches it:
    // the queue holds at most the opening (5 commands), the line settings (5)
    // and a purge request, and one answer per option and side, since a
    // server that follows RFC 1143 asks nothing again of an option before
    // our answer about it has reached it, and an option we refuse is
    // answered only once anyway. A command that would not fit is dropped
    // whole and counted (Dropped).
    static constexpr std::size_t kOutgoingCap = 11 * kLongestCommand + 2 * 256 * kAnswerLength;
    // How much of a subnegotiation is kept: option, command and the first
    // bytes of the value; the rest (a signature text, say) is dropped.
    static constexpr std::size_t kSubnegotiationKept = 16;

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
    // Whether the first `sent` bytes of data escaped by EscapeData end
    // between the two halves of a doubled 0xFF.
    static bool CutsEscape(const unsigned char* escaped, std::size_t sent);
    // After a write of escaped data that stopped between the two halves of a
    // doubled 0xFF: queues the second half ahead of everything, so that the
    // server does not take the next byte sent for a command. Only while no
    // queued command has begun to go out (the writer sends the queue before
    // its data, and nobody else sends meanwhile). The queue may then hold one
    // byte beyond kOutgoingCap.
    void CompleteCutEscape();

    // Bytes queued for the server, in order, whole commands but for the
    // front one, which a partial send may have begun. The owner sends them
    // from the front and erases what went out.
    std::vector<unsigned char>& Outgoing() { return m_Outgoing; }
    // How many commands were dropped because the queue was full.
    std::size_t Dropped() const { return m_Dropped; }

    State GetState() const { return m_State; }
    // What went wrong in Failed, in words ("the server set the line to 4800
    // bit/s instead of 9600").
    const std::string& Failure() const { return m_Failure; }

private:
    enum class Parse { Data, Iac, Verb, Sub, SubIac };
    // One side of one option: ours (we send WILL/WONT, the server DO/DONT)
    // or the server's (it sends WILL/WONT, we DO/DONT).
    enum class Option : unsigned char {
        Inactive,   // off
        Requested,  // we asked for it; the server's answer is due
        Active,     // on
        Declined,   // off: the server offered it and we refused, once; its
                    // further offers go unanswered
    };
    void Command(unsigned char verb, unsigned char option);
    void TurnedOn(Option& side, unsigned char option, unsigned char yes, unsigned char no);
    void TurnedOff(Option& side, unsigned char option, unsigned char no);
    void SubNegotiation();
    void Request(Option& side, unsigned char verb, unsigned char option);
    void SendCommand(unsigned char verb, unsigned char option);
    void SendComPort(unsigned char command, const unsigned char* value, std::size_t length);
    bool Fits(std::size_t length);
    void Acknowledged(unsigned char command, std::uint32_t value, std::size_t length);

    State m_State = State::Offering;
    Parse m_Parse = Parse::Data;
    unsigned char m_Verb = 0;
    unsigned char m_Sub[kSubnegotiationKept] = {};
    std::size_t m_SubLength = 0;
    Option m_Ours[256] = {};
    Option m_Theirs[256] = {};
    // The line settings asked for, and which are still unacknowledged
    // (bit n: the command n).
    std::uint32_t m_Asked[6] = {};
    unsigned m_Unacknowledged = 0;
    std::vector<unsigned char> m_Outgoing;
    std::size_t m_Dropped = 0;
    std::string m_Failure;
};

// The connection under a negotiation, as the RFC 2217 link provides it.
class Rfc2217Link {
public:
    // Sends all bytes within timeoutMs; false when the connection failed or
    // the time passed.
    virtual bool Send(const unsigned char* bytes, std::size_t count, long timeoutMs) = 0;
    // Waits at most timeoutMs for bytes and reads what is there: the number
    // read, 0 when none came in time, -1 when the connection closed or
    // failed.
    virtual long Receive(unsigned char* bytes, std::size_t capacity, long timeoutMs) = 0;

protected:
    ~Rfc2217Link() = default;
};

// Sends what the session has queued and feeds it what the server sends
// until the session reaches `goal`, is refused or fails, or `timeoutMs`
// passes. Data bytes received meanwhile are dropped. Returns within
// timeoutMs (and the link's own granularity) however the server sends:
// every wait and send gets what is left of that one time. Returns an empty
// text on success, else why the negotiation failed, in a user's words.
std::string NegotiateRfc2217(Rfc2217Session& session, Rfc2217Session::State goal, Rfc2217Link& link,
                             long timeoutMs);

}  // namespace veltor
