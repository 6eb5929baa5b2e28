// A device server on loopback that misbehaves on purpose: a host connects to
// it with socket://127.0.0.1:PORT or rfc2217://127.0.0.1:PORT, it passes over
// the host's filler burst (and over RFC 2217 first agrees to everything the
// host asks for), then does what its script says: floods, answers in pieces,
// answers with crafted bytes, resets the connection or stays silent.
//
// One client, one thread. The thread ends by itself after kServeLimitMs at
// the latest, and at once on Stop(), which resets the connection so that a
// host still waiting on it sees a lost port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hostile {

typedef std::vector<uint8_t> Bytes;

enum class Link { kRaw, kRfc2217 };

// What the server does once the burst has been passed over.
enum class Act {
    kFloodAfterRequest,  // from the first request on: `head` once, then `flood` without end
    kFloodWhileIdle,     // at once, for kIdleFloodMs: `head`, then `flood`; then answers well
    kSilent,             // reads every request, answers none
    kCut,                // answers every request with an answer's header and nothing more
    kReset,              // sends the start of an answer, then resets the connection
    kByteByByte,         // answers well, one byte a send, kByteGapMs apart
    kOverflow,           // the crafted bytes of OverflowCandidate and OverflowChunk
};

struct Script {
    Link link;
    Act act;
    Bytes head;   // wire bytes, sent once before the flood
    Bytes flood;  // wire bytes, sent over and over
};

// The delay every good answer carries: 20 us at 200 MHz.
const uint32_t kGoodCounts = 4000;
const long kServeLimitMs = 60000;
const long kIdleFloodMs = 1500;
const long kByteGapMs = 10;
// At most this much is flooded, however fast the host reads; while idle, enough
// to show in the host's memory if it keeps anything for each offer, without
// taking the machine's.
const uint64_t kFloodCap = 16ull << 30;
const uint64_t kIdleFloodCap = 24ull << 20;

// A query's answer: AA 06 channel counts(4, little-endian) checksum.
inline Bytes QueryAnswer(uint8_t channel, uint32_t counts) {
    Bytes a = {0xAA, 0x06, channel};
    for (int i = 0; i < 4; ++i) {
        a.push_back(static_cast<uint8_t>(counts >> (8 * i)));
    }
    unsigned sum = 0;
    for (size_t i = 1; i < a.size(); ++i) {
        sum += a[i];
    }
    a.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    return a;
}

// Seven bytes of a delay report for channel D that is still open: lead,
// length, channel, and then an answer's header (AA FF) among its delay bytes.
inline Bytes OverflowCandidate() {
    return {0x51, 0x06, 0x03, 0xAA, 0xFF, 0x11, 0x22};
}

// The 4096 bytes that follow the candidate in one read. Their first byte
// breaks the report's checksum, so the reader takes the candidate's AA FF
// for an answer of 255 more bytes; the rest are back-to-back positive
// answers. All told, more answer bytes than one read can hold, and the last
// ones (AA 01 FF, then AA 00) land just past the end.
inline Bytes OverflowChunk() {
    Bytes chunk(253, 0x00);  // the checksum breaker and the long answer's body
    chunk.insert(chunk.end(), {0xAA, 0x02, 0x00, 0xFE});
    while (chunk.size() < 4096 - 5) {
        chunk.insert(chunk.end(), {0xAA, 0x01, 0xFF});
    }
    chunk.insert(chunk.end(), {0xAA, 0x01, 0xFF, 0xAA, 0x00});
    if (chunk.size() != 4096) {
        throw std::logic_error("the overflow chunk must be 4096 bytes");
    }
    return chunk;
}

class HostileServer {
public:
    explicit HostileServer(Script script) : script_(std::move(script)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (listen_ < 0 || wake_ < 0 ||
            ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listen_, 1) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~HostileServer() {
        Stop();
        ::close(listen_);
        ::close(wake_);
    }
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    std::string Url() const {
        return std::string(script_.link == Link::kRaw ? "socket" : "rfc2217") +
               "://127.0.0.1:" + std::to_string(port_);
    }

    // Ends the serving thread; an open connection is reset. Returns once the
    // thread has ended.
    void Stop() {
        stopping_ = true;
        const uint64_t one = 1;
        (void)::write(wake_, &one, sizeof(one));
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // The negotiation is done and the burst passed over.
    bool WaitForBurst(int timeoutMs) {
        return WaitFor(timeoutMs, [this] { return burstDone_; });
    }
    // The idle flood has ended (kFloodWhileIdle).
    bool WaitForFloodEnd(int timeoutMs) {
        return WaitFor(timeoutMs, [this] { return floodEnded_; });
    }
    uint64_t Flooded() const { return flooded_; }
    // What went wrong on the server's side, for a test's message.
    std::string Trouble() {
        std::lock_guard<std::mutex> hold(mutex_);
        return trouble_;
    }

private:
    using Clock = std::chrono::steady_clock;

    template <typename Done>
    bool WaitFor(int timeoutMs, Done done) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), done);
    }
    void Mark(bool& flag) {
        std::lock_guard<std::mutex> hold(mutex_);
        flag = true;
        changed_.notify_all();
    }
    void Complain(const std::string& what) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (trouble_.empty()) {
            trouble_ = what;
        }
    }
    long LeftMs() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        return std::max<long>(0, static_cast<long>(left.count()));
    }
    bool Over() const { return stopping_ || LeftMs() == 0; }

    void Serve() {
        deadline_ = Clock::now() + std::chrono::milliseconds(kServeLimitMs);
        pollfd p[2] = {{listen_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(p, 2, static_cast<int>(LeftMs())) <= 0 || (p[0].revents & POLLIN) == 0 ||
            stopping_) {
            return;
        }
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        client_ = ::accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &length,
                            SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client_ < 0) {
            return;
        }
        peer_ = peer;
        const int one = 1;
        ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        Run();
        // A reset, not a close: a host still reading has nothing more to wait for.
        if (client_ >= 0) {
            Reset();
        }
    }

    void Reset() {
        const linger abort{1, 0};
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        ::close(client_);
        client_ = -1;
    }

    // The serving loop: reads and takes what the host sends, acts on its
    // requests, and keeps the flood going while there is room for it.
    void Run() {
        const bool idleFlood = script_.act == Act::kFloodWhileIdle;
        size_t answered = 0;
        bool flooding = false;
        Clock::time_point idleFloodEnd{};
        while (!Over()) {
            if (!flooding && !floodEnded_ && burstDone_ &&
                (idleFlood || (script_.act == Act::kFloodAfterRequest && !requests_.empty()))) {
                flooding = true;
                idleFloodEnd = Clock::now() + std::chrono::milliseconds(kIdleFloodMs);
                Queue(script_.head);
            }
            if (flooding && idleFlood && Clock::now() >= idleFloodEnd) {
                flooding = false;
                Mark(floodEnded_);
            }
            if (flooding && Pending() == 0 && flooded_ < (idleFlood ? kIdleFloodCap : kFloodCap)) {
                if (block_.empty()) {
                    while (block_.size() < 65536) {
                        block_.insert(block_.end(), script_.flood.begin(), script_.flood.end());
                    }
                }
                Queue(block_);
                flooded_ += block_.size();
            }
            const short events = static_cast<short>(POLLIN | (Pending() > 0 ? POLLOUT : 0));
            pollfd p[2] = {{client_, events, 0}, {wake_, POLLIN, 0}};
            if (::poll(p, 2, static_cast<int>(std::min(flooding ? 20L : 100L, LeftMs()))) < 0) {
                return;
            }
            if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !Receive()) {
                return;  // the host left
            }
            if (!Flush()) {
                return;
            }
            // Floods pay no attention to requests; the rest answer each in turn.
            const bool answering =
                script_.act != Act::kFloodAfterRequest && !(idleFlood && !floodEnded_);
            for (; answering && answered < requests_.size(); ++answered) {
                if (!Answer(requests_[answered], answered)) {
                    return;
                }
            }
        }
    }

    // Reads what is there; false once the host has closed or reset.
    bool Receive() {
        uint8_t bytes[65536];
        for (int reads = 0; reads < 64; ++reads) {
            const ssize_t got = ::recv(client_, bytes, sizeof(bytes), 0);
            if (got == 0 ||
                (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                return false;
            }
            if (got < 0) {
                return true;
            }
            for (ssize_t i = 0; i < got; ++i) {
                Take(bytes[i]);
            }
        }
        return true;
    }

    // Sends what is queued as far as the socket takes it now; false once the
    // host is gone.
    bool Flush() {
        while (Pending() > 0) {
            const ssize_t sent = ::send(client_, out_.data() + outAt_, Pending(), MSG_NOSIGNAL);
            if (sent < 0) {
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            }
            outAt_ += static_cast<size_t>(sent);
        }
        out_.clear();
        outAt_ = 0;
        return true;
    }

    size_t Pending() const { return out_.size() - outAt_; }

    // Sends all of `wire` now, waiting for room up to the serving deadline.
    bool SendNow(const Bytes& wire) {
        Queue(wire);
        while (Pending() > 0 && !Over()) {
            pollfd p[2] = {{client_, POLLOUT, 0}, {wake_, POLLIN, 0}};
            if (::poll(p, 2, static_cast<int>(std::min(100L, LeftMs()))) < 0 || !Flush()) {
                return false;
            }
        }
        return Pending() == 0;
    }

    void Queue(const Bytes& wire) { out_.insert(out_.end(), wire.begin(), wire.end()); }

    // Data bytes as they go on the wire: 0xFF doubled over Telnet.
    Bytes Wire(const Bytes& data) const {
        Bytes wire;
        for (const uint8_t b : data) {
            wire.push_back(b);
            if (b == 0xFF && script_.link == Link::kRfc2217) {
                wire.push_back(0xFF);
            }
        }
        return wire;
    }

    // Waits `ms` unless stopped meanwhile; false when stopped.
    bool Pause(long ms) {
        pollfd p = {wake_, POLLIN, 0};
        (void)::poll(&p, 1, static_cast<int>(std::min(ms, LeftMs())));
        return !Over();
    }

    bool Answer(const Bytes& request, size_t index) {
        // A query (40+channel 0B 00) is answered with its channel's delay,
        // anything else with a bare acknowledgement.
        const bool query = request.size() >= 6 && request[3] >= 0x40 && request[3] < 0x48;
        const Bytes good = query ? QueryAnswer(static_cast<uint8_t>(request[3] - 0x40), kGoodCounts)
                                 : Bytes{0xAA, 0x01, 0xFF};
        switch (script_.act) {
            case Act::kFloodAfterRequest:
            case Act::kSilent:
                return true;
            case Act::kFloodWhileIdle:
                return SendNow(Wire(good));
            case Act::kCut:
                return SendNow(Wire({good[0], good[1]}));
            case Act::kReset:
                SendNow(Wire({good[0], good[1], good[2]}));
                Reset();
                return false;
            case Act::kByteByByte:
                for (const uint8_t b : good) {
                    if (!SendNow(Wire({b})) || !Pause(kByteGapMs)) {
                        return false;
                    }
                }
                return true;
            case Act::kOverflow:
                if (index > 0) {
                    return SendNow(good);
                }
                // The chunk must come in a read of its own, after the one
                // that took the candidate: it goes once the host's socket
                // holds none of the candidate any more.
                if (!SendNow(OverflowCandidate()) || !HostHasRead()) {
                    return false;
                }
                return SendNow(OverflowChunk());
        }
        return false;
    }

    // Looks at the host's end of this connection until its receive queue is
    // empty, every millisecond for at most two seconds. The host may be this
    // process or another (a Windows program under Wine): the queue is read
    // from the system's table of TCP sockets.
    bool HostHasRead() {
        for (int look = 0; look < 2000; ++look) {
            const long queued = HostQueued();
            if (queued < 0) {
                Complain("the host's socket is not in /proc/net/tcp");
                return false;
            }
            if (queued == 0) {
                return true;
            }
            if (!Pause(1)) {
                return false;
            }
        }
        Complain("the host did not read the report candidate within 2 s");
        return false;
    }

    // The unread bytes of the socket whose local end is this connection's
    // peer and whose remote end is this server; -1 when there is none. A line
    // of /proc/net/tcp: "sl local(ADDR:PORT) remote(ADDR:PORT) st tx:rx ...",
    // in hexadecimal, the address as its four bytes in memory order.
    long HostQueued() const {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            unsigned long localAddress = 0, localPort = 0, remotePort = 0, rx = 0;
            if (fields >> slot >> local >> remote >> state >> queues &&
                std::sscanf(local.c_str(), "%lX:%lX", &localAddress, &localPort) == 2 &&
                std::sscanf(remote.c_str(), "%*X:%lX", &remotePort) == 1 &&
                std::sscanf(queues.c_str(), "%*X:%lX", &rx) == 1 &&
                localAddress == peer_.sin_addr.s_addr && localPort == ntohs(peer_.sin_port) &&
                remotePort == port_) {
                return static_cast<long>(rx);
            }
        }
        return -1;
    }

    // ---- What the host sends --------------------------------------------------

    void Take(uint8_t b) {
        if (script_.link == Link::kRaw) {
            Data(b);
            return;
        }
        // Telnet: data, commands and subnegotiations.
        switch (telnet_) {
            case kData:
                if (b == 0xFF) {
                    telnet_ = kIac;
                } else {
                    Data(b);
                }
                return;
            case kIac:
                telnet_ = kData;
                if (b == 0xFF) {
                    Data(b);
                } else if (b >= 251) {
                    verb_ = b;
                    telnet_ = kVerb;
                } else if (b == 250) {
                    sub_.clear();
                    telnet_ = kSub;
                }
                return;
            case kVerb:
                Option(verb_, b);
                telnet_ = kData;
                return;
            case kSub:
                if (b == 0xFF) {
                    telnet_ = kSubIac;
                } else if (sub_.size() < 64) {
                    sub_.push_back(b);
                }
                return;
            case kSubIac:
                if (b == 0xFF) {
                    sub_.push_back(b);
                    telnet_ = kSub;
                } else {
                    Subnegotiation();
                    telnet_ = kData;
                }
                return;
        }
    }

    // Agrees once to binary transmission, suppress-go-ahead and COM Port
    // Control, refuses every other option, and answers no answer.
    void Option(uint8_t verb, uint8_t option) {
        if (verb != 251 && verb != 253) {
            return;  // WONT, DONT
        }
        const int key = (verb == 251 ? 0 : 256) + option;
        if (answeredOption_[key]) {
            return;
        }
        answeredOption_[key] = true;
        const bool agreed = option == 0 || option == 3 || (option == 44 && verb == 251);
        const uint8_t reply =
            verb == 251 ? (agreed ? 253 : 254) : static_cast<uint8_t>(agreed ? 251 : 252);
        Queue({0xFF, reply, option});
    }

    // COM Port Control: every setting is acknowledged with the value asked.
    void Subnegotiation() {
        if (sub_.size() < 2 || sub_[0] != 44 || sub_[1] >= 100) {
            return;
        }
        Bytes ack = {0xFF, 250, 44, static_cast<uint8_t>(sub_[1] + 100)};
        const Bytes value = Wire(Bytes(sub_.begin() + 2, sub_.end()));
        ack.insert(ack.end(), value.begin(), value.end());
        ack.insert(ack.end(), {0xFF, 240});
        Queue(ack);
        if (sub_[1] >= 1 && sub_[1] <= 5) {
            settings_ |= 1u << sub_[1];
        }
    }

    // A data byte: the burst's, then requests (25 D8 L and L more bytes).
    void Data(uint8_t b) {
        if (!burstDone_) {
            const bool negotiated = script_.link == Link::kRaw || settings_ == 0x3E;
            if (!negotiated) {
                Complain("data before the line settings");
            }
            if (++burstBytes_ == 1024) {
                Mark(burstDone_);
            }
            return;
        }
        if (frame_.empty() && b != 0x25) {
            return;
        }
        frame_.push_back(b);
        if (frame_.size() >= 3 && frame_.size() == frame_[2] + 3u) {
            requests_.push_back(frame_);
            frame_.clear();
        }
    }

    enum Telnet { kData, kIac, kVerb, kSub, kSubIac };

    const Script script_;
    uint16_t port_ = 0;
    int listen_ = -1;
    int wake_ = -1;
    int client_ = -1;
    sockaddr_in peer_{};
    std::atomic<bool> stopping_{false};
    Clock::time_point deadline_{};
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool burstDone_ = false;
    bool floodEnded_ = false;
    std::string trouble_;

    // The serving thread's own.
    Telnet telnet_ = kData;
    uint8_t verb_ = 0;
    Bytes sub_;
    bool answeredOption_[512] = {};
    unsigned settings_ = 0;
    size_t burstBytes_ = 0;
    Bytes frame_;
    std::vector<Bytes> requests_;
    Bytes out_;  // to send, from outAt_ on
    size_t outAt_ = 0;
    Bytes block_;
    std::atomic<uint64_t> flooded_{0};
};

}  // namespace hostile
