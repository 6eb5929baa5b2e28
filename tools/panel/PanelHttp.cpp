#include "tools/panel/PanelHttp.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tools/panel/Front.h"

namespace veltor::panel {

namespace {

HttpRequest Convert(const httplib::Request& from) {
    HttpRequest request;
    request.method = from.method;
    request.path = from.path;
    for (const auto& [name, value] : from.headers) {
        std::string lower = name;
        for (char& c : lower) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        // A repeated field is read as one, joined with ", ", as HTTP reads it.
        const auto [field, fresh] = request.headers.emplace(lower, value);
        if (!fresh) {
            field->second += ", " + value;
        }
    }
    for (const auto& [name, value] : from.params) {
        request.query.emplace(name, value);
    }
    return request;
}

void Send(const HttpResponse& from, httplib::Response& response) {
    response.status = from.status;
    response.set_content(from.body, from.contentType.c_str());
}

const GuardedServer::Headers kHeaders = {
    {"Content-Security-Policy",
     "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    // The address holds the token: no page is told where it came from.
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

}  // namespace

struct PanelHttp::Impl {
    explicit Impl(ServerLimits given)
        : limits(given),
          server([this](const HttpRequest& request) { return panel->Admit(request); }, given,
                 kHeaders) {}

    Panel* panel = nullptr;  // set before the server's threads start
    ServerLimits limits;
    GuardedServer server;
    std::thread serving;
    std::atomic<int> streams{0};
};

PanelHttp::PanelHttp(ServerLimits limits) : m(new Impl(limits)) {
    httplib::Server& server = m->server;
    Impl* impl = m.get();
    // Registered first: the handlers are tried in order.
    server.Get("/api/events", [impl](const httplib::Request& from, httplib::Response& response) {
        const HttpRequest request = Convert(from);
        if (std::optional<HttpResponse> refused = impl->panel->RefuseEvents(request)) {
            Send(*refused, response);
            return;
        }
        if (++impl->streams > impl->limits.mostStreams) {
            --impl->streams;
            Send(ErrorResponse(503, "too many pages open on this panel"), response);
            return;
        }
        // A page that lost the stream and comes back goes on from its last event.
        const auto last = request.headers.find("last-event-id");
        auto cursor = std::make_shared<std::pair<long long, std::string>>(
            last == request.headers.end() ? -1 : std::atoll(last->second.c_str()), "");
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [impl, cursor](std::size_t, httplib::DataSink& sink) {
                try {
                    const std::string text =
                        impl->panel->NextEvents(cursor->first, cursor->second, 1000);
                    if (text.empty()) {
                        sink.done();
                        return true;
                    }
                    return sink.write(text.data(), text.size());
                } catch (const std::exception& error) {
                    // This stream ends; the page opens another.
                    std::fprintf(stderr, "veltor panel: an event stream failed: %s\n",
                                 error.what());
                    return false;
                }
            },
            [impl](bool) { --impl->streams; });
    });
    const auto handle = [impl](const httplib::Request& from, httplib::Response& response) {
        Send(impl->panel->Handle(Convert(from)), response);
    };
    // A body is read here, a piece at a time, and no further than the limit
    // (its head was admitted, and its framing checked, by the front).
    const auto withBody = [impl](const httplib::Request& from, httplib::Response& response,
                                 const httplib::ContentReader& read) {
        std::string body;
        bool over = false;
        const bool whole = read([&body, &over](const char* data, std::size_t size) {
            over = body.size() + size > kMaxBodyBytes;
            if (!over) {
                body.append(data, size);
            }
            return !over;
        });
        if (!whole) {
            GuardedServer::CloseAfterThis();
            Send(over ? ErrorResponse(
                            413, "request body over " + std::to_string(kMaxBodyBytes) + " bytes")
                      : ErrorResponse(400, "the request body ended early or was malformed"),
                 response);
            return;
        }
        HttpRequest request = Convert(from);
        request.body = std::move(body);
        Send(impl->panel->Handle(request), response);
    };
    server.Get(".*", handle);
    server.Options(".*", handle);
    server.Post(".*", withBody);
    server.Put(".*", withBody);
    server.Delete(".*", withBody);
    server.Patch(".*", withBody);
    server.set_default_headers(httplib::Headers(kHeaders.begin(), kHeaders.end()));
}

PanelHttp::~PanelHttp() {
    Stop();
}

int PanelHttp::Bind(const std::string& host, int port) {
    if (port == 0) {
        return m->server.bind_to_any_port(host);
    }
    return m->server.bind_to_port(host, port) ? port : -1;
}

void PanelHttp::Start(Panel& panel, std::function<void()> failed) {
    m->panel = &panel;
    m->serving = std::thread([this, failed] {
        try {
            m->server.listen_after_bind();
        } catch (const std::exception& error) {
            // Nothing serves any more: say why, and let the owner stop.
            std::fprintf(stderr, "veltor panel: the server stopped: %s\n", error.what());
            if (failed) {
                failed();
            }
        }
    });
}

void PanelHttp::Stop() {
    if (m->panel != nullptr) {
        m->panel->Close();
    }
    m->server.stop();
    if (m->serving.joinable()) {
        m->serving.join();
    }
    m->panel = nullptr;
}

}  // namespace veltor::panel
