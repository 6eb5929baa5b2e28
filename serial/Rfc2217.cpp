#include "serial/Rfc2217.h"

#include <chrono>

namespace veltor {

namespace {

// Telnet (RFC 854, 855).
const unsigned char kSe = 240;
const unsigned char kSb = 250;
const unsigned char kWill = 251;
const unsigned char kWont = 252;
const unsigned char kDo = 253;
const unsigned char kDont = 254;
const unsigned char kIac = 255;

const unsigned char kBinary = 0;
const unsigned char kSuppressGoAhead = 3;
const unsigned char kComPort = 44;

// COM Port Control commands (RFC 2217); the server answers command n with
// n + 100.
const unsigned char kSetBaudRate = 1;
const unsigned char kSetDataSize = 2;
const unsigned char kSetParity = 3;
const unsigned char kSetStopSize = 4;
const unsigned char kSetControl = 5;
const unsigned char kPurgeData = 12;
const unsigned char kServerOffset = 100;

const unsigned char kParityNone = 1;
const unsigned char kOneStopBit = 1;
const unsigned char kNoFlowControl = 1;
const unsigned char kPurgeReceive = 1;

bool Accepted(unsigned char option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

const char* SettingName(unsigned char command) {
    switch (command) {
        case kSetBaudRate:
            return "the line speed";
        case kSetDataSize:
            return "the data bits";
        case kSetParity:
            return "the parity";
        case kSetStopSize:
            return "the stop bits";
        default:
            return "the flow control";
    }
}

}  // namespace

void Rfc2217Session::Start() {
    Request(m_Ours[kComPort], kWill, kComPort);
    for (const unsigned char option : {kBinary, kSuppressGoAhead}) {
        Request(m_Ours[option], kWill, option);
        Request(m_Theirs[option], kDo, option);
    }
}

void Rfc2217Session::Request(Option& side, unsigned char verb, unsigned char option) {
    side = Option::Requested;
    SendCommand(verb, option);
}

void Rfc2217Session::Configure(long baud) {
    const std::uint32_t speed = static_cast<std::uint32_t>(baud);
    const unsigned char speedBytes[4] = {
        static_cast<unsigned char>(speed >> 24), static_cast<unsigned char>(speed >> 16),
        static_cast<unsigned char>(speed >> 8), static_cast<unsigned char>(speed)};
    m_Asked[kSetBaudRate] = speed;
    m_Asked[kSetDataSize] = 8;
    m_Asked[kSetParity] = kParityNone;
    m_Asked[kSetStopSize] = kOneStopBit;
    m_Asked[kSetControl] = kNoFlowControl;
    m_Unacknowledged = 0;
    SendComPort(kSetBaudRate, speedBytes, 4);
    for (unsigned char command = kSetDataSize; command <= kSetControl; ++command) {
        const unsigned char value = static_cast<unsigned char>(m_Asked[command]);
        SendComPort(command, &value, 1);
    }
    for (unsigned char command = kSetBaudRate; command <= kSetControl; ++command) {
        m_Unacknowledged |= 1u << command;
    }
    m_State = State::Configuring;
}

void Rfc2217Session::PurgeServerInput() {
    SendComPort(kPurgeData, &kPurgeReceive, 1);
}

void Rfc2217Session::EscapeData(const unsigned char* bytes, std::size_t count,
                                std::vector<unsigned char>& out) {
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) {
            out.push_back(kIac);
        }
    }
}

bool Rfc2217Session::CutsEscape(const unsigned char* escaped, std::size_t sent) {
    // Escaped data holds 0xFF only in pairs: an odd count ends inside one.
    std::size_t iacs = 0;
    for (std::size_t i = 0; i < sent; ++i) {
        iacs += escaped[i] == kIac ? 1 : 0;
    }
    return iacs % 2 == 1;
}

void Rfc2217Session::CompleteCutEscape() {
    m_Outgoing.insert(m_Outgoing.begin(), kIac);
}

std::size_t Rfc2217Session::Receive(unsigned char* bytes, std::size_t count) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char b = bytes[i];
        switch (m_Parse) {
            case Parse::Data:
                if (b == kIac) {
                    m_Parse = Parse::Iac;
                } else {
                    bytes[kept++] = b;
                }
                break;
            case Parse::Iac:
                if (b == kIac) {
                    bytes[kept++] = b;  // a data byte 0xFF
                    m_Parse = Parse::Data;
                } else if (b >= kWill) {
                    m_Verb = b;
                    m_Parse = Parse::Verb;
                } else if (b == kSb) {
                    m_SubLength = 0;
                    m_Parse = Parse::Sub;
                } else {
                    // NOP, go-ahead, data mark, break and the like: nothing
                    // for a binary line.
                    m_Parse = Parse::Data;
                }
                break;
            case Parse::Verb:
                Command(m_Verb, b);
                m_Parse = Parse::Data;
                break;
            case Parse::Sub:
                if (b == kIac) {
                    m_Parse = Parse::SubIac;
                } else if (m_SubLength < sizeof(m_Sub)) {
                    m_Sub[m_SubLength++] = b;
                }
                break;
            case Parse::SubIac:
                if (b == kIac) {
                    if (m_SubLength < sizeof(m_Sub)) {
                        m_Sub[m_SubLength++] = b;
                    }
                    m_Parse = Parse::Sub;
                } else {
                    // IAC SE ends it; anything else after IAC is a server's
                    // mistake, taken as the end as well.
                    SubNegotiation();
                    m_Parse = Parse::Data;
                }
                break;
        }
    }
    return kept;
}

void Rfc2217Session::Command(unsigned char verb, unsigned char option) {
    const bool comPortOpen =
        m_State == State::Offering || m_State == State::Agreed || m_State == State::Configuring;
    switch (verb) {
        case kWill:
            TurnedOn(m_Theirs[option], option, kDo, kDont);
            break;
        case kDo:
            TurnedOn(m_Ours[option], option, kWill, kWont);
            if (option == kComPort && m_State == State::Offering) {
                m_State = State::Agreed;
            }
            break;
        case kWont:
            TurnedOff(m_Theirs[option], option, kDont);
            if (option == kComPort && comPortOpen) {
                m_State = State::Refused;
            }
            break;
        case kDont:
            TurnedOff(m_Ours[option], option, kWont);
            if (option == kComPort && comPortOpen) {
                m_State = State::Refused;
            }
            break;
        default:
            break;
    }
}

// The server turns an option on, or offers to: WILL for its side, DO for
// ours. Answered only when the option's state changes.
void Rfc2217Session::TurnedOn(Option& side, unsigned char option, unsigned char yes,
                              unsigned char no) {
    switch (side) {
        case Option::Requested:
            side = Option::Active;  // the answer to our request: not answered
            break;
        case Option::Inactive:
            if (Accepted(option)) {
                side = Option::Active;
                SendCommand(yes, option);
            } else {
                // Refused once; RFC 1143 would refuse each new offer again,
                // which a server repeating the offer turns into a flood.
                side = Option::Declined;
                SendCommand(no, option);
            }
            break;
        case Option::Active:
        case Option::Declined:
            break;
    }
}

// The server turns an option off, or refuses it: WONT for its side, DONT for
// ours. Only turning off an active option is acknowledged.
void Rfc2217Session::TurnedOff(Option& side, unsigned char option, unsigned char no) {
    switch (side) {
        case Option::Active:
            side = Option::Inactive;
            SendCommand(no, option);
            break;
        case Option::Requested:
            side = Option::Inactive;  // our request refused: not answered
            break;
        case Option::Inactive:
        case Option::Declined:
            break;
    }
}

void Rfc2217Session::SubNegotiation() {
    if (m_SubLength < 2 || m_Sub[0] != kComPort || m_Sub[1] < kServerOffset) {
        return;
    }
    // Acknowledgements carry the value the server set; notifications (line
    // state, modem state, flow control, the signature) need no answer.
    const unsigned char command = static_cast<unsigned char>(m_Sub[1] - kServerOffset);
    std::uint32_t value = 0;
    const std::size_t length = m_SubLength - 2 > 4 ? 4 : m_SubLength - 2;
    for (std::size_t i = 0; i < length; ++i) {
        value = (value << 8) | m_Sub[2 + i];
    }
    Acknowledged(command, value, length);
}

void Rfc2217Session::Acknowledged(unsigned char command, std::uint32_t value, std::size_t length) {
    if (m_State != State::Configuring || command < kSetBaudRate || command > kSetControl ||
        (m_Unacknowledged & (1u << command)) == 0) {
        return;
    }
    m_Unacknowledged &= ~(1u << command);
    const std::size_t expected = command == kSetBaudRate ? 4 : 1;
    if (length != expected || value != m_Asked[command]) {
        m_State = State::Failed;
        m_Failure = std::string("the server set ") + SettingName(command) + " to " +
                    std::to_string(value) + " instead of " + std::to_string(m_Asked[command]);
        return;
    }
    if (m_Unacknowledged == 0) {
        m_State = State::Ready;
    }
}

bool Rfc2217Session::Fits(std::size_t length) {
    if (m_Outgoing.size() + length <= kOutgoingCap) {
        return true;
    }
    ++m_Dropped;
    return false;
}

void Rfc2217Session::SendCommand(unsigned char verb, unsigned char option) {
    if (Fits(kAnswerLength)) {
        m_Outgoing.insert(m_Outgoing.end(), {kIac, verb, option});
    }
}

void Rfc2217Session::SendComPort(unsigned char command, const unsigned char* value,
                                 std::size_t length) {
    std::size_t escapedLength = length;
    for (std::size_t i = 0; i < length; ++i) {
        escapedLength += value[i] == kIac ? 1 : 0;
    }
    if (!Fits(6 + escapedLength)) {
        return;
    }
    m_Outgoing.insert(m_Outgoing.end(), {kIac, kSb, kComPort, command});
    EscapeData(value, length, m_Outgoing);
    m_Outgoing.insert(m_Outgoing.end(), {kIac, kSe});
}

std::string NegotiateRfc2217(Rfc2217Session& session, Rfc2217Session::State goal, Rfc2217Link& link,
                             long timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // What is left of the one deadline, taken afresh at each turn: a server
    // that keeps sending (NOPs, data, an endless subnegotiation) or keeps
    // the socket full cannot stretch the negotiation.
    const auto left = [&deadline] {
        const long long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return ms > 0 ? static_cast<long>(ms) : 0L;
    };
    const std::string seconds = std::to_string((timeoutMs + 999) / 1000) + " s";
    const std::string timedOut =
        goal == Rfc2217Session::State::Agreed
            ? "the server did not answer the serial port control option (RFC 2217) within " +
                  seconds + " (is it a Telnet server with RFC 2217?)"
            : "the server did not acknowledge the line settings (RFC 2217) within " + seconds;
    unsigned char bytes[512];
    for (;;) {
        std::vector<unsigned char>& outgoing = session.Outgoing();
        if (!outgoing.empty()) {
            const long sendMs = left();
            if (sendMs == 0) {
                return timedOut;
            }
            if (!link.Send(outgoing.data(), outgoing.size(), sendMs)) {
                return left() == 0 ? timedOut
                                   : "the connection failed during the Telnet negotiation";
            }
            outgoing.clear();
        }
        switch (session.GetState()) {
            case Rfc2217Session::State::Refused:
                return "the server refused the serial port control option (RFC 2217)";
            case Rfc2217Session::State::Failed:
                return session.Failure();
            default:
                break;
        }
        if (session.GetState() == goal) {
            return "";
        }
        const long waitMs = left();
        const long got = waitMs > 0 ? link.Receive(bytes, sizeof(bytes), waitMs) : 0;
        if (got < 0) {
            return "the server closed the connection during the Telnet negotiation (is it a "
                   "Telnet server with RFC 2217?)";
        }
        if (got == 0 && left() == 0) {
            return timedOut;
        }
        session.Receive(bytes, static_cast<std::size_t>(got));
    }
}

}  // namespace veltor
