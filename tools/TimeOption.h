// Time and count options of the veltor tool. A time is a number of seconds or
// a number with a unit ("--span 1ms"), read by the parser of the setup files;
// a count is a whole number. Each option takes a range, and a value outside it
// is a usage error that names the option and the largest value it takes:
// nothing is clamped or wrapped on its way to the code that uses it.
#pragma once

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

#include "setup/Times.h"

namespace veltor::tools {

// "1000 s", "1e+09 s": a limit as messages give it.
inline std::string LimitText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g s", seconds);
    return text;
}

// The seconds of a time option's text, or throws std::invalid_argument with
// the reason (without the option's name, which CLI11 adds).
inline double TimeInRange(const std::string& text, double largest) {
    double seconds = 0.0;
    try {
        seconds = setup::ParseTime(text);
    } catch (const std::invalid_argument& refused) {
        throw std::invalid_argument(std::string(refused.what()) + "; got \"" + text + "\"");
    }
    if (seconds < 0.0 || seconds > largest) {
        throw std::invalid_argument("a time from 0 to " + LimitText(largest) + "; got \"" + text +
                                    "\"");
    }
    return seconds;
}

// Adds the option; `seconds` must live until the command line is parsed.
// It takes times from 0 to `largest` seconds.
inline CLI::Option* AddTimeOption(CLI::App& command, const std::string& name, double& seconds,
                                  const std::string& help, double largest) {
    CLI::Option* option = command.add_option_function<std::string>(
        name,
        [&seconds, largest](const std::string& text) { seconds = TimeInRange(text, largest); },
        help + " (seconds, or with a unit: " + setup::kTimeUnits + "; at most " +
            LimitText(largest) + ")");
    option->type_name("TIME");
    option->check(
        [largest](const std::string& text) -> std::string {
            try {
                TimeInRange(text, largest);
                return std::string();
            } catch (const std::invalid_argument& refused) {
                return refused.what();
            }
        },
        "TIME");
    return option;
}

// The whole number of a text from `smallest` to `largest`, or throws
// std::invalid_argument saying the range. Digits only: no sign, no fraction,
// no exponent, nothing that strtoull would wrap or cut short.
inline unsigned long long WholeInRange(const std::string& text, unsigned long long smallest,
                                       unsigned long long largest) {
    const std::string range =
        "a whole number from " + std::to_string(smallest) + " to " + std::to_string(largest);
    bool digits = !text.empty();
    for (char c : text) {
        digits = digits && c >= '0' && c <= '9';
    }
    errno = 0;
    const unsigned long long value = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (!digits || errno == ERANGE || value < smallest || value > largest) {
        throw std::invalid_argument(range + "; got \"" + text + "\"");
    }
    return value;
}

// Adds a count option (or another whole number) taking `smallest` to
// `largest`; `value` must live until the command line is parsed.
template <class Whole>
CLI::Option* AddWholeOption(CLI::App& command, const std::string& name, Whole& value,
                            const std::string& help, Whole smallest, Whole largest) {
    static_assert(std::numeric_limits<Whole>::is_integer, "a whole number");
    const auto low = static_cast<unsigned long long>(smallest);
    const auto high = static_cast<unsigned long long>(largest);
    CLI::Option* option = command.add_option_function<std::string>(
        name,
        [&value, low, high](const std::string& text) {
            value = static_cast<Whole>(WholeInRange(text, low, high));
        },
        help + " (" + std::to_string(low) + " to " + std::to_string(high) + ")");
    option->type_name("N");
    option->check(
        [low, high](const std::string& text) -> std::string {
            try {
                WholeInRange(text, low, high);
                return std::string();
            } catch (const std::invalid_argument& refused) {
                return refused.what();
            }
        },
        "N");
    return option;
}

}  // namespace veltor::tools
