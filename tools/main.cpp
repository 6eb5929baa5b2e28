// veltor: configure, check, drive and simulate the instrument from the
// command line. `veltor --help` lists the commands, `veltor CMD --help` each
// one's options.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "tools/Commands.h"
#include "tools/Tool.h"

using namespace veltor::tools;

int main(int argc, char** argv) {
    CLI::App app{"veltor: the Veltor delay and pulse generator from the command line"};
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done; 1 the instrument did not carry out a command; 2 bad command line;\n"
        "3 the setup file cannot be read or fails its check; 4 the port cannot be opened.\n"
        "Messages go to standard error.");
    Action action;
    AddSetupCommands(app, action);
    AddDeviceCommands(app, action);
    AddSimCommand(app, action);
    AddDemoCommand(app, action);
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
