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

const char* Usage() {
    return "Usage: veltor-tango INSTANCE [--port P] [--baud B] [--reconnect] [Tango's options]\n"
           "Serves the Veltor delay and pulse generator as a Tango device of the class\n"
           "VeltorTango. With a Tango database the device's properties Port, Baud and\n"
           "Reconnect win over these options.\n"
           "\n"
           "Options:\n"
           "  --port P, --port=P  the instrument's port: a device path, socket://HOST:PORT\n"
           "                      or rfc2217://HOST:PORT\n"
           "  --baud B, --baud=B  the line speed in bit/s, 2400 to 115200 (default 115200)\n"
           "  --reconnect         open a lost line again, and try a port missing at start\n"
           "                      again, at 100 ms doubling to 5 s\n"
           "  -h, --help          print this help and exit\n"
           "\n"
           "Tango's options (see Tango's own usage):\n"
           "  -nodb -dlist NAME   run without a database, serving the device NAME\n"
           "  -ORBendPoint giop:tcp:HOST:PORT\n"
           "                      the address clients connect to\n"
           "  -v[LEVEL]           Tango's trace level\n";
}

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
        if (argument == "--help" || argument == "-h") {
            g_Options.help = true;
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
