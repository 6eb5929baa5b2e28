// Network port names and the Telnet/RFC 2217 session, without a socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "serial/NetAddress.h"
#include "serial/Rfc2217.h"

namespace {

using veltor::NetLink;
using veltor::Rfc2217Session;
typedef std::vector<unsigned char> Bytes;
typedef Rfc2217Session::State State;

const unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
const unsigned char COMPORT = 44, BINARY = 0, SGA = 3, ECHO = 1;

struct NameCase {
    const char* name;
    NetLink link;
    const char* host;
    const char* service;
    const char* error;  // a part of the error text; empty: none
};

TEST(NetAddress, PortNamesAreReadOrRefusedWithTheirForm) {
    const NameCase kCases[] = {
        {"/dev/ttyUSB0", NetLink::None, "", "", ""},
        {"COM3", NetLink::None, "", "", ""},
        {"socket://127.0.0.1:4000", NetLink::Raw, "127.0.0.1", "4000", ""},
        {"SOCKET://lab-7.example:23", NetLink::Raw, "lab-7.example", "23", ""},
        {"rfc2217://[::1]:2217", NetLink::Rfc2217, "::1", "2217", ""},
        {"rfc2217://host:065535", NetLink::None, "", "", "PORT 1 to 65535"},
        {"rfc2217://host:65536", NetLink::None, "", "", "PORT 1 to 65535"},
        {"socket://host:0", NetLink::None, "", "", "PORT 1 to 65535"},
        {"socket://host", NetLink::None, "", "", "socket://HOST:PORT"},
        {"socket://:4000", NetLink::None, "", "", "socket://HOST:PORT"},
        {"socket://host:40x0", NetLink::None, "", "", "socket://HOST:PORT"},
        {"socket://fe80::1:4000", NetLink::None, "", "", "[::1]:PORT"},
        {"rfc2217://[::1]4000", NetLink::None, "", "", "rfc2217://HOST:PORT"},
        {"socket://", NetLink::None, "", "", "socket://HOST:PORT"},
        {"tcp://host:4000", NetLink::None, "", "",
         "unknown scheme 'tcp://'; accepted: a device path"},
        {"telnet+x.1://host:23", NetLink::None, "", "", "socket://HOST:PORT, rfc2217://HOST:PORT"},
        {"/tmp/a://b", NetLink::None, "", "", ""},
        {"1tcp://host:1", NetLink::None, "", "", ""},
    };
    for (const NameCase& c : kCases) {
        std::string error;
        const veltor::NetAddress address = veltor::ParseNetAddress(c.name, error);
        EXPECT_EQ(address.link, c.link) << c.name;
        EXPECT_EQ(address.host, c.host) << c.name;
        EXPECT_EQ(address.service, c.service) << c.name;
        if (*c.error == '\0') {
            EXPECT_TRUE(error.empty()) << c.name << ": " << error;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
        }
    }
}

// The session after the opening, its queue emptied.
Rfc2217Session Started() {
    Rfc2217Session session;
    session.Start();
    session.Outgoing().clear();
    return session;
}

Bytes Receive(Rfc2217Session& session, Bytes bytes) {
    bytes.resize(session.Receive(bytes.data(), bytes.size()));
    return bytes;
}

Bytes TakeOutgoing(Rfc2217Session& session) {
    Bytes out = session.Outgoing();
    session.Outgoing().clear();
    return out;
}

TEST(Rfc2217, TheOpeningOffersTheOptionAndAsksForABinaryLine) {
    Rfc2217Session session;
    session.Start();
    EXPECT_EQ(TakeOutgoing(session), (Bytes{IAC, WILL, COMPORT, IAC, WILL, BINARY, IAC, DO, BINARY,
                                            IAC, WILL, SGA, IAC, DO, SGA}));
    EXPECT_EQ(session.GetState(), State::Offering);
}

TEST(Rfc2217, DataComesOutWhateverWayTheCommandsAreCut) {
    // Data with a doubled 0xFF, a NOP, the server's negotiation and two
    // notifications (one with a doubled 0xFF inside) between the bytes.
    const Bytes wire = {0x25, IAC, IAC,     0x10, IAC,     241, IAC,  DO,  COMPORT, 0x51,
                        IAC,  SB,  COMPORT, 107,  IAC,     IAC, IAC,  SE,  0x06,    IAC,
                        WILL, SGA, IAC,     SB,   COMPORT, 106, 0x60, IAC, SE,      0xAA};
    const Bytes data = {0x25, 0xFF, 0x10, 0x51, 0x06, 0xAA};
    for (size_t cut = 1; cut <= wire.size(); ++cut) {
        Rfc2217Session session = Started();
        Bytes got;
        for (size_t at = 0; at < wire.size(); at += cut) {
            const Bytes part = Receive(
                session, Bytes(wire.begin() + at, wire.begin() + std::min(wire.size(), at + cut)));
            got.insert(got.end(), part.begin(), part.end());
        }
        EXPECT_EQ(got, data) << "cut every " << cut;
        EXPECT_EQ(session.GetState(), State::Agreed) << "cut every " << cut;
        // Both options were asked for: agreeing to them needs no answer.
        EXPECT_TRUE(session.Outgoing().empty()) << "cut every " << cut;
    }
}

struct Negotiation {
    const char* what;
    Bytes received;
    Bytes answer;
    State state;
};

Bytes Repeat(const Bytes& bytes, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i) {
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

Bytes Then(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST(Rfc2217, TheServersNegotiationIsAnsweredOnceAndTheRefusalSeen) {
    const Negotiation kCases[] = {
        {"echo is refused", {IAC, WILL, ECHO}, {IAC, DONT, ECHO}, State::Offering},
        {"terminal type is refused", {IAC, DO, 24}, {IAC, WONT, 24}, State::Offering},
        {"an answer to our request is not answered",
         {IAC, DO, BINARY, IAC, WILL, SGA},
         {},
         State::Offering},
        {"a repeated agreement is not answered", {IAC, DO, SGA, IAC, DO, SGA}, {}, State::Offering},
        {"a later withdrawal is acknowledged",
         {IAC, WILL, BINARY, IAC, WONT, BINARY},
         {IAC, DONT, BINARY},
         State::Offering},
        {"the option is taken", {IAC, DO, COMPORT}, {}, State::Agreed},
        {"DONT refuses the option", {IAC, DONT, COMPORT}, {}, State::Refused},
        {"WONT refuses the option", {IAC, WONT, COMPORT}, {}, State::Refused},
        // A server that repeats itself gets no more answers than one that
        // does not: the replies would queue up without end otherwise.
        {"a repeated offer of a refused option is refused once",
         Repeat({IAC, WILL, 99}, 1000),
         {IAC, DONT, 99},
         State::Offering},
        {"a repeated request of a refused option is refused once",
         Repeat({IAC, DO, 99}, 1000),
         {IAC, WONT, 99},
         State::Offering},
        {"a refused option offered again after its withdrawal is not answered",
         Repeat({IAC, WILL, 99, IAC, WONT, 99}, 1000),
         {IAC, DONT, 99},
         State::Offering},
        {"repeated refusals of options never on are not answered",
         Repeat({IAC, WONT, 99, IAC, DONT, 99, IAC, WONT, ECHO}, 1000),
         {},
         State::Offering},
        {"a repeated agreement to our requests is not answered",
         Repeat({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, DO, COMPORT}, 1000),
         {},
         State::Agreed},
        {"a repeated withdrawal is acknowledged once",
         Then({IAC, WILL, BINARY}, Repeat({IAC, WONT, BINARY}, 1000)),
         {IAC, DONT, BINARY},
         State::Offering},
        {"a repeated refusal of our request is not answered",
         Repeat({IAC, WONT, SGA, IAC, DONT, SGA}, 1000),
         {},
         State::Offering},
        {"a repeated offer of an accepted option, after its refusal, is taken once",
         Then({IAC, WONT, SGA}, Repeat({IAC, WILL, SGA}, 1000)),
         {IAC, DO, SGA},
         State::Offering},
    };
    for (const Negotiation& c : kCases) {
        Rfc2217Session session = Started();
        EXPECT_TRUE(Receive(session, c.received).empty()) << c.what;
        EXPECT_EQ(TakeOutgoing(session), c.answer) << c.what;
        EXPECT_EQ(session.GetState(), c.state) << c.what;
    }
}

Bytes Ack(unsigned char command, Bytes value) {
    Bytes out = {IAC, SB, COMPORT, static_cast<unsigned char>(command + 100)};
    for (unsigned char b : value) {
        out.push_back(b);
        if (b == IAC) {
            out.push_back(IAC);
        }
    }
    out.insert(out.end(), {IAC, SE});
    return out;
}

TEST(Rfc2217, TheLineIsReadyOnceEverySettingIsAcknowledgedAsAsked) {
    Rfc2217Session session = Started();
    Receive(session, {IAC, DO, COMPORT});
    session.Configure(115200);  // 0x0001C200
    EXPECT_EQ(TakeOutgoing(session),
              (Bytes{IAC, SB, COMPORT, 1, 0x00, 0x01, 0xC2, 0x00, IAC, SE,  // speed
                     IAC, SB, COMPORT, 2, 8,    IAC,  SE,                   // data bits
                     IAC, SB, COMPORT, 3, 1,    IAC,  SE,                   // no parity
                     IAC, SB, COMPORT, 4, 1,    IAC,  SE,                   // one stop bit
                     IAC, SB, COMPORT, 5, 1,    IAC,  SE}));                // no flow control
    const Bytes acks[] = {Ack(2, {8}), Ack(1, {0x00, 0x01, 0xC2, 0x00}), Ack(3, {1}), Ack(4, {1})};
    for (const Bytes& ack : acks) {
        Receive(session, ack);
        EXPECT_EQ(session.GetState(), State::Configuring);
    }
    Receive(session, Ack(5, {1}));
    EXPECT_EQ(session.GetState(), State::Ready);
}

TEST(Rfc2217, ASpeedTheServerChangedIsAFailure) {
    Rfc2217Session session = Started();
    Receive(session, {IAC, DO, COMPORT});
    session.Configure(9600);
    Receive(session, Ack(1, {0x00, 0x00, 0x12, 0xC0}));
    EXPECT_EQ(session.GetState(), State::Failed);
    EXPECT_NE(session.Failure().find("the line speed to 4800 instead of 9600"), std::string::npos)
        << session.Failure();
}

TEST(Rfc2217, DataBytes0xFFAreDoubled) {
    const Bytes data = {0x25, 0xFF, 0x00, 0xFF, 0xFF};
    Bytes out;
    Rfc2217Session::EscapeData(data.data(), data.size(), out);
    EXPECT_EQ(out, (Bytes{0x25, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    // Where a write that stopped early leaves the server inside an escape.
    const bool kCuts[] = {false, false, true, false, false, true, false, true, false};
    for (size_t sent = 0; sent <= out.size(); ++sent) {
        EXPECT_EQ(Rfc2217Session::CutsEscape(out.data(), sent), kCuts[sent]) << sent;
    }
    Rfc2217Session session = Started();
    Receive(session, {IAC, WILL, ECHO});
    session.CompleteCutEscape();
    EXPECT_EQ(TakeOutgoing(session), (Bytes{IAC, IAC, DONT, ECHO}));
}

TEST(Rfc2217, AnEndlessSubnegotiationCostsNoMemory) {
    Rfc2217Session session = Started();
    Receive(session, {IAC, DO, COMPORT});
    session.Configure(9600);
    TakeOutgoing(session);
    const size_t capacity = session.Outgoing().capacity();
    // A signature notification that never ends, with escaped 0xFF in it.
    EXPECT_TRUE(Receive(session, {IAC, SB, COMPORT, 123}).empty());
    const Bytes chunk = Repeat({'x', IAC, IAC}, 1 << 14);
    for (int i = 0; i < 200; ++i) {  // 9.8 MB
        ASSERT_TRUE(Receive(session, chunk).empty());
    }
    EXPECT_TRUE(session.Outgoing().empty());
    EXPECT_EQ(session.Outgoing().capacity(), capacity);
    // It ends; what follows is read as before.
    EXPECT_EQ(Receive(session, {IAC, SE, 0x42}), Bytes{0x42});
    const Bytes acks[] = {Ack(1, {0x00, 0x00, 0x25, 0x80}), Ack(2, {8}), Ack(3, {1}), Ack(4, {1}),
                          Ack(5, {1})};
    for (const Bytes& ack : acks) {
        Receive(session, ack);
    }
    EXPECT_EQ(session.GetState(), State::Ready);
}

TEST(Rfc2217, TheOutgoingQueueKeepsItsCap) {
    // All a correct exchange can queue at once stays below the cap: the
    // opening, the line settings, a purge and one answer per option and side.
    Rfc2217Session correct;
    correct.Start();
    correct.Configure(0x7FFFFFFF);
    correct.PurgeServerInput();
    for (int option = 0; option < 256; ++option) {
        const unsigned char o = static_cast<unsigned char>(option);
        Receive(correct, {IAC, WILL, o, IAC, DO, o});
    }
    EXPECT_EQ(correct.Dropped(), 0u);
    EXPECT_LE(correct.Outgoing().size(), Rfc2217Session::kOutgoingCap);

    // A server that turns an accepted option on and off without end while
    // our answers are not taken away: whole answers up to the cap, the rest
    // dropped and counted.
    Rfc2217Session session = Started();
    Receive(session, {IAC, WILL, BINARY});
    Receive(session, Repeat({IAC, WONT, BINARY, IAC, WILL, BINARY}, 100000));
    const Bytes& queue = session.Outgoing();
    EXPECT_LE(queue.size(), Rfc2217Session::kOutgoingCap);
    EXPECT_EQ(queue.size() % 3, 0u);
    for (size_t i = 0; i < queue.size(); i += 3) {
        ASSERT_EQ(queue[i], IAC) << i;
    }
    EXPECT_EQ(session.Dropped(), 200000u - queue.size() / 3);
    TakeOutgoing(session);
    Receive(session, {IAC, WONT, BINARY});
    EXPECT_EQ(TakeOutgoing(session), (Bytes{IAC, DONT, BINARY}));
}

// A server that sends without pause; records what time each call was given.
class FloodLink : public veltor::Rfc2217Link {
public:
    explicit FloodLink(Bytes flood) : m_Flood(std::move(flood)) {}
    bool Send(const unsigned char*, size_t, long timeoutMs) override {
        given.push_back(timeoutMs);
        return true;
    }
    long Receive(unsigned char* bytes, size_t capacity, long timeoutMs) override {
        given.push_back(timeoutMs);
        const size_t n = std::min(capacity, m_Flood.size());
        std::copy(m_Flood.begin(), m_Flood.begin() + n, bytes);
        return static_cast<long>(n);
    }
    std::vector<long> given;

private:
    Bytes m_Flood;
};

TEST(Rfc2217, TheNegotiationEndsAtItsDeadlineHoweverFastBytesArrive) {
    const struct {
        const char* what;
        Bytes flood;
    } kFloods[] = {
        {"NOPs", Repeat({IAC, 241}, 256)},
        {"data", Bytes(512, 0x55)},
        {"an endless subnegotiation", Then({IAC, SB, COMPORT}, Bytes(509, 0x55))},
        {"an option turned on and off", Repeat({IAC, WILL, BINARY, IAC, WONT, BINARY}, 85)},
    };
    const long kTimeoutMs = 200;
    for (const auto& c : kFloods) {
        Rfc2217Session session;
        session.Start();
        FloodLink link(c.flood);
        const auto start = std::chrono::steady_clock::now();
        const std::string failure =
            veltor::NegotiateRfc2217(session, State::Agreed, link, kTimeoutMs);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_NE(failure.find("did not answer the serial port control option"), std::string::npos)
            << c.what << ": " << failure;
        // The documented bound, and each call given only what was left.
        EXPECT_LT(took, std::chrono::milliseconds(kTimeoutMs + 1000)) << c.what;
        ASSERT_FALSE(link.given.empty()) << c.what;
        EXPECT_LE(link.given.front(), kTimeoutMs) << c.what;
        EXPECT_TRUE(std::is_sorted(link.given.rbegin(), link.given.rend())) << c.what;
    }
}

}  // namespace
