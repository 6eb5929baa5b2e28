// The cancel soak: commands on one thread, CancelCommand at random moments
// on another, while the simulated instrument answers most requests late and
// byte by byte. A command that returns true must have been carried out by
// then, and a query that returns true must carry the delay the instrument
// holds at that moment, never the answer to an earlier, cancelled request.
//
//   veltor_cancel_soak [ITERATIONS] [SEED] [LATE_PERCENT]
//
// Prints one summary line; exits non-zero when any true result was stale.
#include <veltor/veltor.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "sim/Simulator.h"

namespace {

// Cancels whatever command runs, after a random 0 to 12 ms, again and
// again until it is destroyed.
class Canceller {
public:
    Canceller(CVeltor& device, unsigned seed)
        : m_Device(device), m_Random(seed), m_Thread([this] { Run(); }) {}
    ~Canceller() {
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_bStop = true;
        }
        m_Changed.notify_all();
        m_Thread.join();
    }

private:
    void Run() {
        std::uniform_int_distribution<int> afterUs(0, 12000);
        std::unique_lock<std::mutex> hold(m_Mutex);
        while (!m_bStop) {
            const auto at =
                std::chrono::steady_clock::now() + std::chrono::microseconds(afterUs(m_Random));
            if (!m_Changed.wait_until(hold, at, [this] { return m_bStop; })) {
                m_Device.CancelCommand();
            }
        }
    }

    CVeltor& m_Device;
    std::mt19937 m_Random;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_bStop = false;
    std::thread m_Thread;
};

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 3000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    const int latePercent = argc > 3 ? std::atoi(argv[3]) : 60;

    vsim::Simulator sim;
    vsim::Fault late;
    late.kind = vsim::FaultKind::Split;
    late.delayMs = 8;
    late.chunk = 1;
    late.gapMs = 1;
    sim.SetFaultRate(late, latePercent / 100.0, seed);

    CVeltor device;
    if (device.InitConnection(sim.SlavePath().c_str(), CSerDev::kBaud115200) != 0) {
        std::fprintf(stderr, "cannot connect: %s\n", device.GetLastError().c_str());
        return 2;
    }
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> channelOf(0, 7);
    std::uniform_int_distribution<int> kindOf(0, 3);

    int done = 0;
    int cancelled = 0;
    int failed = 0;
    int stale = 0;
    {
        Canceller canceller(device, seed + 1);
        for (int i = 0; i < iterations; ++i) {
            const int index = channelOf(rng);
            CChannel* channel = device.GetChannel(static_cast<char>('A' + index));
            // A value no earlier iteration set, so that a stale answer shows.
            const uint32_t counts = 1000 + static_cast<uint32_t>(i);
            sim.SetChannelDelay(index, counts);
            const int kind = kindOf(rng);
            bool ok = false;
            bool right = true;
            if (kind < 2) {
                ok = channel->CmdQuery();
                right = static_cast<uint32_t>(channel->GetLastDelay() * 2e8 + 0.5) == counts;
            } else {
                const bool enable = kind == 2;
                ok = enable ? channel->CmdEnable() : channel->CmdDisable();
                right = sim.State().ch[index].enabled == enable;
            }
            const CSerDev::Outcome outcome = device.GetLastOutcome();
            if (ok) {
                ++done;
                if (!right) {
                    ++stale;
                    std::fprintf(stderr, "iteration %d: channel %c: %s returned true stale\n", i,
                                 'A' + index, kind < 2 ? "query" : "enable/disable");
                }
            } else if (outcome == CSerDev::kCancelled) {
                ++cancelled;
            } else {
                ++failed;
            }
        }
    }
    std::printf(
        "cancel soak: seed %u, %d%% late: %d done, %d cancelled, %d failed otherwise, "
        "%d stale true\n",
        seed, latePercent, done, cancelled, failed, stale);
    return stale == 0 ? 0 : 1;
}
