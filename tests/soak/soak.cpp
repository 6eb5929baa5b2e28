// The soak: many exchanges with the simulated instrument over a real
// pseudo-terminal while it injects every kind of line fault and talks
// unasked, checking that every call keeps its promises.
//
//   veltor_soak [EXCHANGES] [SEED]
//
// Prints one summary line; exits non-zero when any check failed:
// a call that took longer than its attempts allow, a command reported done
// that the instrument never carried out, a query that returned another
// delay than the one asked for, a report that never arrived (sent while
// idle or glued to an answer), or memory that kept growing.
#include <veltor/veltor.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
typedef std::vector<uint8_t> Bytes;

// Short waits keep the faults cheap; the exchange is the library's own.
const int kTimeoutMs = 50;
const int kTries = 5;

class SoakDevice : public CVeltor {
public:
    ~SoakDevice() override { CloseConnection(); }  // before received_ is gone
    void HandleUnsolicited(unsigned char* bytes, unsigned long count) override {
        CVeltor::HandleUnsolicited(bytes, count);
        std::lock_guard<std::mutex> lock(mutex_);
        received_.insert(received_.end(), bytes, bytes + count);
    }
    // The counts of every eight bytes handed over so far that read as a
    // report, wherever they stand: a cut-off report before a real one can
    // read as one too, and must not hide the real one from this count.
    std::vector<uint32_t> ReportCounts() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<uint32_t> counts;
        for (size_t i = 0; i + 8 <= received_.size(); ++i) {
            const uint8_t* r = &received_[i];
            unsigned sum = 0;
            for (int k = 1; k < 8; ++k) {
                sum += r[k];
            }
            if (r[0] == 0x51 && r[1] == 6 && r[2] < 8 && (sum & 0xFF) == 0) {
                counts.push_back(r[3] | r[4] << 8 | r[5] << 16 | static_cast<uint32_t>(r[6]) << 24);
            }
        }
        return counts;
    }

private:
    std::mutex mutex_;
    Bytes received_;
};

long RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// `channel` is the channel the request is about: a replaced answer names
// another one, as a late answer to another query would.
vsim::Fault RandomFault(std::mt19937& rng, uint32_t reportCounts, int channel) {
    using vsim::FaultKind;
    static const FaultKind kinds[] = {
        FaultKind::NoAnswer, FaultKind::Negative,   FaultKind::BadChecksum, FaultKind::Split,
        FaultKind::Delay,    FaultKind::HeaderOnly, FaultKind::WrongLead,   FaultKind::ReportFirst,
        FaultKind::Noise,    FaultKind::Late,       FaultKind::ReportAfter, FaultKind::CutReport,
        FaultKind::Replace,
    };
    vsim::Fault fault;
    fault.kind = kinds[rng() % (sizeof(kinds) / sizeof(kinds[0]))];
    switch (fault.kind) {
        case FaultKind::Delay:
            fault.delayMs = rng() % 2 ? kTimeoutMs / 2 : kTimeoutMs + 30;  // in time, or late
            break;
        case FaultKind::Split:
            fault.chunk = 1 + rng() % 3;
            fault.gapMs = 1;
            break;
        case FaultKind::ReportFirst:
        case FaultKind::ReportAfter:
            fault.reportChannel = static_cast<int>(rng() % 8);
            fault.reportCounts = reportCounts;
            break;
        case FaultKind::CutReport:
            fault.cut = 2 + rng() % 5;
            break;
        case FaultKind::Replace:
            fault.replacement = {0xAA, 0x06, static_cast<uint8_t>((channel + 1) % 8), 1, 2, 3, 4};
            fault.replacement.push_back(
                static_cast<uint8_t>(0 - (0x06 + fault.replacement[2] + 1 + 2 + 3 + 4)));
            break;
        default:
            break;
    }
    return fault;
}

}  // namespace

int main(int argc, char** argv) {
    const long exchanges = argc > 1 ? std::atol(argv[1]) : 100000;
    const uint32_t seed = argc > 2 ? static_cast<uint32_t>(std::atol(argv[2])) : 20261207u;
    std::mt19937 rng(seed);

    vsim::Simulator sim;
    SoakDevice device;
    if (device.InitConnection(sim.SlavePath().c_str(), 6) != 0) {
        std::printf("soak: cannot connect to the simulated instrument\n");
        return 1;
    }
    sim.WaitForRawBytes(1024, 5000);

    long faults = 0, wrong = 0, unowned = 0, overTime = 0, failed = 0;  // failed: gave up
    long firedTwice = 0;  // forced triggers carried out more than once by one call
    // Report counts stay clear of the query delays: a wrong lead byte 0x51
    // on a query's answer makes a valid report of its own.
    uint32_t nextReport = 0x80000000u;
    std::vector<uint32_t> reports;  // every whole report sent, in order
    // Where each report went out, to tell about a lost one: the exchange and
    // the faults of that exchange and the one before.
    std::vector<std::string> sentAt;
    const char* lastFault = "none";
    const char* thisFault = "none";
    long long maxCallMs = 0;
    long rssEarly = 0;
    const Clock::time_point begin = Clock::now();
    // A call may wait for an earlier request's late answer once and send
    // queries to get back in step, then try its attempts, each with its time
    // plus the line's and a report's grace. The bound finds a call that
    // hangs, so it leaves seconds for a loaded machine's stalls on top.
    const auto bound = std::chrono::milliseconds(
        (kTries + 1 + CSerDev::kStepQueries) * (kTimeoutMs + 25) + 200 + 5000);

    for (long i = 0; i < exchanges; ++i) {
        if (i == exchanges / 10) {
            rssEarly = RssKb();
        }
        // Now and then the instrument reports while the host is idle.
        if (rng() % 20 == 0) {
            const uint32_t counts = nextReport++;
            reports.push_back(counts);
            sentAt.push_back("idle before exchange " + std::to_string(i) + " (after " + lastFault +
                             ")");
            sim.SendDelayReport(static_cast<int>(rng() % 8), counts);
        }
        const int channel = static_cast<int>(rng() % 8);
        const bool query = rng() % 2 == 0;
        const uint32_t delay = static_cast<uint32_t>(i) * 8 + channel;
        Bytes payload;
        if (query) {
            sim.SetChannelDelay(channel, delay);
            payload = {static_cast<uint8_t>(0x40 + channel), 0x0B, 0x00};
        } else {
            payload = {static_cast<uint8_t>(0x88 + channel), 0x0C, 0x00};  // force a trigger
        }
        sim.ClearLog();
        lastFault = thisFault;
        thisFault = "none";
        if (rng() % 10 == 0) {
            ++faults;
            vsim::Fault fault = RandomFault(rng, nextReport, channel);
            if (fault.reportCounts) {
                // Glued to the answer: the request is carried out, so the
                // report goes out too.
                reports.push_back(nextReport++);
                sentAt.push_back(std::string("glued to exchange ") + std::to_string(i) + " (" +
                                 vsim::FaultName(fault.kind) + ", after " + lastFault + ")");
            }
            sim.QueueFault(fault);
            thisFault = vsim::FaultName(fault.kind);
        }
        CCommand command(0xD8, payload.data(), static_cast<int>(payload.size()), nullptr, 0,
                         kTimeoutMs, kTries);
        const uint32_t firedBefore = query ? 0 : sim.State().ch[channel].triggerCount;
        const Clock::time_point start = Clock::now();
        // A forced trigger fires the channel: at most once per call.
        const bool ok =
            query ? device.DoCommand(&command) : device.DoCommandOnce(&command, "the trigger");
        const auto took = Clock::now() - start;
        if (!query && sim.State().ch[channel].triggerCount - firedBefore > 1) {
            ++firedTwice;
        }
        maxCallMs = std::max<long long>(
            maxCallMs, std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
        if (took > bound) {
            ++overTime;
        }
        if (!ok) {
            ++failed;
            continue;
        }
        // A command reported done was carried out by the instrument.
        bool carried = false;
        for (const vsim::Frame& f : sim.Frames()) {
            carried = carried ||
                      (f.valid && f.payload == payload && f.fault != vsim::FaultKind::NoAnswer &&
                       f.fault != vsim::FaultKind::Negative);
        }
        unowned += carried ? 0 : 1;
        if (query) {
            const uint8_t* r = command.m_Response;
            const uint32_t got = r[3] | r[4] << 8 | r[5] << 16 | static_cast<uint32_t>(r[6]) << 24;
            if (got != delay || r[2] != channel) {
                if (++wrong <= 5) {
                    std::fprintf(stderr,
                                 "soak: exchange %ld: query of %c gave %u (channel %u), "
                                 "not %u; faults:",
                                 i, 'A' + channel, got, r[2], delay);
                    for (const vsim::Frame& f : sim.Frames()) {
                        std::fprintf(stderr, " %s", vsim::FaultName(f.fault));
                    }
                    std::fprintf(stderr, "\n");
                }
            }
        }
    }

    // Every report sent, while idle or glued to an answer, arrives.
    const uint32_t marker = nextReport++;
    reports.push_back(marker);
    sim.SendDelayReport(0, marker);
    std::vector<uint32_t> delivered;
    for (int wait = 0; wait < 200; ++wait) {
        delivered = device.ReportCounts();
        if (std::find(delivered.begin(), delivered.end(), marker) != delivered.end()) {
            break;
        }
        sim.WaitForFrames(1u << 30, 10);  // a bounded pause for the watcher
    }
    // Their order is checked by the end-to-end tests (a fault meant for a
    // request may meet a retry of the one before, so that its report goes
    // out before an idle one sent later).
    std::sort(delivered.begin(), delivered.end());
    size_t found = 0;
    for (size_t k = 0; k < reports.size(); ++k) {
        if (std::binary_search(delivered.begin(), delivered.end(), reports[k])) {
            ++found;
        } else if (k < sentAt.size() && k - found < 5) {
            std::fprintf(stderr, "soak: report %zu lost, sent %s\n", k, sentAt[k].c_str());
        }
    }
    // And the gatherer behind the handler took them: one last report per
    // channel is each channel's last delay.
    bool gathered = true;
    for (int ch = 0; ch < 8; ++ch) {
        const uint32_t counts = nextReport++;
        sim.SendDelayReport(ch, counts);
        reports.push_back(counts);
        ++found;
        CChannel* channel = device.GetChannel(static_cast<char>('A' + ch));
        for (int wait = 0; wait < 200 && channel->GetLastDelay() * 200e6 != counts; ++wait) {
            sim.WaitForFrames(1u << 30, 10);
        }
        if (channel->GetLastDelay() * 200e6 != counts) {
            gathered = false;
            --found;
            std::fprintf(stderr, "soak: channel %c's last delay is not its last report\n",
                         'A' + ch);
        }
    }
    const long lost = static_cast<long>(reports.size() - found);
    const long growthKb = rssEarly > 0 ? RssKb() - rssEarly : 0;
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const bool good = wrong == 0 && unowned == 0 && firedTwice == 0 && overTime == 0 && lost == 0 &&
                      gathered && growthKb < 8 * 1024;
    std::printf(
        "soak: %ld exchanges, %ld faults, %ld gave up, %ld wrong values, %ld done "
        "without being carried out, %ld triggers fired twice by one call, %ld over time "
        "(longest %lld ms), %zu/%zu reports, memory %+ld KB, %.1f s: %s\n",
        exchanges, faults, failed, wrong, unowned, firedTwice, overTime, maxCallMs, found,
        reports.size(), growthKb, seconds, good ? "ok" : "FAILED");
    return good ? 0 : 1;
}
