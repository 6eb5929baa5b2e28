// veltor-sim: serves a simulated instrument on a pseudo-terminal.
//
//   veltor-sim [--pace] [--verbose] [--delay CH:COUNTS]... [--ref HZ]
//              [--reports CH:INTERVAL_MS[:FIRST]]
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
                 "Usage: veltor-sim [OPTION]...\n"
                 "Serves the simulated Veltor on a pseudo-terminal: prints the path of its\n"
                 "slave side, then answers on it until interrupted.\n"
                 "\n"
                 "  --pace             write and read at the line speed the host set\n"
                 "                     (10 bits per byte), like a real line\n"
                 "  --verbose          print every request and answer in hex on stderr\n"
                 "  --delay CH:COUNTS  delay a query of channel CH (A-H or 0-7) answers\n"
                 "  --ref HZ           reference clock for clock sources 2 and 3\n"
                 "  --reports CH:INTERVAL_MS[:FIRST]\n"
                 "                     send an unasked delay report of channel CH (A-H,\n"
                 "                     0-7, or * for A..H in turn) every INTERVAL_MS, with\n"
                 "                     counts FIRST (default 0), FIRST+1, ...\n");
}

bool ParseChannel(char c, int* channel) {
    if (c >= 'A' && c <= 'H') {
        *channel = c - 'A';
    } else if (c >= 'a' && c <= 'h') {
        *channel = c - 'a';
    } else if (c >= '0' && c <= '7') {
        *channel = c - '0';
    } else {
        return false;
    }
    return true;
}

bool ParseCounts(const char* text, const char* stop, uint32_t* counts) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (end == text || *end != *stop || v > 0xFFFFFFFFull || text[0] == '-') {
        return false;
    }
    *counts = static_cast<uint32_t>(v);
    return true;
}

// "C:4000" or "2:4000".
bool ParseDelay(const char* text, int* channel, uint32_t* counts) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr || colon - text != 1) {
        return false;
    }
    return ParseChannel(text[0], channel) && ParseCounts(colon + 1, "", counts);
}

struct Reports {
    bool on = false;
    int channel = 0;  // -1: A..H in turn
    uint32_t intervalMs = 0;
    uint32_t first = 0;
};

// "B:100", "*:20" or "1:100:5000".
bool ParseReports(const char* text, Reports* r) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr || colon - text != 1) {
        return false;
    }
    if (text[0] == '*') {
        r->channel = -1;
    } else if (!ParseChannel(text[0], &r->channel)) {
        return false;
    }
    const char* second = std::strchr(colon + 1, ':');
    if (!ParseCounts(colon + 1, second != nullptr ? ":" : "", &r->intervalMs) ||
        r->intervalMs > 1000000u) {
        return false;
    }
    if (second != nullptr && !ParseCounts(second + 1, "", &r->first)) {
        return false;
    }
    r->on = true;
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
    Reports reports;
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
        } else if (arg == "--reports" && i + 1 < argc) {
            if (!ParseReports(argv[++i], &reports)) {
                Usage();
                return 2;
            }
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
        sim.SetReadPacing(pace);
        sim.SetVerbose(verbose);
        if (refHz > 0.0) {
            sim.SetReferenceHz(refHz);
        }
        for (const Delay& d : delays) {
            sim.SetChannelDelay(d.channel, d.counts);
        }
        std::printf("%s\n", sim.SlavePath().c_str());
        std::fflush(stdout);
        if (reports.on) {
            sim.StartReportStream(reports.channel, reports.first,
                                  static_cast<int>(reports.intervalMs * 1000));
        }

        int sig = 0;
        sigwait(&stopSignals, &sig);
        const size_t streamed = sim.StopReportStream();
        if (verbose) {
            std::fprintf(stderr, "veltor-sim: stopping on signal %d", sig);
            if (reports.on) {
                std::fprintf(stderr, " after %zu reports", streamed);
            }
            std::fprintf(stderr, "\n");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veltor-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
