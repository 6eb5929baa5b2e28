// veltor sim: the simulated instrument on a pseudo-terminal, and on request
// on TCP as well, for trying the tool, the library or a script without
// hardware.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "sim/Simulator.h"
#include "sim/TcpServer.h"
#include "sim/Threads.h"
#include "tools/Commands.h"
#include "tools/Signals.h"
#include "tools/TimeOption.h"
#include "tools/Tool.h"

namespace veltor::tools {

namespace {

// The longest interval of the report stream: its microseconds fit an int
// with room to spare, and veltor-sim's --reports takes as long.
const double kLongestReportEvery = 1000.0;

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

// A whole number in a part of an option's value ("C:4000"), or a usage error
// that names the option, the part and its range.
unsigned long long Number(const std::string& text, const std::string& option,
                          const std::string& part, unsigned long long largest) {
    try {
        return WholeInRange(text, 0, largest);
    } catch (const std::invalid_argument& refused) {
        throw ToolError(kExitUsage, option + ": " + part + ": " + refused.what());
    }
}

// The probability of --fault-rate, from 0 to 1.
double Probability(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0.0 && value <= 1.0)) {
        throw ToolError(kExitUsage,
                        "--fault-rate: probability: a number from 0 to 1; got \"" + text + "\"");
    }
    return value;
}

// The most faults one --fault queues: each is held until a request meets it.
const unsigned long long kMostQueuedFaults = 1000000;

// Why a thread of the simulator stopped, once one has; the serving command
// then ends with it.
std::mutex g_FailureLock;
std::string g_Failure;

void SimulatorFailed(const std::string& what) {
    {
        std::lock_guard<std::mutex> hold(g_FailureLock);
        if (g_Failure.empty()) {
            g_Failure = what.empty() ? "no reason given" : what;
        }
    }
    StopSignals::Finish();
}

int Serve(const SimOptions& options) {
    StopSignals signals;  // before the simulator's threads exist
    vsim::SetThreadFailureHandler(SimulatorFailed);
    vsim::Simulator sim;
    sim.SetPacing(options.pace);
    sim.SetReadPacing(options.pace);
    sim.SetVerbose(options.verbose);
    if (options.referenceHz > 0.0) {
        sim.SetReferenceHz(options.referenceHz);
    }
    for (const std::string& delay : options.delays) {
        const auto [channel, counts] = Split(delay);
        sim.SetChannelDelay(Channel(channel), static_cast<uint32_t>(Number(counts, "--delay",
                                                                           "counts", 0xFFFFFFFFu)));
    }
    for (const std::string& text : options.faults) {
        const auto [name, count] = Split(text);
        vsim::Fault fault;
        fault.kind = Fault(name);
        sim.QueueFaults(fault, count.empty() ? 1
                                             : static_cast<int>(Number(count, "--fault", "count",
                                                                       kMostQueuedFaults)));
    }
    if (!options.faultRate.empty()) {
        const auto [name, rest] = Split(options.faultRate);
        const auto [probability, seed] = Split(rest);
        sim.SetFaultRate(Fault(name), Probability(probability),
                         seed.empty() ? 1u
                                      : static_cast<uint32_t>(
                                            Number(seed, "--fault-rate", "seed", 0xFFFFFFFFu)));
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
        // Whole microseconds, at least one: the option's range keeps the
        // count within an int.
        const long long intervalUs = std::max(1LL, std::llround(options.reportEvery * 1e6));
        sim.StartReportStream(Channel(options.reportChannel), options.reportCounts,
                              static_cast<int>(intervalUs));
    }
    const int signal = signals.Wait(0);
    server.reset();
    const size_t reports = sim.StopReportStream();
    {
        std::lock_guard<std::mutex> hold(g_FailureLock);
        if (!g_Failure.empty()) {
            throw ToolError(kExitCommandFailed, "the simulator stopped: " + g_Failure);
        }
    }
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
                  "send an unasked delay report this often, to the microsecond",
                  kLongestReportEvery);
    sim->add_option("--report-channel", options->reportChannel,
                    "channel of those reports, A to H, or * for A..H in turn")
        ->capture_default_str();
    AddWholeOption(*sim, "--report-counts", options->reportCounts,
                   "counts of the first report (default 4000); each next one counts one more", 0u,
                   0xFFFFFFFFu);
    sim->add_option("--fault", options->faults,
                    "KIND[:COUNT] the next COUNT requests meet this fault (no-answer, negative, "
                    "bad-checksum, split, delay, header-only, wrong-lead, report-first, noise, "
                    "replace, late, report-after, cut-report, hang-up)");
    sim->add_option("--fault-rate", options->faultRate,
                    "KIND:PROBABILITY[:SEED] each request meets this fault at random");
    sim->add_option("--state-file", options->stateFile,
                    "write what the instrument holds to this file when stopped");
    AddWholeOption(*sim, "--listen", options->listenPort,
                   "also serve it on TCP at this port, raw, one client at a time (0: any free "
                   "port); its socket://HOST:PORT name is printed on a second line",
                   0, 65535);
    sim->add_option("--listen-host", options->listenHost,
                    "the IPv4 address the TCP server listens on")
        ->capture_default_str();
    sim->callback([&action, options] { action = [options] { return Serve(*options); }; });
}

}  // namespace veltor::tools
