#include "tools/panel/PanelHttp.h"

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

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
        request.headers.emplace(lower, value);
    }
    for (const auto& [name, value] : from.params) {
        request.query.emplace(name, value);
    }
    request.body = from.body;
    return request;
}

void Send(const HttpResponse& from, httplib::Response& response) {
    response.status = from.status;
    response.set_content(from.body, from.contentType.c_str());
}

}  // namespace

struct PanelHttp::Impl {
    Panel* panel = nullptr;
    ServerLimits limits;
    httplib::Server server;
    std::thread serving;
    std::atomic<int> streams{0};
};

PanelHttp::PanelHttp(ServerLimits limits) : m(new Impl{nullptr, limits, {}, {}, {}}) {
    httplib::Server& server = m->server;
    const int workers = limits.workers;
    server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    server.set_payload_max_length(kMaxBodyBytes);
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
                const std::string text =
                    impl->panel->NextEvents(cursor->first, cursor->second, 1000);
                if (text.empty()) {
                    sink.done();
                    return true;
                }
                return sink.write(text.data(), text.size());
            },
            [impl](bool) { --impl->streams; });
    });
    const auto handle = [impl](const httplib::Request& from, httplib::Response& response) {
        Send(impl->panel->Handle(Convert(from)), response);
    };
    server.Get(".*", handle);
    server.Post(".*", handle);
    server.Put(".*", handle);
    server.Delete(".*", handle);
    server.Patch(".*", handle);
    server.Options(".*", handle);
    server.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        // The address holds the token: no page is told where it came from.
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    });
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

void PanelHttp::Start(Panel& panel) {
    m->panel = &panel;
    m->serving = std::thread([this] { m->server.listen_after_bind(); });
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
