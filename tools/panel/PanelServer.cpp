// veltor panel: the front panel in a browser. The HTTP glue on httplib:
// each request goes to the Panel as it came, each response back as it was
// made; only the event stream is the glue's own (a chunked response that
// stays open).
#include <httplib.h>
#include <sys/random.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "sim/Simulator.h"
#include "tools/Commands.h"
#include "tools/Signals.h"
#include "tools/Tool.h"
#include "tools/panel/Panel.h"

namespace veltor::tools {

namespace {

// Each open page holds a worker thread for its event stream, and a browser
// keeps idle connections that hold one each for a few seconds: threads
// enough for a few pages, and a cap on the streams so that requests still
// find a thread.
constexpr int kServerThreads = 32;
constexpr int kMostStreams = 16;

struct PanelOptions {
    bool sim = false;
    int httpPort = 8123;
    std::string listenHost = "127.0.0.1";
    std::string setupPath;
    bool reconnect = false;
};

// 128 bits from the system's random source, in hex.
std::string MakeToken() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof(bytes)) {
        const ssize_t n = ::getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0 && errno != EINTR) {
            throw ToolError(kExitCommandFailed, "no random numbers for the panel's token");
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    std::string token;
    char hex[3];
    for (const unsigned char byte : bytes) {
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        token += hex;
    }
    return token;
}

panel::HttpRequest Convert(const httplib::Request& from) {
    panel::HttpRequest request;
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

void Send(const panel::HttpResponse& from, httplib::Response& response) {
    response.status = from.status;
    response.set_content(from.body, from.contentType.c_str());
}

// What the simulated instrument holds, for the page and the tests.
std::string SimJson(const vsim::InstrumentState& state) {
    nlohmann::json channels = nlohmann::json::object();
    for (int i = 0; i < vsim::kChannelCount; ++i) {
        const vsim::ChannelState& c = state.ch[i];
        channels[std::string(1, static_cast<char>('A' + i))] = {
            {"mode", c.hasMode ? c.modeName : ""},
            {"delay", c.delaySeconds},
            {"duration", c.durationSeconds},
            {"enabled", c.enabled}};
    }
    return nlohmann::json({{"text", FormatInstrument(state)},
                           {"channels", channels},
                           {"outputs", state.outputsEnabled},
                           {"locked", state.panelLocked}})
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int Serve(const PanelOptions& options, const PortOptions& port) {
    if (options.sim == !port.port.empty()) {
        throw ToolError(kExitUsage, "panel: give --port or --sim (one of them), or lock|unlock");
    }
    StopSignals signals;  // before any thread exists, so that all inherit the mask
    setup::Setup initial;
    if (!options.setupPath.empty()) {
        initial = LoadSetup(options.setupPath);
    }
    std::unique_ptr<vsim::Simulator> sim;
    PortOptions reach = port;
    if (options.sim) {
        sim = std::make_unique<vsim::Simulator>();
        reach.port = sim->SlavePath();
    }
    std::unique_ptr<CVeltor> device = Connect(reach);

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server.set_payload_max_length(panel::kMaxBodyBytes);
    if (options.httpPort < 0 || options.httpPort > 65535) {
        throw ToolError(kExitUsage, "no TCP port " + std::to_string(options.httpPort));
    }
    const int bound =
        options.httpPort == 0
            ? server.bind_to_any_port(options.listenHost)
            : (server.bind_to_port(options.listenHost, options.httpPort) ? options.httpPort : -1);
    if (bound <= 0) {
        throw ToolError(kExitUsage, "cannot listen on " + options.listenHost + " port " +
                                        std::to_string(options.httpPort));
    }

    panel::PanelConfig config;
    config.access = {MakeToken(), panel::PanelHosts(options.listenHost, bound)};
    config.port = options.sim ? "simulated instrument on " + reach.port : reach.port;
    config.setupPath = options.setupPath;
    config.reconnect = options.reconnect;
    if (sim) {
        vsim::Simulator* simulated = sim.get();
        config.simState = [simulated] { return SimJson(simulated->State()); };
        config.simReport = [simulated](int channel, unsigned counts) {
            simulated->SendDelayReport(channel, counts);
        };
    }
    panel::Panel panel(*device, config, std::move(initial));

    // Registered first: the handlers are tried in order.
    auto streams = std::make_shared<std::atomic<int>>(0);
    server.Get("/api/events", [&panel, streams](const httplib::Request& from,
                                                httplib::Response& response) {
        const panel::HttpRequest request = Convert(from);
        if (std::optional<panel::HttpResponse> refused = panel.RefuseEvents(request)) {
            Send(*refused, response);
            return;
        }
        if (++*streams > kMostStreams) {
            --*streams;
            Send(panel::ErrorResponse(503, "too many pages open on this panel"), response);
            return;
        }
        // A page that lost the stream and comes back goes on from its last event.
        const auto last = request.headers.find("last-event-id");
        auto cursor = std::make_shared<std::pair<long long, std::string>>(
            last == request.headers.end() ? -1 : std::atoll(last->second.c_str()), "");
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [&panel, cursor](std::size_t, httplib::DataSink& sink) {
                const std::string text = panel.NextEvents(cursor->first, cursor->second, 1000);
                if (text.empty()) {
                    sink.done();
                    return true;
                }
                return sink.write(text.data(), text.size());
            },
            [streams](bool) { --*streams; });
    });
    const auto handle = [&panel](const httplib::Request& from, httplib::Response& response) {
        Send(panel.Handle(Convert(from)), response);
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
    std::thread serving([&server] { server.listen_after_bind(); });

    const std::string shownHost =
        options.listenHost == "0.0.0.0" ? "127.0.0.1" : options.listenHost;
    std::printf("http://%s:%d/?token=%s\n", shownHost.c_str(), bound, config.access.token.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "veltor: the panel of %s is at the address above; Ctrl-C stops it\n",
                 config.port.c_str());
    if (options.listenHost != "127.0.0.1" && options.listenHost != "localhost") {
        std::fprintf(stderr,
                     "veltor: listening on %s, beyond this machine: anyone with the address and "
                     "its token drives the instrument, over plain HTTP\n",
                     options.listenHost.c_str());
    }
    signals.Wait(0);
    panel.Close();
    server.stop();
    serving.join();
    return kExitOk;
}

}  // namespace

Action AddPanelServer(CLI::App& command, const PortOptions& port) {
    auto options = std::make_shared<PanelOptions>();
    command.add_flag("--sim", options->sim, "serve the panel of a simulated instrument");
    command
        .add_option("--http-port", options->httpPort,
                    "the panel's TCP port (0: any free one; the address is printed)")
        ->capture_default_str();
    command
        .add_option("--listen-host", options->listenHost,
                    "the IPv4 address the panel listens on; another than 127.0.0.1 lets other "
                    "machines in: every request to its API still needs the token printed in "
                    "the address (keep it to yourself), and the traffic is not encrypted")
        ->capture_default_str();
    command.add_option("--setup", options->setupPath,
                       "setup file loaded at start; the panel may save back to it (and to no "
                       "other file)");
    command.add_flag("--reconnect", options->reconnect,
                     "when the line is lost, open the port again (the page shows it)");
    const PortOptions* ports = &port;
    return [options, ports] { return Serve(*options, *ports); };
}

}  // namespace veltor::tools
