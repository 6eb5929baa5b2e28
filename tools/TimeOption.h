// Time options of the veltor tool: a number of seconds or a number with a
// unit ("--span 1ms"), read by the parser of the setup files.
#pragma once

#include <CLI/CLI.hpp>
#include <stdexcept>
#include <string>

#include "setup/Times.h"

namespace veltor::tools {

// Adds the option; `seconds` must live until the command line is parsed.
// A text that is no time is a usage error that names the option.
inline CLI::Option* AddTimeOption(CLI::App& command, const std::string& name, double& seconds,
                                  const std::string& help) {
    CLI::Option* option = command.add_option_function<std::string>(
        name, [&seconds](const std::string& text) { seconds = setup::ParseTime(text); },
        help + " (seconds, or with a unit: " + setup::kTimeUnits + ")");
    option->type_name("TIME");
    option->check(
        [](const std::string& text) -> std::string {
            try {
                setup::ParseTime(text);
                return std::string();
            } catch (const std::invalid_argument& refused) {
                return std::string(refused.what()) + "; got \"" + text + "\"";
            }
        },
        "TIME");
    return option;
}

}  // namespace veltor::tools
