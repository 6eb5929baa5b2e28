// The server's own command-line options, taken out of the arguments before
// Tango reads them (Tango refuses options it does not know). They give the
// devices their properties where no database does.
#pragma once

#include <string>

namespace veltor::tango {

struct Options {
    std::string port;    // "/dev/ttyUSB0", "socket://HOST:PORT", ...
    long baud = 115200;  // bit/s
    bool reconnect = false;
    bool help = false;  // --help or -h: print Usage() and stop
};

// What --help prints: the server's own options and the Tango options it
// passes on.
const char* Usage();

// The options as given (the defaults otherwise).
const Options& CommandLineOptions();

// Removes --port P, --port=P, --baud B, --baud=B, --reconnect and --help from argv
// and keeps their values; argc shrinks accordingly. Throws
// std::invalid_argument for a value missing or not a number.
void TakeOptions(int& argc, char** argv);

}  // namespace veltor::tango
