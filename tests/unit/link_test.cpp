// The same operations against each kind of link, each with a peer on the
// other end that the test plays: a terminal (the master side of a
// pseudo-terminal), a raw TCP device server on loopback, and an RFC 2217
// server on loopback that agrees to everything and decodes what it gets.
#ifndef _WIN32
#include "serial/link/Link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"

namespace pf = veltor::platform;
namespace lk = veltor::link;

namespace {

typedef std::vector<unsigned char> Bytes;

// How long anything a test waits for may take before the test fails: far
// beyond what a loaded machine needs, and never waited out when all is well.
const auto kBound = std::chrono::seconds(10);

// Data that a link must carry unchanged: the Telnet command byte, the
// software flow-control bytes, a null byte.
const Bytes kData = {0x51, 0xFF, 0x11, 0x13, 0x00, 0xFF, 0xFF, 0xAA};

class Peer {
public:
    virtual ~Peer() = default;
    virtual std::string Name() const = 0;
    // Sends data bytes to the link.
    virtual void Send(const Bytes& data) = 0;
    // The first `count` data bytes the link sent, or fewer after kBound.
    virtual Bytes Receive(std::size_t count) = 0;
    // Ends the line (an orderly close of the connection).
    virtual void HangUp() = 0;
    // The line speed an RFC 2217 link set and the purges it asked for; 0 for
    // the other kinds.
    virtual long Baud() { return 0; }
    virtual int PurgesAfter(int) { return 0; }
};

class TerminalPeer : public Peer {
public:
    TerminalPeer() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        name_ = ptsname(master_);
    }
    ~TerminalPeer() override { HangUp(); }
    std::string Name() const override { return name_; }
    void Send(const Bytes& data) override {
        ASSERT_EQ(write(master_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    Bytes Receive(std::size_t count) override {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            unsigned char bytes[256];
            if (poll(&p, 1, 100) > 0) {
                const ssize_t n = read(master_, bytes, std::min(sizeof(bytes), count - got.size()));
                got.insert(got.end(), bytes, bytes + std::max<ssize_t>(n, 0));
            }
        }
        return got;
    }
    void HangUp() override {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

private:
    int master_ = -1;
    std::string name_;
};

class ServerPeer : public Peer {
public:
    explicit ServerPeer(bool telnet) : telnet_(telnet) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listen_, 1) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ServerPeer() override {
        shutdown(listen_, SHUT_RDWR);
        HangUp();
        thread_.join();
        close(listen_);
        if (client_ >= 0) {
            close(client_);
        }
    }
    std::string Name() const override {
        return (telnet_ ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") + std::to_string(port_);
    }
    void Send(const Bytes& data) override {
        Bytes wire;
        for (const unsigned char b : data) {
            wire.push_back(b);
            if (telnet_ && b == 0xFF) {
                wire.push_back(0xFF);
            }
        }
        SendWire(Client(), wire);
    }
    Bytes Receive(std::size_t count) override {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, kBound, [&] { return data_.size() >= count || ended_; });
        return Bytes(data_.begin(), data_.begin() + std::min(count, data_.size()));
    }
    void HangUp() override {
        std::unique_lock<std::mutex> hold(lock_);
        if (client_ >= 0) {
            shutdown(client_, SHUT_RDWR);
        }
    }
    long Baud() override {
        std::lock_guard<std::mutex> hold(lock_);
        return baud_;
    }
    int PurgesAfter(int count) override {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, kBound, [&] { return purges_ >= count || ended_; });
        return purges_;
    }

private:
    static void SendWire(int fd, const Bytes& wire) {
        ASSERT_EQ(send(fd, wire.data(), wire.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(wire.size()));
    }
    int Client() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, kBound, [&] { return client_ >= 0; });
        return client_;
    }
    void Serve() {
        const int client = accept(listen_, nullptr, nullptr);
        if (client < 0) {
            return;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            client_ = client;
        }
        changed_.notify_all();
        unsigned char bytes[512];
        ssize_t got;
        while ((got = read(client, bytes, sizeof(bytes))) > 0) {
            std::lock_guard<std::mutex> hold(lock_);
            for (ssize_t i = 0; i < got; ++i) {
                Feed(client, bytes[i]);
            }
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> hold(lock_);
        ended_ = true;
        changed_.notify_all();
    }
    // Telnet as a server with RFC 2217 that agrees to everything: WILL is
    // answered DO, DO is answered WILL, and each COM Port Control command is
    // acknowledged with the value asked for.
    void Feed(int client, unsigned char b) {
        enum { kData, kIac, kVerb, kSub, kSubIac };
        if (!telnet_) {
            data_.push_back(b);
            return;
        }
        switch (state_) {
            case kData:
                if (b == 0xFF) {
                    state_ = kIac;
                } else {
                    data_.push_back(b);
                }
                return;
            case kIac:
                verb_ = b;
                state_ = b == 0xFF ? kData : b == 250 ? kSub : b >= 251 ? kVerb : kData;
                if (b == 0xFF) {
                    data_.push_back(b);
                }
                sub_.clear();
                return;
            case kVerb:
                if (verb_ == 251 || verb_ == 253) {
                    SendWire(client,
                             {0xFF, static_cast<unsigned char>(verb_ == 251 ? 253 : 251), b});
                }
                state_ = kData;
                return;
            case kSub:
                if (b == 0xFF) {
                    state_ = kSubIac;
                } else {
                    sub_.push_back(b);
                }
                return;
            case kSubIac:
                if (b == 0xFF) {
                    sub_.push_back(b);
                    state_ = kSub;
                    return;
                }
                state_ = kData;
                if (sub_.size() >= 2 && sub_[0] == 44) {
                    Acknowledge(client);
                }
                return;
        }
    }
    void Acknowledge(int client) {
        const unsigned char command = sub_[1];
        if (command == 1 && sub_.size() == 6) {
            baud_ = (long(sub_[2]) << 24) | (long(sub_[3]) << 16) | (sub_[4] << 8) | sub_[5];
        }
        if (command == 12) {
            ++purges_;
        }
        Bytes ack = {0xFF, 250, 44, static_cast<unsigned char>(command + 100)};
        for (std::size_t i = 2; i < sub_.size(); ++i) {
            ack.push_back(sub_[i]);
            if (sub_[i] == 0xFF) {
                ack.push_back(0xFF);
            }
        }
        ack.insert(ack.end(), {0xFF, 240});
        SendWire(client, ack);
    }

    const bool telnet_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    int client_ = -1;
    bool ended_ = false;
    Bytes data_;
    int state_ = 0;
    unsigned char verb_ = 0;
    Bytes sub_;
    long baud_ = 0;
    int purges_ = 0;
};

enum class Kind { Terminal, Tcp, Rfc2217 };

class EveryLink : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        switch (GetParam()) {
            case Kind::Terminal:
                peer_.reset(new TerminalPeer);
                break;
            case Kind::Tcp:
                peer_.reset(new ServerPeer(false));
                break;
            case Kind::Rfc2217:
                peer_.reset(new ServerPeer(true));
                break;
        }
        port_ = lk::Open(peer_->Name().c_str());
        ASSERT_NE(port_, nullptr) << pf::LastError();
        ASSERT_EQ(lk::Configure(port_, 57600), 0) << pf::LastError();
        stop_ = pf::CreateEvent(false);
        event_ = pf::CreateEvent(false);
        // A link that never reports what it should fails the test instead
        // of hanging it: the watcher's wait is stopped after the bound.
        guard_ = std::thread([this] {
            std::unique_lock<std::mutex> hold(guardLock_);
            if (!guardDone_.wait_for(hold, kBound, [this] { return done_; })) {
                pf::SetEvent(stop_);
            }
        });
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> hold(guardLock_);
            done_ = true;
        }
        guardDone_.notify_all();
        if (guard_.joinable()) {
            guard_.join();
        }
        pf::CloseHandle(port_);
        pf::CloseHandle(stop_);
        pf::CloseHandle(event_);
        peer_.reset();
    }
    // What the watcher reads until `count` bytes came, the port is gone or
    // the wait ends otherwise.
    Bytes Watched(lk::Watch* watch, std::size_t count) {
        Bytes got;
        while (got.size() < count && lk::WatchWait(watch) == lk::WatchEvent::Received) {
            unsigned char bytes[64];
            const long n = lk::WatchRead(watch, bytes, sizeof(bytes));
            if (n < 0) {
                break;
            }
            got.insert(got.end(), bytes, bytes + n);
        }
        return got;
    }

    std::unique_ptr<Peer> peer_;
    veltor::Handle port_ = nullptr;
    veltor::Handle stop_ = nullptr;
    veltor::Handle event_ = nullptr;
    std::thread guard_;
    std::mutex guardLock_;
    std::condition_variable guardDone_;
    bool done_ = false;
};

TEST_P(EveryLink, WrittenBytesReachThePeerUnchanged) {
    ASSERT_TRUE(lk::Write(port_, kData.data(), static_cast<int>(kData.size()), 1000));
    lk::Drain(port_, 1000);
    EXPECT_EQ(peer_->Receive(kData.size()), kData);
    if (GetParam() == Kind::Rfc2217) {
        EXPECT_EQ(peer_->Baud(), 57600);  // set through the server
    }
}

TEST_P(EveryLink, TheWatcherSeesAndReadsWhatArrivesUnchangedUntilStopped) {
    lk::Watch* watch = lk::WatchOpen(port_, stop_);
    ASSERT_NE(watch, nullptr);
    peer_->Send(kData);
    EXPECT_EQ(Watched(watch, kData.size()), kData);
    unsigned char more[16];
    EXPECT_EQ(lk::WatchRead(watch, more, sizeof(more)), 0);
    pf::SetEvent(stop_);
    EXPECT_EQ(lk::WatchWait(watch), lk::WatchEvent::Stop);
    lk::WatchClose(watch);
}

TEST_P(EveryLink, TheExchangeWaitsForItsEventOrThePort) {
    ASSERT_TRUE(lk::PortWaitable());
    EXPECT_EQ(lk::WaitForDataOrPort(event_, port_, 0), lk::DataWait::TimedOut);
    pf::SetEvent(event_);
    EXPECT_EQ(lk::WaitForDataOrPort(event_, port_, 0), lk::DataWait::Data);
    peer_->Send(kData);
    Bytes got;
    const long long deadline = pf::NowMs() + 10000;
    while (got.size() < kData.size() && pf::NowMs() < deadline) {
        ASSERT_EQ(lk::WaitForDataOrPort(event_, port_, pf::MillisecondsLeft(deadline)),
                  lk::DataWait::Port);
        unsigned char bytes[64];
        const long n = lk::ReadQueued(port_, bytes, sizeof(bytes));
        ASSERT_GE(n, 0);
        got.insert(got.end(), bytes, bytes + n);
    }
    EXPECT_EQ(got, kData);
}

// The exchange's path (a link resolved once, a terminal's descriptor used
// directly) must carry the same bytes and report the same waits as the
// handle's operations.
TEST_P(EveryLink, TheExchangesDirectPathDoesWhatTheHandlesOperationsDo) {
    lk::Link* link = lk::AsLink(port_);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->DirectFd() >= 0, GetParam() == Kind::Terminal);
    EXPECT_EQ(link->DrainsNothing(), GetParam() == Kind::Terminal);  // a pseudo-terminal
    ASSERT_TRUE(lk::WriteOn(*link, kData.data(), static_cast<int>(kData.size()), 1000));
    lk::DrainOn(*link, 1000);
    EXPECT_EQ(peer_->Receive(kData.size()), kData);
    EXPECT_EQ(lk::WaitForDataOn(*link, event_, 0), lk::DataWait::TimedOut);
    pf::SetEvent(event_);
    EXPECT_EQ(lk::WaitForDataOn(*link, event_, 0), lk::DataWait::Data);
    unsigned char bytes[64];
    EXPECT_EQ(lk::ReadQueuedOn(*link, bytes, sizeof(bytes)), 0);
    peer_->Send(kData);
    Bytes got;
    const long long deadline = pf::NowMs() + 10000;
    while (got.size() < kData.size() && pf::NowMs() < deadline) {
        ASSERT_EQ(lk::WaitForDataOn(*link, event_, pf::MillisecondsLeft(deadline)),
                  lk::DataWait::Port);
        const long n = lk::ReadQueuedOn(*link, bytes, sizeof(bytes));
        ASSERT_GE(n, 0);
        got.insert(got.end(), bytes, bytes + n);
    }
    EXPECT_EQ(got, kData);
}

// A request the terminal takes only in part (nobody reads the other side)
// is not reported written: the direct write's rest goes through the link's
// own loop, which gives up at its bound.
TEST_P(EveryLink, AWriteTheTerminalTakesOnlyInPartFailsAtItsBound) {
    if (GetParam() != Kind::Terminal) {
        GTEST_SKIP() << "a socket's buffers may take it all";
    }
    lk::Link* link = lk::AsLink(port_);
    ASSERT_NE(link, nullptr);
    const Bytes big(1 << 20, 0x55);
    EXPECT_FALSE(lk::WriteOn(*link, big.data(), static_cast<int>(big.size()), 50));
    EXPECT_FALSE(lk::WriteOn(*link, nullptr, 1, 50));
}

TEST_P(EveryLink, APurgeDropsWhatArrivedAndAsksTheServerToo) {
    lk::Watch* watch = lk::WatchOpen(port_, stop_);
    ASSERT_NE(watch, nullptr);
    peer_->Send(kData);
    ASSERT_EQ(lk::WatchWait(watch), lk::WatchEvent::Received);
    lk::PurgeInput(port_);
    unsigned char bytes[64];
    EXPECT_EQ(lk::ReadQueued(port_, bytes, sizeof(bytes)), 0);
    if (GetParam() == Kind::Rfc2217) {
        EXPECT_EQ(peer_->PurgesAfter(1), 1);
    }
    lk::WatchClose(watch);
}

TEST_P(EveryLink, AHangUpEndsTheLinkAfterWhatWasQueued) {
    lk::Watch* watch = lk::WatchOpen(port_, stop_);
    ASSERT_NE(watch, nullptr);
    peer_->Send({7, 8});
    peer_->HangUp();
    // What was queued may still be read; then the link reads as gone, and
    // the watcher is never woken for nothing over and over.
    long total = 0;
    for (int i = 0;; ++i) {
        ASSERT_LT(i, 4) << "the watcher would spin";
        const lk::WatchEvent event = lk::WatchWait(watch);
        ASSERT_NE(event, lk::WatchEvent::Stop) << "no end seen";
        unsigned char got[16];
        const long count = event == lk::WatchEvent::Received ? lk::WatchRead(watch, got, 16) : -1;
        if (count < 0) {
            break;
        }
        total += count;
    }
    EXPECT_LE(total, 2);
    unsigned char got[16];
    EXPECT_EQ(lk::ReadQueued(port_, got, sizeof(got)), -1);
    lk::WatchClose(watch);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryLink,
                         ::testing::Values(Kind::Terminal, Kind::Tcp, Kind::Rfc2217),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Terminal ? "Terminal"
                                    : info.param == Kind::Tcp    ? "Tcp"
                                                                 : "Rfc2217";
                         });

}  // namespace
#endif
