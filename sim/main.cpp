// veltor-sim: serves a simulated instrument on a pseudo-terminal.
//
//   veltor-sim [--pace] [--verbose] [--delay CH:COUNTS]... [--ref HZ]
//              [--reports CH:INTERVAL_MS[:FIRST]]
//
// Prints the path of the terminal's slave side on one line and serves until
// SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cmath>
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

// A whole number from 0 to `largest`, digits only, ended by `stop` (a colon
// or the end); after it *rest points past the stop.
bool ParseWhole(const char* text, char stop, unsigned long long largest, uint32_t* value,
                const char** rest) {
    const char* at = text;
    unsigned long long v = 0;
    while (*at >= '0' && *at <= '9') {
        v = v * 10 + static_cast<unsigned>(*at - '0');
        if (v > largest) {
            return false;
        }
        ++at;
    }
    if (at == text || *at != stop) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    *rest = stop == '\0' ? at : at + 1;
    return true;
}

// A refused value: what is wrong, with the option, the part and its range.
int Refuse(const std::string& option, const std::string& part, const std::string& range,
           const char* text) {
    std::fprintf(stderr, "veltor-sim: %s: %s: %s; got \"%s\" (--help shows the usage)\n",
                 option.c_str(), part.c_str(), range.c_str(), text);
    return 2;
}

const unsigned long long kMostCounts = 0xFFFFFFFFull;
// The longest report interval: its microseconds fit an int.
const unsigned long long kLongestIntervalMs = 1000000;

// "C:4000" or "2:4000"; 0 or the exit status of a refusal.
int ParseDelay(const char* text, int* channel, uint32_t* counts) {
    const char* rest = nullptr;
    if (text[0] == '\0' || text[1] != ':' || !ParseChannel(text[0], channel)) {
        return Refuse("--delay", "CH", "A to H or 0 to 7, then a colon", text);
    }
    if (!ParseWhole(text + 2, '\0', kMostCounts, counts, &rest)) {
        return Refuse("--delay", "COUNTS", "a whole number from 0 to 4294967295", text);
    }
    return 0;
}

struct Reports {
    bool on = false;
    int channel = 0;  // -1: A..H in turn
    uint32_t intervalMs = 0;
    uint32_t first = 0;
};

// "B:100", "*:20" or "1:100:5000"; 0 or the exit status of a refusal.
int ParseReports(const char* text, Reports* r) {
    bool channel = true;
    if (text[0] == '*') {
        r->channel = -1;
    } else {
        channel = ParseChannel(text[0], &r->channel);
    }
    if (!channel || text[1] != ':') {
        return Refuse("--reports", "CH", "A to H, 0 to 7 or *, then a colon", text);
    }
    const char* rest = nullptr;
    const bool withFirst = std::strchr(text + 2, ':') != nullptr;
    if (!ParseWhole(text + 2, withFirst ? ':' : '\0', kLongestIntervalMs, &r->intervalMs, &rest)) {
        return Refuse("--reports", "INTERVAL_MS", "a whole number from 0 to 1000000", text);
    }
    if (withFirst && !ParseWhole(rest, '\0', kMostCounts, &r->first, &rest)) {
        return Refuse("--reports", "FIRST", "a whole number from 0 to 4294967295", text);
    }
    r->on = true;
    return 0;
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
            if (const int refused = ParseDelay(argv[++i], &d.channel, &d.counts)) {
                return refused;
            }
            delays.push_back(d);
        } else if (arg == "--reports" && i + 1 < argc) {
            if (const int refused = ParseReports(argv[++i], &reports)) {
                return refused;
            }
        } else if (arg == "--ref" && i + 1 < argc) {
            char* end = nullptr;
            refHz = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(refHz > 0.0) || !std::isfinite(refHz)) {
                return Refuse("--ref", "HZ", "a frequency in Hz above 0", argv[i]);
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
