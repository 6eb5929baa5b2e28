// Instruments on the network: the library against the simulated instrument
// behind a device server on loopback — its own raw TCP server, Debian's
// ser2net raw and with RFC 2217 — and against servers that refuse, stay
// silent, vanish or were never there.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "sim/TcpServer.h"
#include "sim/Wire.h"

extern char** environ;

namespace e2e {
namespace {

using vsim::FaultKind;

const int kBaud2400 = 0;
const int kBaud9600 = 2;
const int kBaud57600 = 5;

// A delay whose bytes hold 0xFF, the Telnet command byte, in every position
// but one.
const uint32_t kIacCounts = 0xFFFF00FF;

std::string Loopback(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

// A loopback socket bound to a free port; listening or not.
int BoundSocket(bool listening, uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        (listening && ::listen(fd, 4) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind a loopback socket");
    }
    *port = ntohs(address.sin_port);
    return fd;
}

bool Holds(CChannel* channel, uint32_t counts) {
    return std::llround(channel->GetLastDelay() * 200e6) == counts;
}

// The 1024-byte burst as it reaches the instrument over a direct line.
Bytes DirectBurst() {
    vsim::Simulator sim;
    CVeltor device;
    EXPECT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    EXPECT_TRUE(sim.WaitForRawBytes(1024, 5000));
    return sim.RawReceived();
}

// ---- The simulator behind its own raw TCP server --------------------------------

class RawTcp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(device.InitConnection(server.Url().c_str(), kBaud115200), 0)
            << device.GetLastError();
        ASSERT_TRUE(sim.WaitForRawBytes(1024, 5000));
        sim.ClearLog();
    }

    vsim::Simulator sim;
    vsim::TcpServer server{sim.SlavePath()};
    TestDevice device;
};

TEST_F(RawTcp, CommandsAreAnsweredAndTheBurstArrivesWhole) {
    for (int ch = 0; ch < 8; ++ch) {
        sim.SetChannelDelay(ch, ch == 3 ? kIacCounts : 1000u + ch);
    }
    EXPECT_TRUE(device.CmdEnableOutputs());
    for (int ch = 0; ch < 8; ++ch) {
        CChannel* channel = device.GetChannel(static_cast<char>('A' + ch));
        ASSERT_TRUE(channel->CmdQuery()) << device.GetLastError();
        EXPECT_TRUE(Holds(channel, ch == 3 ? kIacCounts : 1000u + ch)) << "channel " << ch;
    }
    EXPECT_TRUE(device.CmdLockFP());
    ASSERT_EQ(sim.FrameCount(), 10u);
    for (const vsim::Frame& frame : sim.Frames()) {
        EXPECT_TRUE(frame.valid);
    }
    EXPECT_EQ(sim.Frames().front().payload, Bytes{0x80});
}

TEST_F(RawTcp, NoReportIsLostDuringBackToBackCommands) {
    CommandsLoseNoReport(sim, device, 600, 200);
}

// How a server goes away while the host awaits an answer.
struct Vanishing {
    const char* name;
    FaultKind fault;  // what the instrument does with the request
    int drop;         // 0: the instrument hangs up its line; 1: orderly close; 2: reset
};

class ServerGoesAway : public RawTcp, public ::testing::WithParamInterface<Vanishing> {};

TEST_P(ServerGoesAway, TheExchangeEndsWithALostPortAndANewConnectionWorks) {
    const Vanishing& v = GetParam();
    sim.QueueFaults(Make(v.fault), 5);
    std::thread dropper;
    if (v.drop != 0) {
        dropper = std::thread([&] {
            // Once the request has reached the instrument, the host awaits.
            ASSERT_TRUE(sim.WaitForFrames(1, 5000));
            server.DropClient(v.drop == 2);
        });
    }
    EXPECT_FALSE(device.CmdEnableOutputs());
    if (dropper.joinable()) {
        dropper.join();
    }
    EXPECT_EQ(device.GetLastOutcome(), CSerDev::kPortLost) << device.GetLastError();
    EXPECT_FALSE(device.IsConnected());
    // Later commands fail at once, the same way.
    EXPECT_FALSE(device.GetChannel('A')->CmdQuery());
    EXPECT_EQ(device.GetLastOutcome(), CSerDev::kPortLost);
    EXPECT_EQ(device.CloseConnection(), 0);
    if (v.drop != 0) {
        sim.ClearFaults();
        ASSERT_EQ(device.InitConnection(server.Url().c_str(), kBaud115200), 0)
            << device.GetLastError();
        EXPECT_TRUE(device.CmdEnableOutputs()) << device.GetLastError();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Network, ServerGoesAway,
    ::testing::Values(Vanishing{"LineHangsUp", FaultKind::HangUp, 0},
                      Vanishing{"ServerClosesTheConnection", FaultKind::NoAnswer, 1},
                      Vanishing{"ServerResetsTheConnection", FaultKind::NoAnswer, 2}),
    ByName());

// ---- Servers that are no device servers -------------------------------------------

// A Telnet server that answers the COM Port Control option with a refusal,
// or not at all.
class TinyTelnetServer {
public:
    enum Answer { kDont, kWont, kSilent };

    explicit TinyTelnetServer(Answer answer) : answer_(answer) {
        listen_ = BoundSocket(true, &port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TinyTelnetServer() {
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
    }
    uint16_t Port() const { return port_; }

private:
    void Serve() {
        const int client = ::accept(listen_, nullptr, nullptr);
        if (client < 0) {
            return;
        }
        // Refuses every option the host offers or asks for; the host closes
        // the connection when it gives up.
        unsigned char bytes[256];
        unsigned char verb = 0;
        int state = 0;  // 0 data, 1 after IAC, 2 after a verb
        ssize_t got;
        while ((got = ::read(client, bytes, sizeof(bytes))) > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                const unsigned char b = bytes[i];
                if (state == 2) {
                    const unsigned char refusal = verb == 251 ? 254 : verb == 253 ? 252 : 0;
                    const unsigned char reply[3] = {
                        255,
                        answer_ == kWont && b == 44 ? static_cast<unsigned char>(252) : refusal, b};
                    if (answer_ != kSilent && refusal != 0) {
                        // The host may have closed already: no SIGPIPE.
                        (void)::send(client, reply, sizeof(reply), MSG_NOSIGNAL);
                    }
                    state = 0;
                } else if (state == 1) {
                    verb = b;
                    state = b >= 251 ? 2 : 0;
                } else if (b == 255) {
                    state = 1;
                }
            }
        }
        ::close(client);
    }

    Answer answer_;
    uint16_t port_ = 0;
    int listen_ = -1;
    std::thread thread_;
};

struct BadPort {
    const char* label;
    const char* name;
    int baudIndex;
    int code;
    const char* message;
};

class NetworkFailure : public ::testing::TestWithParam<BadPort> {};

TEST_P(NetworkFailure, InitConnectionFailsWithItsReason) {
    const BadPort& bad = GetParam();
    uint16_t closedPort = 0;
    // Bound, never listening: a connection there is refused, and no other
    // program takes the port meanwhile.
    const int closed = BoundSocket(false, &closedPort);
    TinyTelnetServer dont(TinyTelnetServer::kDont);
    TinyTelnetServer wont(TinyTelnetServer::kWont);
    TinyTelnetServer silent(TinyTelnetServer::kSilent);
    vsim::Simulator sim;
    vsim::TcpServer server(sim.SlavePath());
    // A host name no lookup can find: its first label is longer than DNS
    // allows, so the resolver fails without asking any name server.
    const std::string unresolvable = std::string(70, 'x') + ".example";

    std::string name = bad.name;
    const auto put = [&name](const std::string& key, const std::string& value) {
        const size_t at = name.find(key);
        if (at != std::string::npos) {
            name.replace(at, key.size(), value);
        }
    };
    put("CLOSED", Loopback(closedPort));
    put("DONT", Loopback(dont.Port()));
    put("WONT", Loopback(wont.Port()));
    put("SILENT", Loopback(silent.Port()));
    put("SIM", Loopback(server.Port()));
    put("UNRESOLVABLE", unresolvable);

    TestDevice device;
    EXPECT_EQ(device.InitConnection(name.c_str(), bad.baudIndex), bad.code) << name;
    const std::string error = device.GetLastError();
    EXPECT_NE(error.find(bad.message), std::string::npos) << error;
    EXPECT_FALSE(device.IsConnected());
    EXPECT_FALSE(device.CmdEnableOutputs());
    EXPECT_EQ(device.CloseConnection(), 0);
    // Nothing reached the instrument.
    EXPECT_TRUE(sim.RawReceived().empty());
    ::close(closed);
}

INSTANTIATE_TEST_SUITE_P(
    Network, NetworkFailure,
    ::testing::Values(
        BadPort{"Refused", "socket://CLOSED", kBaud115200, -1, "Connection refused"},
        BadPort{"RefusedRfc2217", "rfc2217://CLOSED", kBaud115200, -1, "Connection refused"},
        BadPort{"Unresolvable", "socket://UNRESOLVABLE:4000", kBaud115200, -1,
                "cannot resolve the host name x"},
        BadPort{"NoPort", "socket://127.0.0.1", kBaud115200, -1, "expected socket://HOST:PORT"},
        BadPort{"PortZero", "rfc2217://127.0.0.1:0", kBaud115200, -1,
                "expected rfc2217://HOST:PORT"},
        BadPort{"BareIpv6", "socket://::1:4000", kBaud115200, -1, "[::1]:PORT"},
        BadPort{"BadBaudIndex", "socket://SIM", 7, -1, "no baud index 7"},
        BadPort{"OptionDont", "rfc2217://DONT", kBaud9600, -1,
                "the server refused the serial port control option (RFC 2217)"},
        BadPort{"OptionWont", "rfc2217://WONT", kBaud9600, -1,
                "the server refused the serial port control option (RFC 2217)"},
        BadPort{"OptionSilent", "rfc2217://SILENT", kBaud9600, -1,
                "the server did not answer the serial port control option (RFC 2217)"}),
    [](const ::testing::TestParamInfo<BadPort>& info) { return std::string(info.param.label); });

// ---- Debian's ser2net in front of the simulator -------------------------------------

// ser2net tells no one when it is done with something: it is looked at
// every 20 ms until it is, for at most `seconds` (counted in time, not in
// looks, and far beyond what it needs, for a loaded machine).
template <typename Done>
bool LookUntil(int seconds, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool Ser2netInstalled() {
    return std::system("ser2net -v >/dev/null 2>&1") == 0;
}

// ser2net serving the simulator's terminal raw on one port and with RFC 2217
// on another, from a configuration file in a directory of its own.
class Ser2net {
public:
    Ser2net(const std::string& terminal, const std::string& rawSpeed) {
        char pattern[] = "/tmp/veltor_ser2net_XXXXXX";
        dir_ = ::mkdtemp(pattern);
        // Free ports, released just before ser2net takes them.
        const int a = BoundSocket(false, &rawPort_);
        const int b = BoundSocket(false, &telnetPort_);
        ::close(a);
        ::close(b);
        config_ = dir_ + "/ser2net.yaml";
        std::ofstream(config_) << "%YAML 1.1\n---\n"
                               << "connection: &raw\n"
                               << "  accepter: tcp,127.0.0.1," << rawPort_ << "\n"
                               << "  connector: serialdev," << terminal << "," << rawSpeed
                               << "n81,local\n"
                               << "connection: &rfc2217\n"
                               << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort_
                               << "\n"
                               << "  connector: serialdev," << terminal << ",115200n81,local\n";
        std::vector<std::string> args = {"ser2net", "-n", "-u", "-c", config_};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        started_ = ::posix_spawnp(&pid_, "ser2net", &actions, nullptr, argv.data(), environ) == 0 &&
                   Listening(rawPort_) && Listening(telnetPort_);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Ser2net() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::remove((dir_ + "/log").c_str());
        std::remove(config_.c_str());
        ::rmdir(dir_.c_str());
    }
    bool Started() const { return started_; }
    std::string Log() const {
        std::ifstream in(dir_ + "/log");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string Raw() const { return "socket://" + Loopback(rawPort_); }
    std::string Rfc2217() const { return "rfc2217://" + Loopback(telnetPort_); }

private:
    // Its accepters are up once the port takes a connection.
    bool Listening(uint16_t port) {
        bool ended = false;
        const bool up = LookUntil(30, [&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                ended = true;  // ser2net ended: a bad configuration
                return true;
            }
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool taken =
                ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
            ::close(fd);
            return taken;
        });
        return up && !ended;
    }

    std::string dir_;
    std::string config_;
    uint16_t rawPort_ = 0;
    uint16_t telnetPort_ = 0;
    pid_t pid_ = -1;
    bool started_ = false;
};

class Ser2netServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Ser2netInstalled()) {
            GTEST_SKIP() << "ser2net is not installed (Debian package ser2net)";
        }
        server.reset(new Ser2net(sim.SlavePath(), "19200"));
        ASSERT_TRUE(server->Started()) << "ser2net did not start";
    }

    // ser2net refuses a connection while another still uses the serial port
    // (the start-up probes, or the last connection while ser2net closes it),
    // with an error message for the client: a refused connection is tried
    // again, within a bound.
    ::testing::AssertionResult Connect(const std::string& port, int baudIndex) {
        if (LookUntil(10, [&] { return device.InitConnection(port.c_str(), baudIndex) == 0; })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << device.GetLastError() << "\nser2net's log:\n"
                                             << server->Log();
    }

    vsim::Simulator sim;
    std::unique_ptr<Ser2net> server;
    TestDevice device;
};

TEST_F(Ser2netServer, RawPassesBytesThroughAtTheServersSpeed) {
    ASSERT_TRUE(Connect(server->Raw(), kBaud2400));
    ASSERT_TRUE(sim.WaitForRawBytes(1024, 5000));
    EXPECT_EQ(sim.RawReceived(), DirectBurst());
    // The baud index is the host's guess only: the server keeps its own
    // (which its terminal may take after the first bytes have passed).
    double speed = 0;
    LookUntil(10, [&] { return (speed = sim.LineSpeed()) == 19200; });
    EXPECT_EQ(speed, 19200);
    sim.SetChannelDelay(2, kIacCounts);
    ASSERT_TRUE(device.GetChannel('C')->CmdQuery()) << device.GetLastError();
    EXPECT_TRUE(Holds(device.GetChannel('C'), kIacCounts));
}

TEST_F(Ser2netServer, Rfc2217SetsTheLineSpeedTheHostAsksFor) {
    const struct {
        int baudIndex;
        double speed;
    } kCases[] = {{kBaud9600, 9600}, {kBaud2400, 2400}, {kBaud57600, 57600}};
    for (const auto& c : kCases) {
        ASSERT_TRUE(Connect(server->Rfc2217(), c.baudIndex));
        // ser2net may acknowledge a speed before its terminal takes it: the
        // terminal is looked at until it has, within a bound.
        double speed = 0;
        LookUntil(10, [&] { return (speed = sim.LineSpeed()) == c.speed; });
        EXPECT_EQ(speed, c.speed) << "ser2net's log:\n" << server->Log();
        EXPECT_TRUE(device.CmdEnableOutputs()) << device.GetLastError();
        EXPECT_EQ(device.CloseConnection(), 0);
    }
}

TEST_F(Ser2netServer, Rfc2217CarriesTheTelnetCommandByteAsDataBothWays) {
    ASSERT_TRUE(Connect(server->Rfc2217(), kBaud115200));
    // The burst holds 0xFF bytes: doubled on the way, single on the line.
    ASSERT_TRUE(sim.WaitForRawBytes(1024, 5000));
    const Bytes burst = DirectBurst();
    ASSERT_NE(std::count(burst.begin(), burst.end(), 0xFF), 0);
    EXPECT_EQ(sim.RawReceived(), burst);
    sim.ClearLog();

    // Answers and reports with 0xFF reach the host as they left the
    // instrument, around the server's own notifications.
    sim.SetChannelDelay(7, kIacCounts);
    ASSERT_TRUE(device.GetChannel('H')->CmdQuery()) << device.GetLastError();
    EXPECT_TRUE(Holds(device.GetChannel('H'), kIacCounts));
    const Bytes report = Report(4, 0xFFFFFFFF);
    sim.SendBytes(report);
    ASSERT_TRUE(device.WaitForUnsolicited(report.size()));
    EXPECT_EQ(device.Unsolicited(), report);
    EXPECT_TRUE(Holds(device.GetChannel('E'), 0xFFFFFFFF));

    // A report every 2 ms: often enough to come around answers, and slow
    // enough that ser2net, a process of its own, keeps up on a loaded
    // machine instead of holding each answer behind a growing backlog.
    sim.StartReportStream(-1, 0xFFFFFF00, 2000);
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(device.CmdEnableOutputs()) << i << ": " << device.GetLastError();
    }
    const size_t sent = sim.StopReportStream();
    ASSERT_TRUE(device.WaitForUnsolicited(report.size() + 8 * sent));
    const auto reports = ReportsIn(device.Unsolicited());
    ASSERT_EQ(reports.size(), sent + 1);
    for (size_t i = 1; i < reports.size(); ++i) {
        ASSERT_EQ(reports[i].second, static_cast<uint32_t>(0xFFFFFF00 + i - 1)) << "report " << i;
    }
}

TEST_F(Ser2netServer, ServerStoppingIsALostPort) {
    ASSERT_TRUE(Connect(server->Rfc2217(), kBaud115200));
    ASSERT_TRUE(device.CmdEnableOutputs());
    server.reset();
    EXPECT_FALSE(device.CmdEnableOutputs());
    EXPECT_EQ(device.GetLastOutcome(), CSerDev::kPortLost) << device.GetLastError();
    EXPECT_FALSE(device.IsConnected());
}

}  // namespace
}  // namespace e2e
