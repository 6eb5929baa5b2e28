// veltor-sim: serves a simulated instrument on a pseudo-terminal.
//
//   veltor-sim [--pace] [--verbose] [--delay CH:COUNTS]... [--ref HZ]
//
// Prints the path of the terminal's slave side on one line and serves until
// SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: veltor-sim [--pace] [--verbose] [--delay CH:COUNTS]... [--ref HZ]\n"
                 "  --pace             write at the line speed the host set (10 bits per byte)\n"
                 "  --verbose          print every request and answer in hex on stderr\n"
                 "  --delay CH:COUNTS  delay a query of channel CH (A-H or 0-7) answers\n"
                 "  --ref HZ           reference clock for clock sources 2 and 3\n");
}

// "C:4000" or "2:4000".
bool ParseDelay(const char* text, int* channel, uint32_t* counts) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr || colon - text != 1) {
        return false;
    }
    const char c = text[0];
    if (c >= 'A' && c <= 'H') {
        *channel = c - 'A';
    } else if (c >= 'a' && c <= 'h') {
        *channel = c - 'a';
    } else if (c >= '0' && c <= '7') {
        *channel = c - '0';
    } else {
        return false;
    }
    char* end = nullptr;
    const unsigned long long v = std::strtoull(colon + 1, &end, 0);
    if (end == colon + 1 || *end != '\0' || v > 0xFFFFFFFFull) {
        return false;
    }
    *counts = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool pace = false;
    bool verbose = false;
    double refHz = 0.0;
    struct Delay {
        int channel;
        uint32_t counts;
    };
    std::vector<Delay> delays;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pace") {
            pace = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--delay" && i + 1 < argc) {
            Delay d{};
            if (!ParseDelay(argv[++i], &d.channel, &d.counts)) {
                Usage();
                return 2;
            }
            delays.push_back(d);
        } else if (arg == "--ref" && i + 1 < argc) {
            refHz = std::strtod(argv[++i], nullptr);
            if (!(refHz > 0.0)) {
                Usage();
                return 2;
            }
        } else {
            Usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }

    // Block the stop signals before the serving thread exists, so that it
    // inherits the mask and only sigwait below sees them.
    // A shell starts background jobs with SIGINT ignored, and an ignored
    // signal never reaches sigwait: take the default back first.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        vsim::Simulator sim;
        sim.SetPacing(pace);
        sim.SetVerbose(verbose);
        if (refHz > 0.0) {
            sim.SetReferenceHz(refHz);
        }
        for (const Delay& d : delays) {
            sim.SetChannelDelay(d.channel, d.counts);
        }
        std::printf("%s\n", sim.SlavePath().c_str());
        std::fflush(stdout);

        int sig = 0;
        sigwait(&stopSignals, &sig);
        if (verbose) {
            std::fprintf(stderr, "veltor-sim: stopping on signal %d\n", sig);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veltor-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
