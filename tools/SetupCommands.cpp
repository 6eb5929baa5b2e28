// Commands on setup files: check (offline), show (the requests apply would
// send), apply (to an instrument), diagram (what the channels will do).
#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>

#include "sim/Simulator.h"
#include "tools/Commands.h"
#include "tools/Diagram.h"
#include "tools/Signals.h"
#include "tools/TimeOption.h"
#include "tools/Tool.h"

namespace veltor::tools {

namespace {

struct SetupOptions {
    std::string path;
    bool strict = false;     // check, show: a rounded time fails the check
    bool verbose = false;    // apply: list the requests and the rounded times
    bool reconnect = false;  // apply: stay, and apply again whenever the line is back
    PortOptions port;
    std::string output = "timing.svg";
    DiagramOptions diagram;
};

// A setup that passed its check, its times that run rounded to their
// channel's clock, and where its logic texts may read otherwise than meant.
struct Checked {
    setup::Setup setup;
    std::vector<RoundedTime> rounded;
    std::vector<std::string> logic;  // "channels.B.logic, line 2: inB mixes ..."
};

// Loads and checks a setup: lists every problem and throws when there is
// one; lists each rounded time as a warning when `warn`, and throws for one
// when `strict`.
Checked LoadChecked(const std::string& path, bool warn, bool strict) {
    Checked checked{LoadSetup(path), {}, {}};
    const std::vector<std::string> problems = setup::Check(checked.setup);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "veltor: %s: %s\n", path.c_str(), problem.c_str());
    }
    if (!problems.empty()) {
        throw ToolError(
            kExitBadSetup,
            path + ": " + Count(static_cast<long>(problems.size()), "problem") + ", nothing sent");
    }
    CVeltor device;
    setup::Attach(checked.setup, device);
    checked.rounded = FindRoundedTimes(device);
    checked.logic = LogicWarnings(device);
    if (warn || strict) {
        for (const RoundedTime& time : checked.rounded) {
            std::fprintf(stderr, "veltor: %s: warning: %s\n", path.c_str(),
                         DescribeRounding(time).c_str());
        }
        for (const std::string& text : checked.logic) {
            std::fprintf(stderr, "veltor: %s: warning: %s\n", path.c_str(), text.c_str());
        }
    }
    const long warnings = static_cast<long>(checked.rounded.size() + checked.logic.size());
    if (strict && warnings > 0) {
        throw ToolError(kExitBadSetup,
                        path + ": " + Count(warnings, "warning") + " (--strict), nothing sent");
    }
    return checked;
}

// "Setting timing mode, channel C" for a request's step, to go before a colon.
std::string StepWords(const CSerDev::TraceEvent& event) {
    std::string step = RequestStep(event);
    const std::size_t dots = step.find("...");
    if (dots != std::string::npos) {
        step.replace(dots, 3, dots + 3 < step.size() ? "," : "");
    }
    return step;
}

// Follows the requests of an update as they go out: lists them when asked,
// shows the answers with the trace, and says why an attempt failed when its
// request goes out again.
class RequestFollower {
public:
    // `list`: where each request is listed, or null.
    RequestFollower(CVeltor& device, std::FILE* list, bool trace) : m_Device(device) {
        device.SetTrace([this, list, trace](const CSerDev::TraceEvent& event) {
            if (event.kind != CSerDev::TraceEvent::kRequest) {
                m_bHeard = true;
                if (trace) {
                    std::fprintf(stderr, "     %s %s\n",
                                 event.kind == CSerDev::TraceEvent::kAnswer ? "<-" : "<~",
                                 Hex(event.bytes, event.count).c_str());
                }
                return;
            }
            ++m_nRequests;
            const std::vector<unsigned char> bytes(event.bytes, event.bytes + event.count);
            // The outcome is one atomic the device stores after each
            // attempt, read without its lock: here, that of the attempt
            // before this request.
            const CSerDev::Outcome outcome = m_Device.GetLastOutcome();
            const bool failed = !m_LastRequest.empty() && outcome != CSerDev::kSuccess;
            const bool again = failed && bytes == m_LastRequest;
            if (failed) {
                std::fprintf(stderr, "veltor: %s: attempt %d failed (%s), %s\n", m_LastStep.c_str(),
                             m_nAttempt, CSerDev::DescribeOutcome(outcome),
                             again ? "sending it again" : "going on without it");
            }
            m_nRetries += again ? 1 : 0;
            m_nAttempt = again ? m_nAttempt + 1 : 1;
            m_LastRequest = bytes;
            m_LastStep = StepWords(event);
            if (list != nullptr) {
                std::fprintf(list, "%3d  %-44s %s\n", m_nRequests, RequestStep(event).c_str(),
                             Hex(event.bytes, event.count).c_str());
            }
        });
    }
    ~RequestFollower() { m_Device.SetTrace(nullptr); }
    RequestFollower(const RequestFollower&) = delete;
    RequestFollower& operator=(const RequestFollower&) = delete;

    // Read after the commands: the trace runs on the commanding thread,
    // except for unasked bytes (hence the atomic).
    int Requests() const { return m_nRequests; }
    int Retries() const { return m_nRetries; }
    // Whether anything came back: answers or unasked bytes.
    bool Heard() const { return m_bHeard; }

private:
    CVeltor& m_Device;
    std::vector<unsigned char> m_LastRequest;
    std::string m_LastStep;
    int m_nRequests = 0;
    int m_nRetries = 0;
    int m_nAttempt = 1;
    std::atomic<bool> m_bHeard{false};
};

int Check(const SetupOptions& options) {
    const Checked checked = LoadChecked(options.path, true, options.strict);
    const long warnings = static_cast<long>(checked.rounded.size() + checked.logic.size());
    std::printf("%s: no problems%s\n", options.path.c_str(),
                warnings == 0 ? "" : (", " + Count(warnings, "warning")).c_str());
    return kExitOk;
}

int Show(const SetupOptions& options) {
    Checked checked = LoadChecked(options.path, true, options.strict);
    // The requests are what the library writes for a whole-device update;
    // a simulated instrument answers them, so that none is retried.
    vsim::Simulator sim;
    CVeltor device;
    if (device.InitConnection(sim.SlavePath().c_str(), CSerDev::kBaud115200) != 0) {
        throw ToolError(kExitCommandFailed,
                        "cannot reach the simulated instrument: " + device.GetLastError());
    }
    RequestFollower follower(device, stdout, false);
    if (!setup::Apply(checked.setup, device)) {
        throw CommandFailed(device, "update");
    }
    return kExitOk;
}

// "; enabled A C; disabled B", or nothing when the setup leaves them all.
std::string EnabledChannels(const setup::Setup& setup) {
    std::string enabled;
    std::string disabled;
    for (int i = 0; i < 8; ++i) {
        if (setup.channels[i].enabled) {
            (*setup.channels[i].enabled ? enabled : disabled) +=
                std::string(" ") + static_cast<char>('A' + i);
        }
    }
    return (enabled.empty() ? "" : "; enabled" + enabled) +
           (disabled.empty() ? "" : "; disabled" + disabled);
}

int Apply(const SetupOptions& options) {
    Checked checked = LoadChecked(options.path, options.verbose, false);
    // Before any thread exists, so that all inherit the mask.
    std::optional<StopSignals> signals;
    if (options.reconnect) {
        signals.emplace();
    }
    PortOptions quiet = options.port;
    quiet.trace = false;
    std::unique_ptr<CVeltor> device = Connect(quiet);
    bool applied = false;
    int requests = 0;
    int retries = 0;
    bool heard = false;
    {
        RequestFollower follower(*device, options.verbose || options.port.trace ? stderr : nullptr,
                                 options.port.trace);
        applied = setup::Apply(checked.setup, *device);
        requests = follower.Requests();
        retries = follower.Retries();
        heard = follower.Heard();
    }
    if (!applied) {
        ToolError failed = CommandFailed(*device, "apply");
        if (!heard) {
            throw ToolError(failed.Code(),
                            std::string(failed.what()) + "\nveltor: nothing came back from " +
                                options.port.port + " at " + std::to_string(options.port.baud) +
                                " bit/s: check the port name, the line speed and the cable");
        }
        throw failed;
    }
    const SGeneral& general = checked.setup.general;
    std::printf("veltor: applied %s to %s: %s%s%s; outputs %s, panel %s%s\n", options.path.c_str(),
                options.port.port.c_str(), Count(requests, "request").c_str(),
                retries == 0 ? "" : (" (" + std::to_string(retries) + " sent again)").c_str(),
                EnabledChannels(checked.setup).c_str(), general.bDisableOutputs ? "off" : "on",
                general.bLockFP ? "locked" : "unlocked",
                checked.rounded.empty()
                    ? ""
                    : ("; " + Count(static_cast<long>(checked.rounded.size()), "time") +
                       " rounded to the clock (veltor check lists each)")
                          .c_str());
    if (signals) {
        // The instrument may have been switched off meanwhile: the whole
        // setup again, channels enabled and disabled included.
        setup::Setup& applying = checked.setup;
        KeepConnection(*device, [&applying, &options](CVeltor& back) {
            if (setup::Apply(applying, back)) {
                std::fprintf(stderr, "veltor: applied %s again\n", options.path.c_str());
            } else {
                std::fprintf(stderr, "veltor: applying %s again failed: %s\n", options.path.c_str(),
                             back.GetLastError().c_str());
            }
        });
        std::fflush(stdout);
        signals->Wait(0);
        device->SetReconnectListener(nullptr);
        device->CloseConnection();
    }
    return kExitOk;
}

int Diagram(const SetupOptions& options) {
    setup::Setup setup = LoadSetup(options.path);
    CVeltor device;
    setup::Attach(setup, device);
    std::ofstream file(options.output, std::ios::binary);
    file << DrawTiming(device, options.diagram);
    file.close();
    if (!file) {
        throw ToolError(kExitCommandFailed, "cannot write " + options.output);
    }
    std::printf("timing diagram written to %s\n", options.output.c_str());
    return kExitOk;
}

void AddFile(CLI::App& command, SetupOptions& options) {
    command.add_option("FILE", options.path, "setup file (JSON)")->required();
}

void AddStrict(CLI::App& command, SetupOptions& options) {
    command.add_flag("--strict", options.strict,
                     "fail (exit status 3) on a warning: a time that does not run as written, "
                     "logic that mixes operators without parentheses");
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
    auto options = std::make_shared<SetupOptions>();
    const auto run = [&action, options](int (*command)(const SetupOptions&)) {
        return [&action, options, command] {
            action = [options, command] { return command(*options); };
        };
    };

    CLI::App* check = app.add_subcommand(
        "check",
        "check a setup file offline: every range and every logic text; warn of each time that "
        "runs rounded to its channel's clock");
    AddFile(*check, *options);
    AddStrict(*check, *options);
    check->callback(run(Check));

    CLI::App* show = app.add_subcommand(
        "show", "print each request apply would send, in hex, with its status text");
    AddFile(*show, *options);
    AddStrict(*show, *options);
    show->callback(run(Show));

    CLI::App* apply = app.add_subcommand(
        "apply",
        "check a setup file, then send it all to the instrument (whole-device update), then "
        "enable and disable the channels as it says");
    AddFile(*apply, *options);
    AddPortOptions(*apply, options->port);
    apply->add_flag("--verbose,-v", options->verbose,
                    "list each request as it goes out, and each time that runs rounded");
    apply->add_flag("--reconnect", options->reconnect,
                    "stay until interrupted; when the line is lost, open the port again and apply "
                    "the setup again once it is back");
    apply->callback(run(Apply));

    CLI::App* draw = app.add_subcommand(
        "diagram", "draw what the channels will do after a trigger, as an SVG picture");
    AddFile(*draw, *options);
    draw->add_option("-o,--output", options->output, "SVG file to write")->capture_default_str();
    AddTimeOption(*draw, "--span", options->diagram.spanSeconds, "time axis length (0: automatic)",
                  kLongestSpan);
    draw->add_option("--title", options->diagram.title, "title drawn above the channels");
    draw->callback(run(Diagram));
}

}  // namespace veltor::tools
