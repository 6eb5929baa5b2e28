// The panel's HTTP server on loopback: what it refuses before reading a
// body, and that the token holder is answered while strangers hold
// connections open, idle or slow.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/panel/PanelHttp.h"

using namespace veltor::panel;

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

// One client connection on loopback; every wait is bounded.
class Client {
public:
    explicit Client(int port) : m_Fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bConnected = ::connect(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~Client() { ::close(m_Fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Send(const std::string& bytes) {
        std::size_t sent = 0;
        while (m_bConnected && sent < bytes.size()) {
            const ssize_t n = ::send(m_Fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return m_bConnected;
    }

    // The status of the answer, its body in `body`; 0 when the connection
    // ended or nothing came within the guard.
    int Answer(std::string* body = nullptr) {
        std::string got;
        std::size_t end;
        while ((end = got.find("\r\n\r\n")) == std::string::npos) {
            if (!Receive(got)) {
                return 0;
            }
        }
        const std::size_t length = got.find("Content-Length: ");
        const std::size_t size =
            length < end ? std::stoul(got.substr(length + 16)) : got.size() - end - 4;
        while (got.size() < end + 4 + size && Receive(got)) {
        }
        if (body != nullptr) {
            *body = got.substr(end + 4);
        }
        return got.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(got.substr(9, 3)) : 0;
    }

    // True while the server has not closed the connection (what it sent
    // is read and dropped).
    bool Open() const {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_Fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }

    // Waits for the server to close the connection; false when it did not
    // within the guard.
    bool AwaitClose() {
        std::string ignored;
        while (Receive(ignored)) {
        }
        return !Open();
    }

private:
    // Some bytes within the guard; false at the end or when none came.
    bool Receive(std::string& into) {
        pollfd ready{m_Fd, POLLIN, 0};
        if (::poll(&ready, 1, kGuardMs) != 1) {
            return false;
        }
        char buffer[65536];
        const ssize_t n = ::recv(m_Fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return false;
        }
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    static const int kGuardMs = 30000;
    int m_Fd;
    bool m_bConnected = false;
};

class PanelServer : public ::testing::Test {
protected:
    void Start(ServerLimits limits, std::function<std::string()> simState = nullptr) {
        http = std::make_unique<PanelHttp>(limits);
        port = http->Bind("127.0.0.1", 0);
        ASSERT_GT(port, 0);
        PanelConfig config;
        config.access = {kToken, PanelHosts("127.0.0.1", port)};
        config.simState = std::move(simState);
        config.simReport = [](int, unsigned) {};
        panel = std::make_unique<Panel>(device, config, veltor::setup::Setup());
        http->Start(*panel);
    }
    void TearDown() override {
        if (http) {
            http->Stop();
        }
    }

    std::string Host() const { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"; }
    // A request head with the Host and the token.
    std::string Head(const std::string& line, const std::string& more = "") const {
        return line + " HTTP/1.1\r\n" + Host() + "X-Veltor-Token: " + kToken + "\r\n" + more +
               "\r\n";
    }
    int State() {
        Client client(port);
        client.Send(Head("GET /api/state"));
        return client.Answer();
    }

    CVeltor device;
    std::unique_ptr<PanelHttp> http;
    std::unique_ptr<Panel> panel;
    int port = 0;
};

struct HeadCase {
    const char* name;
    std::string head;
    std::string body;  // sent after the head: never the whole body announced
    int status;
};

TEST_F(PanelServer, ARequestIsRefusedWithoutReadingItsBody) {
    Start(ServerLimits());
    const std::string post = "POST /api/setup HTTP/1.1\r\n" + Host();
    const std::string chunked = "Transfer-Encoding: chunked\r\n";
    const std::string origin = "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n";
    // A chunk of 2 MiB, cut short: the server must not wait for the rest.
    const std::string overLimit = "200000\r\n" + std::string(kMaxBodyBytes + 8192, ' ');
    const HeadCase cases[] = {
        {"no token, a chunked body", post + chunked + "\r\n", "100000\r\n{", 401},
        {"a foreign Host",
         "POST /api/setup HTTP/1.1\r\nHost: evil.example\r\nX-Veltor-Token: " + kToken +
             "\r\nContent-Length: 100000\r\n\r\n",
         "{", 403},
        {"two Origin headers",
         Head("POST /api/setup",
              origin + "Origin: http://evil.example\r\n" + "Content-Length: 2\r\n"),
         "{}", 403},
        {"a POST to the page", "POST / HTTP/1.1\r\n" + Host() + chunked + "\r\n", "100000\r\n{",
         405},
        {"a body announced over the limit", Head("POST /api/setup", "Content-Length: 2097152\r\n"),
         "{", 413},
        {"a chunked body over the limit", Head("POST /api/setup", chunked), overLimit, 413},
        {"a compressed body",
         Head("POST /api/setup", "Content-Encoding: gzip\r\nContent-Length: 8\r\n"),
         "\x1f\x8b\x08\x00\x00\x00\x00\x00", 415},
    };
    for (const HeadCase& c : cases) {
        Client client(port);
        client.Send(c.head + c.body);
        EXPECT_EQ(client.Answer(), c.status) << c.name;
    }
    // The refusals took nothing from the page.
    EXPECT_EQ(State(), 200);
}

// Strangers' connections, opened before the page asks.
struct Load {
    const char* name;
    int idle;     // connected, nothing sent
    int slow;     // a part of a request head, then nothing
    int streams;  // event streams with the token
};

TEST_F(PanelServer, ThePageIsAnsweredWhileStrangersHoldConnections) {
    ServerLimits limits;
    limits.workers = 4;
    limits.mostStreams = 2;
    limits.mostStrangers = 8;
    limits.headSeconds = 60;
    Start(limits);
    const Load loads[] = {{"idle", 6, 0, 0}, {"slow", 0, 6, 0}, {"streams and idle", 4, 0, 2}};
    for (const Load& load : loads) {
        std::vector<std::unique_ptr<Client>> held;
        for (int i = 0; i < load.idle + load.slow + load.streams; ++i) {
            held.push_back(std::make_unique<Client>(port));
            if (i >= load.idle + load.slow) {
                held.back()->Send(Head("GET /api/events"));
                EXPECT_EQ(held.back()->Answer(), 200) << load.name;
            } else if (i >= load.idle) {
                held.back()->Send("GET / HTTP/1.1\r\nHo");
            }
        }
        EXPECT_EQ(State(), 200) << load.name;
        // Answered while they all still wait, not after they were dropped.
        for (const auto& client : held) {
            EXPECT_TRUE(client->Open()) << load.name;
        }
    }
}

TEST_F(PanelServer, ConnectionsThatDawdleOrAreTooManyAreClosed) {
    ServerLimits limits;
    limits.headSeconds = 1;
    limits.mostStrangers = 3;
    Start(limits);
    // One byte of a head at a time: each in time, the whole head never.
    Client slow(port);
    slow.Send("GET / HTTP/1.1\r\nX-Long: ");
    int sent = 0;
    for (; sent < 300 && slow.Open(); ++sent) {
        slow.Send("a");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(sent, 300) << "a head sent a byte at a time was never cut off";

    limits.headSeconds = 60;
    http->Stop();
    Start(limits);
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<Client>(port));
    }
    // The one waiting longest goes.
    EXPECT_TRUE(idle[0]->AwaitClose());
    for (int i = 1; i < 4; ++i) {
        EXPECT_TRUE(idle[i]->Open()) << i;
    }
    EXPECT_EQ(State(), 200);
}

TEST_F(PanelServer, AnExceptionInAHandlerIsAnsweredAndServingGoesOn) {
    Start(ServerLimits(), []() -> std::string { throw std::runtime_error("the simulator broke"); });
    Client client(port);
    client.Send(Head("GET /api/sim"));
    std::string body;
    EXPECT_EQ(client.Answer(&body), 500);
    EXPECT_NE(body.find("the simulator broke"), std::string::npos) << body;
    EXPECT_EQ(State(), 200);
}

}  // namespace
