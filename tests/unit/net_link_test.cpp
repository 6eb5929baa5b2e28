// Network port names and the Telnet/RFC 2217 session, without a socket.
#include <gtest/gtest.h>

#include <algorithm>
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
}

}  // namespace
