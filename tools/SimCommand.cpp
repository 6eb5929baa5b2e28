// veltor sim: the simulated instrument on a pseudo-terminal, and on request
// on TCP as well, for trying the tool, the library or a script without
// hardware.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "sim/Simulator.h"
#include "sim/TcpServer.h"
#include "tools/Commands.h"
#include "tools/Signals.h"
#include "tools/TimeOption.h"
#include "tools/Tool.h"

namespace veltor::tools {

namespace {

struct SimOptions {
    std::string link;
    bool pace = false;
    bool verbose = false;
    double referenceHz = 0.0;
    std::vector<std::string> delays;  // CH:COUNTS
    double reportEvery = 0.0;         // seconds
    std::string reportChannel = "*";
    unsigned reportCounts = 4000;
    std::vector<std::string> faults;  // KIND[:COUNT]
    std::string faultRate;            // KIND:PROBABILITY[:SEED]
    std::string stateFile;
    int listenPort = -1;  // -1: no TCP server
    std::string listenHost = "127.0.0.1";
};

int Channel(const std::string& text) {
    if (text == "*") {
        return -1;
    }
    if (text.size() == 1 && text[0] >= 'A' && text[0] <= 'H') {
        return text[0] - 'A';
    }
    if (text.size() == 1 && text[0] >= 'a' && text[0] <= 'h') {
        return text[0] - 'a';
    }
    throw ToolError(kExitUsage, "no channel '" + text + "': channels are A to H");
}

vsim::FaultKind Fault(const std::string& name) {
    std::string known;
    for (int k = static_cast<int>(vsim::FaultKind::NoAnswer);
         k <= static_cast<int>(vsim::FaultKind::HangUp); ++k) {
        const auto kind = static_cast<vsim::FaultKind>(k);
        if (name == vsim::FaultName(kind)) {
            return kind;
        }
        known += (known.empty() ? "" : ", ") + std::string(vsim::FaultName(kind));
    }
    throw ToolError(kExitUsage, "no fault '" + name + "'; known: " + known);
}

// "name:rest" split at the first colon.
std::pair<std::string, std::string> Split(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return {text, ""};
    }
    return {text.substr(0, colon), text.substr(colon + 1)};
}

unsigned long Number(const std::string& text, const std::string& what) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || text[0] == '-') {
        throw ToolError(kExitUsage, "bad " + what + " '" + text + "'");
    }
    return value;
}

int Serve(const SimOptions& options) {
    StopSignals signals;  // before the simulator's threads exist
    vsim::Simulator sim;
    sim.SetPacing(options.pace);
    sim.SetReadPacing(options.pace);
    sim.SetVerbose(options.verbose);
    if (options.referenceHz > 0.0) {
        sim.SetReferenceHz(options.referenceHz);
    }
    for (const std::string& delay : options.delays) {
        const auto [channel, counts] = Split(delay);
        sim.SetChannelDelay(Channel(channel), static_cast<uint32_t>(Number(counts, "counts")));
    }
    for (const std::string& text : options.faults) {
        const auto [name, count] = Split(text);
        vsim::Fault fault;
        fault.kind = Fault(name);
        sim.QueueFaults(fault, count.empty() ? 1 : static_cast<int>(Number(count, "count")));
    }
    if (!options.faultRate.empty()) {
        const auto [name, rest] = Split(options.faultRate);
        const auto [probability, seed] = Split(rest);
        sim.SetFaultRate(Fault(name), std::strtod(probability.c_str(), nullptr),
                         seed.empty() ? 1u : static_cast<uint32_t>(Number(seed, "seed")));
    }
    if (!options.link.empty()) {
        ::unlink(options.link.c_str());
        if (::symlink(sim.SlavePath().c_str(), options.link.c_str()) != 0) {
            throw ToolError(kExitUsage, "cannot make the link " + options.link);
        }
    }
    std::unique_ptr<vsim::TcpServer> server;
    if (options.listenPort >= 0) {
        if (options.listenPort > 65535) {
            throw ToolError(kExitUsage, "no TCP port " + std::to_string(options.listenPort));
        }
        try {
            server = std::make_unique<vsim::TcpServer>(sim.SlavePath(), options.listenHost,
                                                       static_cast<uint16_t>(options.listenPort));
        } catch (const std::system_error& e) {
            throw ToolError(kExitUsage, "cannot listen on " + options.listenHost + " port " +
                                            std::to_string(options.listenPort) + ": " +
                                            e.code().message());
        }
    }
    std::printf("%s\n", sim.SlavePath().c_str());
    if (server) {
        std::printf("%s\n", server->Url().c_str());
    }
    std::fflush(stdout);
    if (options.reportEvery > 0.0) {
        sim.StartReportStream(Channel(options.reportChannel), options.reportCounts,
                              static_cast<int>(options.reportEvery * 1e6));
    }
    const int signal = signals.Wait(0);
    server.reset();
    const size_t reports = sim.StopReportStream();
    if (options.verbose) {
        std::fprintf(stderr, "veltor: simulator stopped by signal %d after %s\n", signal,
                     Count(static_cast<long>(reports), "delay report").c_str());
    }
    if (!options.stateFile.empty()) {
        std::ofstream(options.stateFile) << FormatInstrument(sim.State());
    }
    if (!options.link.empty()) {
        ::unlink(options.link.c_str());
    }
    return kExitOk;
}

}  // namespace

void AddSimCommand(CLI::App& app, Action& action) {
    auto options = std::make_shared<SimOptions>();
    CLI::App* sim = app.add_subcommand(
        "sim",
        "serve the simulated instrument on a pseudo-terminal (its path is printed), and with "
        "--listen on TCP");
    sim->add_option("--link", options->link, "also reach it under this path (a symbolic link)");
    sim->add_flag("--pace", options->pace, "send and take bytes at the line speed the host set");
    sim->add_flag("--verbose", options->verbose, "print every request and answer on stderr");
    sim->add_option("--ref", options->referenceHz, "reference clock in Hz (clock sources 2, 3)");
    sim->add_option("--delay", options->delays, "CH:COUNTS the delay a query of CH answers");
    AddTimeOption(*sim, "--report-every", options->reportEvery,
                  "send an unasked delay report this often");
    sim->add_option("--report-channel", options->reportChannel,
                    "channel of those reports, A to H, or * for A..H in turn")
        ->capture_default_str();
    sim->add_option("--report-counts", options->reportCounts,
                    "counts of the first report; each next one counts one more")
        ->capture_default_str();
    sim->add_option("--fault", options->faults,
                    "KIND[:COUNT] the next COUNT requests meet this fault (no-answer, negative, "
                    "bad-checksum, split, delay, header-only, wrong-lead, report-first, noise, "
                    "replace, late, report-after, cut-report, hang-up)");
    sim->add_option("--fault-rate", options->faultRate,
                    "KIND:PROBABILITY[:SEED] each request meets this fault at random");
    sim->add_option("--state-file", options->stateFile,
                    "write what the instrument holds to this file when stopped");
    sim->add_option("--listen", options->listenPort,
                    "also serve it on TCP at this port, raw, one client at a time (0: any free "
                    "port); its socket://HOST:PORT name is printed on a second line");
    sim->add_option("--listen-host", options->listenHost,
                    "the IPv4 address the TCP server listens on")
        ->capture_default_str();
    sim->callback([&action, options] { action = [options] { return Serve(*options); }; });
}

}  // namespace veltor::tools
