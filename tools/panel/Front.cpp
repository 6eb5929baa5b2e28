#include "tools/panel/Front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace veltor::panel {

namespace {

using Clock = std::chrono::steady_clock;

// The largest request head taken.
constexpr std::size_t kMostHeadBytes = 16 * 1024;
// After a refusal the connection is read and dropped for a moment, so that
// the client reads the answer rather than a reset.
constexpr int kDrainMs = 1000;
constexpr std::size_t kMostDrainBytes = 1 << 20;
constexpr int kWriteSeconds = 5;
constexpr int kMostRequestsPerConnection = 1000;

thread_local bool* t_CloseAfter = nullptr;

void Log(const char* what, const char* detail) {
    std::fprintf(stderr, "veltor panel: %s: %s\n", what, detail);
}

int MsUntil(Clock::time_point due) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1;
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, 3600000)));
}

// True when the socket is ready for `events` before `due`.
bool WaitFor(int fd, short events, Clock::time_point due) {
    for (;;) {
        const int ms = MsUntil(due);
        pollfd ready{fd, events, 0};
        const int n = ::poll(&ready, 1, ms);
        if (n > 0) {
            return (ready.revents & (events | POLLHUP)) != 0;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

const char* Reason(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Payload Too Large";
        case 415:
            return "Unsupported Media Type";
        case 431:
            return "Request Header Fields Too Large";
        case 501:
            return "Not Implemented";
        default:
            return "Error";
    }
}

char Lower(char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

std::string Lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), Lower);
    return text;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Decoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(text[i + 1]) &&
            std::isxdigit(text[i + 2])) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool TokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// The end of the head that starts at `from` (after its blank line), or npos.
std::size_t HeadEnd(const std::string& bytes, std::size_t from) {
    const std::size_t crlf = bytes.find("\n\r\n", from);
    const std::size_t lf = bytes.find("\n\n", from);
    if (crlf == std::string::npos && lf == std::string::npos) {
        return std::string::npos;
    }
    return crlf < lf ? crlf + 3 : lf + 2;
}

// A head as the panel's checks read it: header names in lower case, a
// repeated field joined with ", " (as HTTP reads repeated fields), the path
// and the query decoded. False when it is no HTTP/1.x head.
bool Parse(const std::string& head, HttpRequest& request) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = head.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = head.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    if (lines.empty()) {
        return false;
    }
    const std::string& first = lines[0];
    const std::size_t space = first.find(' ');
    const std::size_t second = first.find(' ', space + 1);
    if (space == std::string::npos || second == std::string::npos ||
        first.find(' ', second + 1) != std::string::npos) {
        return false;
    }
    request.method = first.substr(0, space);
    const std::string target = first.substr(space + 1, second - space - 1);
    const std::string version = first.substr(second + 1);
    if (request.method.empty() ||
        !std::all_of(request.method.begin(), request.method.end(), TokenChar) || target.empty() ||
        target[0] != '/' || (version != "HTTP/1.1" && version != "HTTP/1.0")) {
        return false;
    }
    const std::size_t question = target.find('?');
    request.path = Decoded(target.substr(0, question));
    if (question != std::string::npos) {
        const std::string query = target.substr(question + 1);
        std::size_t from = 0;
        while (from <= query.size()) {
            std::size_t amp = query.find('&', from);
            amp = amp == std::string::npos ? query.size() : amp;
            const std::string pair = query.substr(from, amp - from);
            const std::size_t equals = pair.find('=');
            request.query.emplace(
                Decoded(pair.substr(0, equals)),
                equals == std::string::npos ? "" : Decoded(pair.substr(equals + 1)));
            from = amp + 1;
        }
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos ||
            !std::all_of(line.begin(), line.begin() + static_cast<long>(colon), TokenChar)) {
            return false;  // a folded line or a name with spaces
        }
        const std::string name = Lowered(line.substr(0, colon));
        const std::string value = Trimmed(line.substr(colon + 1));
        const auto [field, fresh] = request.headers.emplace(name, value);
        if (!fresh) {
            field->second += ", " + value;
        }
    }
    return true;
}

// How the body is framed, judged before any of it is read.
std::optional<HttpResponse> RefuseFraming(const HttpRequest& request, std::size_t mostBody) {
    const auto find = [&](const char* name) -> const std::string* {
        const auto found = request.headers.find(name);
        return found == request.headers.end() ? nullptr : &found->second;
    };
    const std::string* encoding = find("content-encoding");
    if (encoding != nullptr && Lowered(*encoding) != "identity") {
        return ErrorResponse(
            415, "compressed request bodies are not taken (Content-Encoding " + *encoding + ")");
    }
    const std::string* transfer = find("transfer-encoding");
    const std::string* length = find("content-length");
    if (transfer != nullptr) {
        if (Lowered(*transfer) != "chunked") {
            return ErrorResponse(501, "transfer coding \"" + *transfer + "\" is not taken");
        }
        if (length != nullptr) {
            return ErrorResponse(400, "both Content-Length and Transfer-Encoding");
        }
    }
    if (length != nullptr) {
        if (length->empty() || length->size() > 18 ||
            !std::all_of(length->begin(), length->end(), ::isdigit)) {
            return ErrorResponse(400, "Content-Length \"" + *length + "\" is no byte count");
        }
        if (std::stoull(*length) > mostBody) {
            return ErrorResponse(413, "request body over " + std::to_string(mostBody) + " bytes");
        }
    }
    return std::nullopt;
}

}  // namespace

struct GuardedServer::Connection {
    enum class Phase { kHead, kQueued, kServed, kDraining };

    int fd = -1;
    Clock::time_point since;  // when it began to wait for a request
    Clock::time_point due;    // the head's deadline, the body's, or the end of draining
    std::string in;           // bytes read, from `used` on not yet taken by the server
    std::size_t used = 0;
    Phase phase = Phase::kHead;
    bool trusted = false;  // a request of it carried the token
    bool ended = false;    // the client closed, or the socket failed
    bool dead = false;     // to be closed and forgotten
    bool closeAfter = false;
    std::size_t drained = 0;
    int served = 0;
};

// httplib's connection hand-over: each accepted socket goes to the front at
// once, on the accepting thread; the front's threads live as long as the
// server listens.
class GuardedServer::Handoff : public httplib::TaskQueue {
public:
    explicit Handoff(GuardedServer& server) : m_Server(server) { m_Server.StartThreads(); }
    ~Handoff() override { m_Server.StopThreads(); }
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override { m_Server.StopThreads(); }

private:
    GuardedServer& m_Server;
};

namespace {

// One request's bytes to httplib: first what the front read, then the
// socket, under the connection's budget and deadline.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(GuardedServer::Connection& connection, std::size_t budget)
        : m_Connection(connection), m_nBudget(budget) {}

    bool is_readable() const override {
        return m_Connection.used < m_Connection.in.size() ||
               WaitFor(m_Connection.fd, POLLIN, m_Connection.due);
    }
    bool is_writable() const override {
        char byte;
        return WaitFor(m_Connection.fd, POLLOUT,
                       Clock::now() + std::chrono::seconds(kWriteSeconds)) &&
               ::recv(m_Connection.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
    }
    ssize_t read(char* ptr, size_t size) override {
        GuardedServer::Connection& c = m_Connection;
        if (m_nBudget == 0) {
            return -1;
        }
        if (c.used == c.in.size()) {
            c.in.clear();
            c.used = 0;
            if (!WaitFor(c.fd, POLLIN, c.due)) {
                return -1;
            }
            char buffer[16384];
            const ssize_t n = ::recv(c.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n <= 0) {
                return n == 0 ? 0 : -1;
            }
            c.in.assign(buffer, static_cast<std::size_t>(n));
        }
        const std::size_t n = std::min({size, c.in.size() - c.used, m_nBudget});
        std::memcpy(ptr, c.in.data() + c.used, n);
        c.used += n;
        m_nBudget -= n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        std::size_t sent = 0;
        while (sent < size) {
            if (!WaitFor(m_Connection.fd, POLLOUT,
                         Clock::now() + std::chrono::seconds(kWriteSeconds))) {
                return -1;
            }
            const ssize_t n =
                ::send(m_Connection.fd, ptr + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return -1;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        Address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        Address(::getsockname, ip, port);
    }
    socket_t socket() const override { return m_Connection.fd; }

private:
    template <typename Get>
    void Address(Get get, std::string& ip, int& port) const {
        sockaddr_storage address{};
        socklen_t size = sizeof(address);
        char text[INET6_ADDRSTRLEN] = "";
        port = 0;
        if (get(m_Connection.fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            if (address.ss_family == AF_INET) {
                const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
                ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
                port = ntohs(v4->sin_port);
            } else if (address.ss_family == AF_INET6) {
                const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
                ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
                port = ntohs(v6->sin6_port);
            }
        }
        ip = text;
    }

    GuardedServer::Connection& m_Connection;
    std::size_t m_nBudget;
};

}  // namespace

GuardedServer::GuardedServer(Admit admit, ServerLimits limits, Headers headers)
    : m_Admit(std::move(admit)), m_Limits(limits), m_Headers(std::move(headers)) {
    new_task_queue = [this] { return new Handoff(*this); };
    set_payload_max_length(kMaxBodyBytes);
    set_keep_alive_timeout(m_Limits.headSeconds);
    set_keep_alive_max_count(kMostRequestsPerConnection);
}

GuardedServer::~GuardedServer() {
    StopThreads();
}

void GuardedServer::CloseAfterThis() {
    if (t_CloseAfter != nullptr) {
        *t_CloseAfter = true;
    }
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    try {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!m_bRunning || m_bStopping) {
            ::close(sock);
            return false;
        }
        m_Arrived.push_back(sock);
    } catch (const std::exception& error) {
        Log("a connection was dropped", error.what());
        ::close(sock);
        return false;
    }
    Wake();
    return true;
}

void GuardedServer::StartThreads() {
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_Wake < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    m_bStopping = false;
    m_bRunning = true;
    m_Reception = std::thread([this] { Receive(); });
    for (int i = 0; i < m_Limits.workers; ++i) {
        m_Workers.emplace_back([this] { Work(); });
    }
}

void GuardedServer::StopThreads() {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!m_bRunning) {
            return;
        }
        m_bStopping = true;
    }
    Wake();
    m_Queued.notify_all();
    if (m_Reception.joinable()) {
        m_Reception.join();
    }
    for (std::thread& worker : m_Workers) {
        worker.join();
    }
    m_Workers.clear();
    std::lock_guard<std::mutex> hold(m_Lock);
    for (Connection& connection : m_Connections) {
        ::close(connection.fd);
    }
    m_Connections.clear();
    m_Trusted.clear();
    m_Strangers.clear();
    for (const int fd : m_Arrived) {
        ::close(fd);
    }
    m_Arrived.clear();
    ::close(m_Wake);
    m_Wake = -1;
    m_bRunning = false;
}

void GuardedServer::Wake() {
    const uint64_t one = 1;
    if (m_Wake >= 0 && ::write(m_Wake, &one, sizeof(one)) < 0) {
        // Already due to wake: the counter is full.
    }
}

void GuardedServer::Receive() {
    std::vector<pollfd> ready;
    std::vector<Connection*> polled;
    for (;;) {
        try {
            int timeoutMs;
            {
                std::lock_guard<std::mutex> hold(m_Lock);
                if (m_bStopping) {
                    return;
                }
                const Clock::time_point now = Clock::now();
                for (const int fd : m_Arrived) {
                    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
                    Connection& c = m_Connections.emplace_back();
                    c.fd = fd;
                    c.since = now;
                    c.due = now + std::chrono::seconds(m_Limits.headSeconds);
                }
                m_Arrived.clear();
                Bound();
                ready.assign(1, {m_Wake, POLLIN, 0});
                polled.clear();
                Clock::time_point next = now + std::chrono::hours(1);
                for (Connection& c : m_Connections) {
                    if (c.phase == Connection::Phase::kHead ||
                        c.phase == Connection::Phase::kDraining) {
                        ready.push_back({c.fd, POLLIN, 0});
                        polled.push_back(&c);
                        next = std::min(next, c.due);
                    }
                }
                timeoutMs = MsUntil(next);
            }
            ::poll(ready.data(), ready.size(), timeoutMs);
            uint64_t woken;
            if (ready[0].revents != 0 && ::read(m_Wake, &woken, sizeof(woken)) < 0) {
                // Nothing was due: another turn costs nothing.
            }
            std::lock_guard<std::mutex> hold(m_Lock);
            if (m_bStopping) {
                return;
            }
            // Only this thread forgets waiting connections: `polled` holds.
            for (std::size_t i = 0; i < polled.size(); ++i) {
                if (ready[i + 1].revents != 0) {
                    Take(*polled[i]);
                }
            }
            const Clock::time_point now = Clock::now();
            for (Connection& c : m_Connections) {
                if (c.phase == Connection::Phase::kHead) {
                    Judge(c);
                } else if (c.phase == Connection::Phase::kDraining &&
                           (c.ended || now >= c.due || c.drained > kMostDrainBytes)) {
                    c.dead = true;
                }
            }
            m_Connections.remove_if([](const Connection& c) {
                if (c.dead) {
                    ::close(c.fd);
                }
                return c.dead;
            });
        } catch (const std::exception& error) {
            // Short of memory: the connections stay, the next turn tries again.
            Log("the reception", error.what());
        }
    }
}

void GuardedServer::Take(Connection& c) {
    char buffer[16384];
    for (;;) {
        const bool draining = c.phase == Connection::Phase::kDraining;
        if (!draining && c.in.size() - c.used >= kMostHeadBytes) {
            return;
        }
        const ssize_t n = ::recv(c.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            c.ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            return;
        }
        if (draining) {
            c.drained += static_cast<std::size_t>(n);
        } else {
            c.in.append(buffer, static_cast<std::size_t>(n));
        }
    }
}

void GuardedServer::Judge(Connection& c) {
    const std::size_t end = HeadEnd(c.in, c.used);
    if (end == std::string::npos) {
        if (c.in.size() - c.used >= kMostHeadBytes) {
            Refuse(c, ErrorResponse(
                          431, "request head over " + std::to_string(kMostHeadBytes) + " bytes"));
        } else if (c.ended) {
            c.dead = true;
        } else if (Clock::now() >= c.due) {
            // An idle connection goes quietly; a head begun is told why.
            if (c.in.size() == c.used) {
                c.dead = true;
            } else {
                Refuse(c, ErrorResponse(408, "no whole request head within " +
                                                 std::to_string(m_Limits.headSeconds) + " s"));
            }
        }
        return;
    }
    HttpRequest request;
    std::optional<HttpResponse> refusal;
    if (!Parse(c.in.substr(c.used, end - c.used), request)) {
        refusal = ErrorResponse(400, "malformed request head");
    } else {
        refusal = RefuseFraming(request, kMaxBodyBytes);
    }
    if (!refusal) {
        const Admission admission = m_Admit(request);
        refusal = admission.refusal;
        c.trusted = c.trusted || admission.trusted;
    }
    if (refusal) {
        Refuse(c, *refusal);
        return;
    }
    c.phase = Connection::Phase::kQueued;
    c.due = Clock::now() + std::chrono::seconds(m_Limits.bodySeconds);
    (c.trusted ? m_Trusted : m_Strangers).push_back(&c);
    m_Queued.notify_all();
}

void GuardedServer::Refuse(Connection& c, const HttpResponse& response) {
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       Reason(response.status) + "\r\nContent-Type: " + response.contentType +
                       "\r\nContent-Length: " + std::to_string(response.body.size()) +
                       "\r\nConnection: close\r\n";
    for (const auto& [name, value] : m_Headers) {
        text += name + ": " + value + "\r\n";
    }
    text += "\r\n" + response.body;
    // A fresh socket takes a short answer whole; one that does not is dropped.
    if (::send(c.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(text.size())) {
        c.dead = true;
        return;
    }
    ::shutdown(c.fd, SHUT_WR);
    c.phase = Connection::Phase::kDraining;
    c.due = Clock::now() + std::chrono::milliseconds(kDrainMs);
    c.in.clear();
    c.used = 0;
}

void GuardedServer::Bound() {
    const auto closeOldest = [this](bool trusted, std::size_t most) {
        for (;;) {
            Connection* oldest = nullptr;
            std::size_t count = 0;
            for (Connection& c : m_Connections) {
                // A stranger counts until served; the token holder's only while idle.
                const bool counted = c.trusted == trusted && !c.dead &&
                                     c.phase != Connection::Phase::kServed &&
                                     (!trusted || c.phase == Connection::Phase::kHead);
                if (counted) {
                    ++count;
                    if (oldest == nullptr || c.since < oldest->since) {
                        oldest = &c;
                    }
                }
            }
            if (count <= most) {
                return;
            }
            std::deque<Connection*>& queue = trusted ? m_Trusted : m_Strangers;
            queue.erase(std::remove(queue.begin(), queue.end(), oldest), queue.end());
            oldest->dead = true;
        }
    };
    closeOldest(false, static_cast<std::size_t>(m_Limits.mostStrangers));
    closeOldest(true, static_cast<std::size_t>(m_Limits.mostTrusted));
    m_Connections.remove_if([](const Connection& c) {
        if (c.dead) {
            ::close(c.fd);
        }
        return c.dead;
    });
}

void GuardedServer::Work() {
    for (;;) {
        Connection* c = nullptr;
        bool stranger = false;
        {
            std::unique_lock<std::mutex> hold(m_Lock);
            m_Queued.wait(hold, [this] {
                return m_bStopping || !m_Trusted.empty() ||
                       (!m_Strangers.empty() && m_nStrangersServed < m_Limits.strangerWorkers);
            });
            if (m_bStopping) {
                return;
            }
            std::deque<Connection*>& queue = m_Trusted.empty() ? m_Strangers : m_Trusted;
            c = queue.front();
            queue.pop_front();
            c->phase = Connection::Phase::kServed;
            stranger = !c->trusted;
            m_nStrangersServed += stranger ? 1 : 0;
        }
        const bool again = Serve(*c);
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            m_nStrangersServed -= stranger ? 1 : 0;
            const Clock::time_point now = Clock::now();
            if (again && !m_bStopping) {
                c->phase = Connection::Phase::kHead;
                c->since = now;
                c->due = now + std::chrono::seconds(m_Limits.headSeconds);
            } else if (c->closeAfter && !m_bStopping) {
                ::shutdown(c->fd, SHUT_WR);
                c->phase = Connection::Phase::kDraining;
                c->due = now + std::chrono::milliseconds(kDrainMs);
            } else {
                ::close(c->fd);
                m_Connections.remove_if([c](const Connection& x) { return &x == c; });
            }
        }
        Wake();
        m_Queued.notify_all();
    }
}

bool GuardedServer::Serve(Connection& c) {
    // The head again, and at most the largest body with its chunk framing.
    ConnectionStream stream(c, kMostHeadBytes + 2 * kMaxBodyBytes);
    c.closeAfter = false;
    t_CloseAfter = &c.closeAfter;
    bool closed = false;
    bool written = false;
    try {
        written =
            process_request(stream, ++c.served >= kMostRequestsPerConnection, closed, nullptr);
    } catch (const std::exception& error) {
        Log("a request ended in an exception", error.what());
    } catch (...) {
        Log("a request ended in an exception", "not a std::exception");
    }
    t_CloseAfter = nullptr;
    // What came after this request stays for the next one.
    c.in.erase(0, c.used);
    c.used = 0;
    return written && !closed && !c.closeAfter && c.served < kMostRequestsPerConnection;
}

}  // namespace veltor::panel
