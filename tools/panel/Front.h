// Contract: httplib's server behind a front that reads every request head
// itself, within a deadline and a size, and lets only an admitted request
// reach a worker thread, whose body the server then reads under a byte
// budget and a deadline.
//
// Why: httplib gives each connection a thread while it waits for a head that
// may never come (each byte restarts its time-out), and reads a chunked or
// compressed body whole before any handler may refuse it. Here a connection
// that waits costs no thread: one thread polls them all, closes the one that
// has not sent a whole head in time, and bounds the connections of strangers
// (no token shown yet) apart from those of the token holder.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/panel/PanelHttp.h"

namespace veltor::panel {

class GuardedServer : public httplib::Server {
public:
    using Admit = std::function<Admission(const HttpRequest&)>;
    using Headers = std::vector<std::pair<std::string, std::string>>;

    // `admit` judges each head (any thread of the front's); `headers` go
    // out with the front's own refusals.
    GuardedServer(Admit admit, ServerLimits limits, Headers headers);
    ~GuardedServer() override;

    // From a handler: the connection ends after this answer, for the rest
    // of its request was not read.
    static void CloseAfterThis();

    struct Connection;

private:
    class Handoff;
    friend class Handoff;

    bool process_and_close_socket(socket_t sock) override;
    void StartThreads();
    void StopThreads();
    void Receive();
    void Work();
    // Reads what a connection has sent without waiting; m_Lock held.
    void Take(Connection& connection);
    // Judges a waiting connection's head; m_Lock held.
    void Judge(Connection& connection);
    // Answers and then drains the connection; m_Lock held.
    void Refuse(Connection& connection, const HttpResponse& response);
    // Closes the connections waiting longest beyond the bounds; m_Lock held.
    void Bound();
    void Close(Connection& connection);
    // One request on a worker; true when the connection may carry another.
    bool Serve(Connection& connection);
    void Wake();

    Admit m_Admit;
    ServerLimits m_Limits;
    Headers m_Headers;
    int m_Wake = -1;  // an eventfd that ends the reception's poll
    std::mutex m_Lock;
    std::condition_variable m_Queued;
    std::list<Connection> m_Connections;
    std::vector<int> m_Arrived;
    std::deque<Connection*> m_Trusted;    // heads admitted, waiting for a worker
    std::deque<Connection*> m_Strangers;  // the same, without the token
    int m_nStrangersServed = 0;
    bool m_bStopping = false;
    bool m_bRunning = false;
    std::thread m_Reception;
    std::vector<std::thread> m_Workers;
};

}  // namespace veltor::panel
