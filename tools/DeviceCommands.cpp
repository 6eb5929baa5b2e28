// Commands that talk to an instrument: one request each, and watch.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>

#include "tools/Commands.h"
#include "tools/Diagram.h"
#include "tools/Signals.h"
#include "tools/TimeOption.h"
#include "tools/Tool.h"

namespace veltor::tools {

namespace {

// The longest --seconds of watch, about 31 years: far past any run, and well
// within what the wait's clock arithmetic holds.
const double kLongestWatch = 1e9;

struct DeviceOptions {
    PortOptions port;
    std::string channel;
    std::string setup;       // clock settings to read counts at
    std::string state;       // on/off, lock/unlock
    long count = 0;          // watch: stop after this many reports (0: never)
    double seconds = 0;      // watch: stop after this long (0: never)
    bool reconnect = false;  // watch: open a lost line again
};

char Letter(const std::string& text) {
    if (text.size() == 1) {
        const char c = text[0];
        if (c >= 'A' && c <= 'H') {
            return c;
        }
        if (c >= 'a' && c <= 'h') {
            return static_cast<char>(c - 'a' + 'A');
        }
    }
    throw ToolError(kExitUsage, "no channel '" + text + "': channels are A to H");
}

// The device, with the clock settings of a setup file when one is given, so
// that counts read as the right seconds.
std::unique_ptr<CVeltor> Open(const DeviceOptions& options) {
    std::unique_ptr<CVeltor> device = Connect(options.port);
    if (!options.setup.empty()) {
        *device->GetPropA() = LoadSetup(options.setup).general;
    }
    return device;
}

int Run(const DeviceOptions& options, const std::string& what, bool (*command)(CVeltor&)) {
    std::unique_ptr<CVeltor> device = Open(options);
    if (!command(*device)) {
        throw CommandFailed(*device, what);
    }
    return kExitOk;
}

int RunChannel(const DeviceOptions& options, const std::string& what, bool (CChannel::*command)()) {
    const char letter = Letter(options.channel);
    std::unique_ptr<CVeltor> device = Open(options);
    if (!(device->GetChannel(letter)->*command)()) {
        throw CommandFailed(*device, what + " " + letter);
    }
    return kExitOk;
}

int Query(const DeviceOptions& options) {
    const char letter = Letter(options.channel);
    std::unique_ptr<CVeltor> device = Open(options);
    CChannel* channel = device->GetChannel(letter);
    if (!channel->CmdQuery()) {
        throw CommandFailed(*device, std::string("query ") + letter);
    }
    std::printf("%s\n", DescribeQueried(*device, letter).c_str());
    return kExitOk;
}

int Watch(const DeviceOptions& options) {
    StopSignals signals;  // before any thread exists, so that all inherit the mask
    std::unique_ptr<CVeltor> device = Open(options);
    if (options.reconnect) {
        KeepConnection(*device, nullptr);
    }
    auto seen = std::make_shared<std::atomic<long>>(0);
    const long limit = options.count;
    const long long start = signals.StartNs();
    device->SetReportListener(
        [seen, limit, start](char channel, unsigned counts, double seconds, long long timeNs) {
            // Reports after the last one asked for, while the wait ends, are not shown.
            const long number = ++*seen;
            if (limit > 0 && number > limit) {
                return;
            }
            std::printf("%10.6f  %c  %10u counts  %s\n", (timeNs - start) / 1e9, channel, counts,
                        FormatSeconds(seconds).c_str());
            std::fflush(stdout);
            if (number == limit) {
                StopSignals::Finish();
            }
        });
    signals.Wait(options.seconds);
    device->SetReportListener(nullptr);
    const long shown = limit > 0 && seen->load() > limit ? limit : seen->load();
    std::fprintf(stderr, "veltor: %s\n", Count(shown, "delay report").c_str());
    return kExitOk;
}

}  // namespace

void AddDeviceCommands(CLI::App& app, Action& action) {
    auto options = std::make_shared<DeviceOptions>();
    struct ChannelCommand {
        const char* name;
        const char* help;
        bool (CChannel::*command)();
    };
    static const ChannelCommand kChannelCommands[] = {
        {"enable", "enable a channel", &CChannel::CmdEnable},
        {"disable", "disable a channel", &CChannel::CmdDisable},
        {"trigger",
         "force a trigger on a channel (sent once: after no answer, or a garbled one, it may or "
         "may not have fired, and is not sent again)",
         &CChannel::CmdForceTrigger},
        {"reset", "reset a channel", &CChannel::CmdReset},
    };
    for (const ChannelCommand& entry : kChannelCommands) {
        CLI::App* sub = app.add_subcommand(entry.name, entry.help);
        sub->add_option("CH", options->channel, "channel A to H")->required();
        AddPortOptions(*sub, options->port);
        const ChannelCommand* chosen = &entry;
        sub->callback([&action, options, chosen] {
            action = [options, chosen] {
                return RunChannel(*options, chosen->name, chosen->command);
            };
        });
    }

    CLI::App* query = app.add_subcommand(
        "query", "print the delay the instrument holds for a channel, in seconds and clock counts");
    query->add_option("CH", options->channel, "channel A to H")->required();
    query->add_option("--setup", options->setup,
                      "setup file whose clock settings turn the counts into seconds (without "
                      "it: each pair's default 200 MHz clock)");
    AddPortOptions(*query, options->port);
    query->callback([&action, options] { action = [options] { return Query(*options); }; });

    CLI::App* outputs = app.add_subcommand("outputs", "switch all outputs on or off");
    outputs->add_option("STATE", options->state, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    AddPortOptions(*outputs, options->port);
    outputs->callback([&action, options] {
        action = [options] {
            return options->state == "on" ? Run(*options, "outputs on",
                                                [](CVeltor& d) { return d.CmdEnableOutputs(); })
                                          : Run(*options, "outputs off",
                                                [](CVeltor& d) { return d.CmdDisableOutputs(); });
        };
    });

    CLI::App* panel = app.add_subcommand(
        "panel",
        "lock or unlock the instrument's front panel; without lock|unlock, serve a front panel "
        "in the browser (the address to open is printed, with its token)");
    panel->add_option("STATE", options->state, "lock or unlock")
        ->check(CLI::IsMember({"lock", "unlock"}));
    AddPortOptions(*panel, options->port);
    panel->get_option("--port")->required(false);
    const Action serve = AddPanelServer(*panel, options->port);
    panel->callback([&action, options, serve] {
        action = [options, serve] {
            if (options->state.empty()) {
                return serve();
            }
            if (options->port.port.empty()) {
                throw ToolError(kExitUsage, "panel " + options->state + ": --port is required");
            }
            return options->state == "lock"
                       ? Run(*options, "panel lock", [](CVeltor& d) { return d.CmdLockFP(); })
                       : Run(*options, "panel unlock", [](CVeltor& d) { return d.CmdUnlockFP(); });
        };
    });

    CLI::App* resetAll = app.add_subcommand("reset-all", "reset all channels");
    AddPortOptions(*resetAll, options->port);
    resetAll->callback([&action, options] {
        action = [options] {
            return Run(*options, "reset-all", [](CVeltor& d) { return d.CmdResetAll(); });
        };
    });

    CLI::App* watch =
        app.add_subcommand("watch", "print delay reports as they arrive, until interrupted");
    watch->add_option("--setup", options->setup, "setup file whose clock settings apply");
    AddWholeOption(*watch, "--count", options->count, "stop after this many reports (0: never)", 0L,
                   std::numeric_limits<long>::max());
    AddTimeOption(*watch, "--seconds", options->seconds, "stop after this long (0: never)",
                  kLongestWatch);
    watch->add_flag("--reconnect", options->reconnect,
                    "when the line is lost, open the port again (every 0.1 s at first, every 5 s "
                    "at most) and go on watching");
    AddPortOptions(*watch, options->port);
    watch->callback([&action, options] { action = [options] { return Watch(*options); }; });
}

}  // namespace veltor::tools
