// The simulated instrument on the network: a raw TCP device server in front
// of the simulator's pseudo-terminal, as a terminal server or ser2net in raw
// mode stands in front of a real instrument's serial line. One client at a
// time; when it leaves, the next one is taken.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace vsim {

class TcpServer {
public:
    // Listens on host:port (port 0: a free one, see Port) and serves the
    // terminal at `slavePath` (Simulator::SlavePath) to each client in turn.
    // Throws std::system_error when it cannot listen.
    explicit TcpServer(const std::string& slavePath, const std::string& host = "127.0.0.1",
                       uint16_t port = 0);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    uint16_t Port() const { return port_; }
    // The host's port name for this server: "socket://127.0.0.1:PORT".
    std::string Url() const;

    // Ends the present client's connection, with a reset (RST) or an orderly
    // close (FIN), as a server that crashes or shuts down. Returns once it is
    // closed; nothing happens without a client.
    void DropClient(bool reset);
    // Waits until `n` clients in all have been taken; false on timeout.
    bool WaitForClients(size_t n, int timeoutMs);
    // Waits until no client is connected (the last one left or was dropped).
    bool WaitForNoClient(int timeoutMs);

private:
    void Serve();
    // Relays between the client and the terminal until either side ends.
    void Relay(int client, int line);
    // Writes all bytes, waiting for room; false when the writing side is gone
    // or the server stops.
    bool WriteAll(int fd, const unsigned char* bytes, size_t count, bool socket);

    std::string slavePath_;
    std::string host_;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // eventfd: set to stop the serving thread, or to drop the client

    std::mutex mutex_;
    std::condition_variable changed_;
    size_t clients_ = 0;      // clients taken so far
    bool connected_ = false;  // a client is being served
    bool stopping_ = false;
    int dropRequest_ = 0;  // 0 none, 1 orderly close, 2 reset
    bool lineGone_ = false;

    std::thread thread_;
};

}  // namespace vsim
