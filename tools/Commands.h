// The veltor tool's commands, one group per file; each adds its subcommands
// to the application and, when one is chosen, sets the action to run.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace veltor::tools {

struct PortOptions;
using Action = std::function<int()>;

void AddSetupCommands(CLI::App& app, Action& action);   // check, show, apply, diagram
void AddDeviceCommands(CLI::App& app, Action& action);  // query ... reset-all, watch
void AddSimCommand(CLI::App& app, Action& action);      // sim
void AddDemoCommand(CLI::App& app, Action& action);     // demo
void AddPortsCommand(CLI::App& app, Action& action);    // ports
// `panel` without lock|unlock: the front panel in a browser (tools/panel/).
// Adds its options to the command; the action serves it.
Action AddPanelServer(CLI::App& command, const PortOptions& port);

}  // namespace veltor::tools
