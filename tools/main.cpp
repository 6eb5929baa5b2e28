// veltor: configure, check, drive and simulate the instrument from the
// command line. `veltor --help` lists the commands, `veltor CMD --help` each
// one's options.
#include <veltor/veltor_c.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/Commands.h"
#include "tools/Tool.h"

using namespace veltor::tools;

namespace {

// "veltor 0.3.0": the library loaded, which may be newer than the headers
// the tool was built with.
std::string LibraryVersion() {
    const char* version = nullptr;
    return std::string("veltor ") +
           (veltor_version_string(&version) == VELTOR_OK ? version : VELTOR_VERSION);
}

// A bad command line in one line, with the tool's prefix; a missing or
// misspelt command also lists the commands.
std::string Failure(const CLI::App* app, const CLI::Error& error) {
    if (!app->get_subcommands().empty()) {
        return std::string("veltor: ") + error.what() + " (--help shows the usage)\n";
    }
    std::string commands;
    for (const CLI::App* command : app->get_subcommands({})) {
        commands += (commands.empty() ? "" : ", ") + command->get_name();
    }
    const std::vector<std::string> words = app->remaining();
    return "veltor: " +
           (words.empty() ? std::string("no command given") : "no command '" + words[0] + "'") +
           "; the commands: " + commands + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"veltor: the Veltor delay and pulse generator from the command line"};
    app.require_subcommand(1);
    app.failure_message(Failure);
    app.set_version_flag("--version", LibraryVersion, "print the library's version and exit");
    app.footer(
        "Exit status: 0 done; 1 the instrument did not carry out a command; 2 bad command line;\n"
        "3 the setup file cannot be read or fails its check; 4 the port cannot be opened.\n"
        "Messages go to standard error.");
    Action action;
    AddSetupCommands(app, action);
    AddDeviceCommands(app, action);
    AddSimCommand(app, action);
    AddDemoCommand(app, action);
    AddPortsCommand(app, action);
    app.add_subcommand("version", "print the library's version")->callback([&action] {
        action = [] {
            std::printf("%s\n", LibraryVersion().c_str());
            return static_cast<int>(kExitOk);
        };
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? kExitOk : kExitUsage;
    }
    try {
        return action ? action() : kExitUsage;
    } catch (const ToolError& error) {
        std::fprintf(stderr, "veltor: %s\n", error.what());
        return error.Code();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "veltor: %s\n", error.what());
        return kExitCommandFailed;
    }
}
