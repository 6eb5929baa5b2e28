// veltor demo: the whole SDK in one run against the simulated instrument:
// a setup applied, what the instrument now holds, how it evaluates one
// channel's logic, delay reports through the listener, the timing diagram.
#include <CLI/CLI.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Logic.h"
#include "sim/Simulator.h"
#include "tools/Commands.h"
#include "tools/DemoSetup.h"
#include "tools/Diagram.h"
#include "tools/Tool.h"

namespace veltor::tools {

namespace {

struct DemoOptions {
    std::string setup;  // empty: the built-in examples/setups/demo.json
    std::string diagram = "timing.svg";
    bool trace = false;
};

struct Report {
    char channel;
    unsigned counts;
    double seconds;
};

void PrintTruthTable(const vsim::InstrumentState& state, int channel) {
    const std::vector<uint8_t>& code = state.ch[channel].activeLogicCode;
    const char letter = static_cast<char>('A' + channel);
    std::printf(
        "\nlogic input in%c as the instrument evaluates its code %s\n"
        "(in4..in8 and the outputs low):\n  in1 in2 in3 | in%c\n",
        letter, code.empty() ? "(none)" : Hex(code.data(), code.size()).c_str(), letter);
    for (uint8_t inputs = 0; inputs < 8; ++inputs) {
        const bool value = vsim::EvaluateLogic(code, inputs, 0);
        std::printf("   %d   %d   %d  |  %d\n", inputs & 1, (inputs >> 1) & 1, (inputs >> 2) & 1,
                    value ? 1 : 0);
    }
}

int Demo(const DemoOptions& options) {
    setup::Setup setup;
    try {
        setup = options.setup.empty() ? setup::Parse(kDemoSetup) : setup::Load(options.setup);
    } catch (const setup::Error& error) {
        throw ToolError(kExitBadSetup, error.what());
    }
    const char* name = options.setup.empty() ? "examples/setups/demo.json" : options.setup.c_str();
    for (const std::string& problem : setup::Check(setup)) {
        throw ToolError(kExitBadSetup, std::string(name) + ": " + problem);
    }

    vsim::Simulator sim;
    std::printf("simulated instrument on %s\n", sim.SlavePath().c_str());
    PortOptions port;
    port.port = sim.SlavePath();
    port.trace = options.trace;
    std::unique_ptr<CVeltor> device = Connect(port);
    setup::Attach(setup, *device);

    std::printf("\napplying %s (whole-device update):\n", name);
    int requests = 0;
    device->SetTrace([&requests, &options](const CSerDev::TraceEvent& event) {
        if (event.kind == CSerDev::TraceEvent::kRequest) {
            std::printf("  %2d  %s\n", ++requests, RequestStep(event).c_str());
        }
        if (options.trace) {
            std::fprintf(stderr, "     %s %s\n",
                         event.kind == CSerDev::TraceEvent::kRequest  ? "->"
                         : event.kind == CSerDev::TraceEvent::kAnswer ? "<-"
                                                                      : "<~",
                         Hex(event.bytes, event.count).c_str());
        }
    });
    // The update, then the channels enabled as the setup says.
    const bool applied = setup::Apply(setup, *device);
    device->SetTrace(nullptr);
    if (!applied) {
        throw CommandFailed(*device, "update");
    }

    std::printf("\nwhat the instrument now holds:\n%s", FormatInstrument(sim.State()).c_str());
    PrintTruthTable(sim.State(), 0);

    // Delay reports the instrument sends unasked, through the listener.
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<Report> reports;
    device->SetReportListener([&](char channel, unsigned counts, double seconds, long long) {
        std::lock_guard<std::mutex> hold(lock);
        reports.push_back({channel, counts, seconds});
        arrived.notify_all();
    });
    const struct {
        int channel;
        uint32_t counts;
    } kSent[] = {{0, 4000}, {2, 3125}, {7, 123456}};
    for (const auto& sent : kSent) {
        sim.SendDelayReport(sent.channel, sent.counts);
    }
    {
        std::unique_lock<std::mutex> hold(lock);
        arrived.wait_for(hold, std::chrono::seconds(5), [&] { return reports.size() >= 3; });
    }
    device->SetReportListener(nullptr);
    std::printf("\ndelay reports received:\n");
    for (const Report& report : reports) {
        std::printf("  %c  %8u counts  %s\n", report.channel, report.counts,
                    FormatSeconds(report.seconds).c_str());
    }
    if (reports.size() < 3) {
        throw ToolError(kExitCommandFailed, "the delay reports did not arrive");
    }

    DiagramOptions diagram;
    diagram.title = name;
    std::ofstream(options.diagram, std::ios::binary) << DrawTiming(*device, diagram);
    std::printf("\ntiming diagram written to %s\n", options.diagram.c_str());
    return kExitOk;
}

}  // namespace

void AddDemoCommand(CLI::App& app, Action& action) {
    auto options = std::make_shared<DemoOptions>();
    CLI::App* demo = app.add_subcommand(
        "demo", "start the simulated instrument, apply the demo setup and show the result");
    demo->add_option("--setup", options->setup, "another setup file to apply");
    demo->add_option("--diagram", options->diagram, "where to write the timing diagram")
        ->capture_default_str();
    demo->add_flag("--trace", options->trace, "print the wire trace on standard error");
    demo->callback([&action, options] { action = [options] { return Demo(*options); }; });
}

}  // namespace veltor::tools
