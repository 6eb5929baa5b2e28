#include "tango/Options.h"

#include <cstring>
#include <stdexcept>

namespace veltor::tango {

namespace {

Options g_Options;

long Number(const std::string& name, const std::string& text) {
    try {
        std::size_t used = 0;
        const long value = std::stol(text, &used);
        if (used == text.size() && value > 0) {
            return value;
        }
    } catch (const std::exception&) {
    }
    throw std::invalid_argument(name + ": expected a positive number of bit/s, got '" + text + "'");
}

}  // namespace

const Options& CommandLineOptions() {
    return g_Options;
}

void TakeOptions(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (name == "--reconnect" && equals == std::string::npos) {
            g_Options.reconnect = true;
            continue;
        }
        if (name != "--port" && name != "--baud") {
            argv[kept++] = argv[i];
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            throw std::invalid_argument(name + " needs a value");
        }
        if (name == "--port") {
            g_Options.port = value;
        } else {
            g_Options.baud = Number(name, value);
        }
    }
    argc = kept;
    argv[kept] = nullptr;
}

}  // namespace veltor::tango
