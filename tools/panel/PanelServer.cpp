// veltor panel: the front panel in a browser, served by PanelHttp.
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
#include "tools/panel/PanelHttp.h"

namespace veltor::tools {

namespace {

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

    panel::PanelHttp server;
    if (options.httpPort < 0 || options.httpPort > 65535) {
        throw ToolError(kExitUsage, "no TCP port " + std::to_string(options.httpPort));
    }
    const int bound = server.Bind(options.listenHost, options.httpPort);
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

    std::atomic<bool> failed{false};
    server.Start(panel, [&failed] {
        failed = true;
        StopSignals::Finish();
    });

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
    server.Stop();
    return failed ? kExitCommandFailed : kExitOk;
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
