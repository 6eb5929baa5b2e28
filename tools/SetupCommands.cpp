// Commands on setup files: check (offline), show (the requests apply would
// send), apply (to an instrument), diagram (what the channels will do).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <memory>

#include "sim/Simulator.h"
#include "tools/Commands.h"
#include "tools/Diagram.h"
#include "tools/Tool.h"

namespace veltor::tools {

namespace {

// Loads and checks a setup; lists every problem and throws when there is one.
setup::Setup LoadChecked(const std::string& path) {
    setup::Setup setup = LoadSetup(path);
    const std::vector<std::string> problems = CheckSetup(setup);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), problem.c_str());
    }
    if (!problems.empty()) {
        throw ToolError(kExitBadSetup, path + ": " + std::to_string(problems.size()) +
                                           (problems.size() == 1 ? " problem" : " problems") +
                                           ", nothing sent");
    }
    return setup;
}

// One line per request as it goes out (and the wire trace when asked for).
void FollowRequests(CVeltor& device, bool trace, std::FILE* out) {
    auto count = std::make_shared<int>(0);
    device.SetTrace([count, trace, out](const CSerDev::TraceEvent& event) {
        if (event.kind == CSerDev::TraceEvent::kRequest) {
            std::fprintf(out, "%3d  %-44s %s\n", ++*count, RequestStep(event).c_str(),
                         Hex(event.bytes, event.count).c_str());
        } else if (trace) {
            std::fprintf(stderr, "     %s %s\n",
                         event.kind == CSerDev::TraceEvent::kAnswer ? "<-" : "<~",
                         Hex(event.bytes, event.count).c_str());
        }
    });
}

int Check(const std::string& path) {
    LoadChecked(path);
    std::printf("%s: no problems\n", path.c_str());
    return kExitOk;
}

int Show(const std::string& path) {
    setup::Setup setup = LoadChecked(path);
    // The requests are what the library writes for a whole-device update;
    // a simulated instrument answers them, so that none is retried.
    vsim::Simulator sim;
    CVeltor device;
    if (device.InitConnection(sim.SlavePath().c_str(), CSerDev::kBaud115200) != 0) {
        throw ToolError(kExitCommandFailed,
                        "cannot reach the simulated instrument: " + device.GetLastError());
    }
    setup::Attach(setup, device);
    FollowRequests(device, false, stdout);
    if (!device.CmdUpdateAll()) {
        throw CommandFailed(device, "update");
    }
    device.SetTrace(nullptr);
    return kExitOk;
}

int Apply(const std::string& path, const PortOptions& options) {
    setup::Setup setup = LoadChecked(path);
    PortOptions quiet = options;
    quiet.trace = false;
    std::unique_ptr<CVeltor> device = Connect(quiet);
    setup::Attach(setup, *device);
    FollowRequests(*device, options.trace, stderr);
    const bool ok = device->CmdUpdateAll();
    device->SetTrace(nullptr);
    if (!ok) {
        throw CommandFailed(*device, "apply");
    }
    std::printf("%s applied\n", path.c_str());
    return kExitOk;
}

int Diagram(const std::string& path, const std::string& output, const DiagramOptions& options) {
    setup::Setup setup = LoadSetup(path);
    CVeltor device;
    setup::Attach(setup, device);
    std::ofstream file(output, std::ios::binary);
    file << DrawTiming(device, options);
    file.close();
    if (!file) {
        throw ToolError(kExitCommandFailed, "cannot write " + output);
    }
    std::printf("timing diagram written to %s\n", output.c_str());
    return kExitOk;
}

}  // namespace

void AddPortOptions(CLI::App& command, PortOptions& options) {
    command
        .add_option("--port,-p", options.port,
                    "port: a device path, a port number, socket://HOST:PORT or rfc2217://HOST:PORT")
        ->required();
    command.add_option("--baud,-b", options.baud, "line speed in bit/s (2400 to 115200)")
        ->capture_default_str();
    command.add_flag("--trace", options.trace,
                     "print every request, answer and unasked byte on standard error");
}

void AddSetupCommands(CLI::App& app, Action& action) {
    auto path = std::make_shared<std::string>();
    auto port = std::make_shared<PortOptions>();
    auto output = std::make_shared<std::string>("timing.svg");
    auto diagram = std::make_shared<DiagramOptions>();

    CLI::App* check =
        app.add_subcommand("check", "check a setup file offline: every range and every logic text");
    check->add_option("FILE", *path, "setup file (JSON)")->required();
    check->callback([&action, path] { action = [path] { return Check(*path); }; });

    CLI::App* show = app.add_subcommand(
        "show", "print each request apply would send, in hex, with its status text");
    show->add_option("FILE", *path, "setup file (JSON)")->required();
    show->callback([&action, path] { action = [path] { return Show(*path); }; });

    CLI::App* apply = app.add_subcommand(
        "apply", "check a setup file, then send it all to the instrument (whole-device update)");
    apply->add_option("FILE", *path, "setup file (JSON)")->required();
    AddPortOptions(*apply, *port);
    apply->callback(
        [&action, path, port] { action = [path, port] { return Apply(*path, *port); }; });

    CLI::App* draw = app.add_subcommand(
        "diagram", "draw what the channels will do after a trigger, as an SVG picture");
    draw->add_option("FILE", *path, "setup file (JSON)")->required();
    draw->add_option("-o,--output", *output, "SVG file to write")->capture_default_str();
    draw->add_option("--span", diagram->spanSeconds, "time axis length in seconds (0: automatic)");
    draw->add_option("--title", diagram->title, "title drawn above the channels");
    draw->callback([&action, path, output, diagram] {
        action = [path, output, diagram] { return Diagram(*path, *output, *diagram); };
    });
}

}  // namespace veltor::tools
