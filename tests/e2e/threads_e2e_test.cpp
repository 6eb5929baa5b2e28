// Many threads, many devices: commands from any thread, devices made and
// dropped beside others, closing from another thread, and the report
// listener. Run under ThreadSanitizer and AddressSanitizer too.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

uint32_t DelayOf(int channel, int round) {
    return static_cast<uint32_t>(1000 * (channel + 1) + round);
}

// The channel holds the delay in counts (at the default 200 MHz clock).
bool Holds(CChannel* channel, uint32_t counts) {
    return std::llround(channel->GetLastDelay() * 200e6) == counts;
}

// A command that failed by time: on a loaded machine an answer can take
// longer than the 500 ms a command's wait allows, and the command then says
// so. That is the documented outcome, not cross-talk between threads or devices.
bool FailedByTime(CSerDev::Outcome outcome) {
    return outcome == CSerDev::kNoAnswer || outcome == CSerDev::kMismatch ||
           outcome == CSerDev::kOutOfStep;
}

// The request payloads of a timing mode (channel, 0x0F, ...) and a query
// (0x40 + channel, 0x0B, 0).
bool IsMode(const Bytes& payload, size_t channel) {
    return payload.size() > 3 && payload[1] == 0x0F && payload[0] == channel;
}
bool IsQuery(const Bytes& payload) {
    return payload.size() == 3 && payload[1] == 0x0B;
}

class OneDevice : public ::testing::TestWithParam<int> {};

TEST_P(OneDevice, EveryThreadGetsItsOwnAnswers) {
    const int threads = GetParam();
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    for (int ch = 0; ch < 8; ++ch) {
        sim.SetChannelDelay(ch, DelayOf(ch, 0));
    }
    // A true that carried another channel's answer, and a failure that time
    // cannot explain.
    std::atomic<int> wrong{0};
    std::atomic<int> faulty{0};
    std::atomic<bool> updateFailed{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            CChannel* channel = device.GetChannel(static_cast<char>('A' + t % 8));
            // Held around the call, so that the outcome read is this thread's.
            const auto run = [&](const std::function<bool()>& command) {
                CSerDev::Hold hold(device);
                const bool ok = command();
                faulty += ok || FailedByTime(device.GetLastOutcome()) ? 0 : 1;
                return ok;
            };
            for (int i = 0; i < 100; ++i) {
                if (t == 0 && i % 25 == 0) {
                    // A command of several exchanges runs whole.
                    if (!run([&] { return device.CmdSetAllTimingModes(); })) {
                        updateFailed = true;
                    }
                }
                const bool ok = run([&] { return channel->CmdQuery(); });
                wrong += ok && !Holds(channel, DelayOf(t % 8, 0)) ? 1 : 0;
            }
        });
    }
    for (std::thread& t : pool) {
        t.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(faulty, 0);
    // The eight timing modes of each update went out one after another. A
    // step whose answer came late on a loaded machine may go again, and
    // queries may then get back in step; nothing else comes between. An
    // update that failed by time ends early, and the rest is not its own.
    const std::vector<vsim::Frame> frames = sim.Frames();
    for (size_t i = 0; i < frames.size(); ++i) {
        if (!IsMode(frames[i].payload, 0)) {
            continue;
        }
        size_t next = 1;
        bool late = false;
        for (size_t j = i + 1; next < 8 && j < frames.size(); ++j) {
            const Bytes& payload = frames[j].payload;
            if (IsMode(payload, next)) {
                ++next;
            } else if (IsMode(payload, next - 1)) {
                late = true;
            } else if (!(late && IsQuery(payload))) {
                EXPECT_TRUE(updateFailed)
                    << "frame " << j << " came between the steps of an update";
                break;
            }
        }
        EXPECT_TRUE(next == 8 || updateFailed) << "the update from frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, OneDevice, ::testing::Values(2, 4, 8));

TEST(HostHold, KeepsOtherThreadsOutAndLetsItsOwnCommandsIn) {
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    ASSERT_TRUE(device.CmdDisableOutputs());  // the burst is through
    sim.ClearLog();
    std::atomic<bool> started{false};
    std::thread other;
    {
        CSerDev::Hold hold(device);
        {
            CSerDev::Hold again(device);  // the holder may take it again
        }
        // Taken twice, released once: still held.
        other = std::thread([&] {
            started = true;
            EXPECT_TRUE(device.CmdLockFP());
        });
        while (!started) {
            std::this_thread::yield();
        }
        EXPECT_FALSE(sim.WaitForFrames(1, 200)) << "a command went out under another's hold";
        // The holder's own commands take the lock once more each.
        EXPECT_TRUE(device.CmdEnableOutputs());
        EXPECT_TRUE(device.CmdDisableOutputs());
    }
    // Released: the other thread's command goes out, after them.
    other.join();
    std::vector<uint8_t> operations;
    for (const vsim::Frame& frame : sim.Frames()) {
        operations.push_back(frame.payload.at(0));
    }
    EXPECT_EQ(operations, (std::vector<uint8_t>{0x80, 0x90, 0x50}));
}

TEST(ManyDevices, SixteenDevicesAndDevicesComingAndGoing) {
    const int kDevices = 16;
    std::vector<std::unique_ptr<vsim::Simulator>> sims;
    std::vector<std::unique_ptr<CVeltor>> devices;
    for (int d = 0; d < kDevices; ++d) {
        sims.emplace_back(new vsim::Simulator);
        devices.emplace_back(new CVeltor);
        sims[d]->SetChannelDelay(d % 8, DelayOf(d % 8, d));
        ASSERT_EQ(devices[d]->InitConnection(sims[d]->SlavePath().c_str(), kBaud115200), 0);
    }
    std::atomic<bool> done{false};
    // A true that carried another device's answer.
    std::atomic<int> wrong{0};
    // A failure that time cannot explain.
    std::atomic<int> faulty{0};
    std::atomic<int> late{0};
    // Devices made and dropped on four threads while the others work on
    // the default mode.
    std::vector<std::thread> churn;
    for (int t = 0; t < 4; ++t) {
        churn.emplace_back([&] {
            while (!done) {
                CVeltor passing;
                faulty += passing.GetChannel('B')->CheckParameters() ? 0 : 1;
            }
        });
    }
    std::vector<std::thread> pool;
    for (int d = 0; d < kDevices; ++d) {
        pool.emplace_back([&, d] {
            CVeltor& device = *devices[d];
            CChannel* channel = device.GetChannel(static_cast<char>('A' + d % 8));
            const auto judge = [&](bool ok) {
                if (!ok) {
                    (FailedByTime(device.GetLastOutcome()) ? late : faulty) += 1;
                }
            };
            // A few seconds of traffic on every line at once.
            const Clock::time_point end = Clock::now() + std::chrono::seconds(2);
            while (Clock::now() < end) {
                judge(channel->CmdSetTimingMode());  // on the default mode
                const bool ok = channel->CmdQuery();
                judge(ok);
                wrong += ok && !Holds(channel, DelayOf(d % 8, d)) ? 1 : 0;
            }
        });
    }
    for (std::thread& t : pool) {
        t.join();
    }
    done = true;
    for (std::thread& t : churn) {
        t.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(faulty, 0);
    // However many failed by time under load, every device is in step
    // with its own instrument afterwards.
    for (int d = 0; d < kDevices; ++d) {
        CChannel* channel = devices[d]->GetChannel(static_cast<char>('A' + d % 8));
        bool ok = channel->CmdQuery();
        for (int again = 0; !ok && again < 3 && FailedByTime(devices[d]->GetLastOutcome());
             ++again) {
            ok = channel->CmdQuery();
        }
        EXPECT_TRUE(ok) << "device " << d << ": " << devices[d]->GetLastError();
        EXPECT_TRUE(Holds(channel, DelayOf(d % 8, d))) << "device " << d;
    }
    if (late > 0) {
        std::printf("%d commands failed by time on this machine\n", late.load());
    }
    devices.clear();  // a clean shutdown of all sixteen
}

enum class Ending { Close, Destroy, Cancel };

struct CloseCase {
    const char* name;
    Ending ending;
};

class CloseFromAnotherThread : public ::testing::TestWithParam<CloseCase> {};

// Closing, destroying or cancelling from another thread ends a command that
// waits for an answer at once; a cancelled device stays connected and in
// step for the next command.
TEST_P(CloseFromAnotherThread, EndsTheCommandInProgress) {
    vsim::Simulator sim;
    std::unique_ptr<CVeltor> device(new CVeltor);
    ASSERT_NO_FATAL_FAILURE(ConnectPastTheBurst(sim, *device));
    sim.QueueFaults(Make(vsim::FaultKind::NoAnswer), 5);
    std::atomic<int> outcome{-1};
    Clock::time_point returned;
    // A destroyed device is not touched again once its command returned.
    const Ending ending = GetParam().ending;
    std::thread command([&returned, &outcome, ending, d = device.get()] {
        // Implementing the logic allows 10 s per attempt.
        const bool ok = d->CmdImplementLogic();
        returned = Clock::now();
        outcome = ok ? -2 : ending == Ending::Destroy ? -1 : d->GetLastOutcome();
    });
    ASSERT_TRUE(sim.WaitForFrames(1, 5000));
    const Clock::time_point start = Clock::now();
    switch (ending) {
        case Ending::Destroy:
            device.reset();  // waits for the command to return
            break;
        case Ending::Close:
            device->CloseConnection();
            EXPECT_FALSE(device->IsConnected());
            break;
        case Ending::Cancel:
            device->CancelCommand();
            break;
    }
    command.join();
    // Well within the attempt's own 10 s: the ending cut the wait short,
    // however slowly a loaded machine ran the threads.
    EXPECT_LT(returned - start, std::chrono::seconds(5));
    EXPECT_NE(outcome, -2);  // the command failed
    if (ending != Ending::Destroy) {
        EXPECT_EQ(outcome, ending == Ending::Close ? CSerDev::kClosed : CSerDev::kCancelled);
        EXPECT_EQ(sim.FrameCount(), 1u);
    }
    if (ending == Ending::Cancel) {
        sim.ClearFaults();
        EXPECT_TRUE(device->IsConnected());
        EXPECT_TRUE(device->CmdEnableOutputs()) << device->GetLastError();
        EXPECT_TRUE(sim.State().outputsEnabled);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, CloseFromAnotherThread,
                         ::testing::Values(CloseCase{"close", Ending::Close},
                                           CloseCase{"destroy", Ending::Destroy},
                                           CloseCase{"cancel", Ending::Cancel}),
                         ByName());

// A cancelled update sends none of its later steps.
TEST(Cancel, EndsEveryStepOfTheCommand) {
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_NO_FATAL_FAILURE(ConnectPastTheBurst(sim, device));
    vsim::Fault silent = Make(vsim::FaultKind::NoAnswer);
    // The update's third request (loading channel A's logic) goes unanswered.
    sim.QueueFault(Make(vsim::FaultKind::None));
    sim.QueueFault(Make(vsim::FaultKind::None));
    sim.QueueFaults(silent, 5);
    std::thread update([&device] { EXPECT_FALSE(device.CmdUpdateAll()); });
    ASSERT_TRUE(sim.WaitForFrames(3, 5000));
    device.CancelCommand();
    update.join();
    EXPECT_EQ(device.GetLastOutcome(), CSerDev::kCancelled);
    EXPECT_EQ(sim.FrameCount(), 3u);
}

TEST(Listener, EveryReportOutsideTheLibrarysLocks) {
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    // The listener takes a mutex that a commanding thread holds throughout.
    std::mutex host;
    std::mutex seenLock;
    std::vector<std::pair<char, uint32_t>> seen;
    std::vector<double> seconds;
    device.SetReportListener([&](char channel, unsigned int counts, double s, long long) {
        std::lock_guard<std::mutex> hold(host);
        std::lock_guard<std::mutex> keep(seenLock);
        seen.push_back({channel, counts});
        seconds.push_back(s);
    });
    sim.StartReportStream(-1, 1, 200);
    {
        std::lock_guard<std::mutex> hold(host);
        for (int i = 0; i < 300; ++i) {
            ASSERT_TRUE(device.CmdEnableOutputs()) << i;
        }
    }
    const size_t sent = sim.StopReportStream();
    ASSERT_GT(sent, 0u);
    for (int wait = 0; wait < 500; ++wait) {
        {
            std::lock_guard<std::mutex> keep(seenLock);
            if (seen.size() >= sent) {
                break;
            }
        }
        sim.WaitForFrames(1u << 30, 10);  // a bounded pause for the listener
    }
    device.SetReportListener(nullptr);
    ASSERT_EQ(seen.size(), sent);
    unsigned long counted = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i].first, 'A' + static_cast<int>(i % 8)) << i;
        ASSERT_EQ(seen[i].second, i + 1) << i;
        ASSERT_DOUBLE_EQ(seconds[i], (i + 1) / 200e6) << i;
    }
    for (char ch = 'A'; ch <= 'H'; ++ch) {
        counted += device.GetChannel(ch)->GetReportCount();
    }
    EXPECT_EQ(counted, sent);
}

// A listener slower than the reports: the queue waiting for it stays at its
// limit, the oldest waiting reports give way and are counted, and the
// listener then sees the newest, in order.
TEST(Listener, ASlowListenerLosesTheOldestReportsAndTheyAreCounted) {
    vsim::Simulator sim;
    TestDevice device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    std::mutex host;
    std::mutex seenLock;
    std::vector<uint32_t> seen;
    device.SetReportListener([&](char, unsigned int counts, double, long long) {
        std::lock_guard<std::mutex> hold(host);
        std::lock_guard<std::mutex> keep(seenLock);
        seen.push_back(counts);
    });
    const uint32_t sent = CVeltor::kReportQueueLimit + 900;
    Bytes reports;
    for (uint32_t i = 1; i <= sent; ++i) {
        const Bytes r = Report(static_cast<int>(i % 8), i);
        reports.insert(reports.end(), r.begin(), r.end());
    }
    {
        std::unique_lock<std::mutex> hold(host);
        sim.SendBytes(reports);
        ASSERT_TRUE(device.WaitForUnsolicited(reports.size(), 20000));
    }
    const unsigned long long dropped = device.GetDroppedReportCount();
    EXPECT_GE(dropped, sent - CVeltor::kReportQueueLimit - 1);
    for (int wait = 0; wait < 2000; ++wait) {
        std::lock_guard<std::mutex> keep(seenLock);
        if (!seen.empty() && seen.back() == sent) {
            break;
        }
        sim.WaitForFrames(1u << 30, 5);  // a bounded pause for the listener
    }
    device.SetReportListener(nullptr);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.size() + dropped, sent);
    EXPECT_EQ(seen.back(), sent);
    // After the first call, which held the others up, the newest in order.
    for (size_t i = 2; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], seen[i - 1] + 1) << i;
    }
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// Runs `work` on its own thread until the end of the stress.
class Stress {
public:
    void Run(std::function<void()> work) {
        m_Threads.emplace_back([this, work] {
            while (!m_bStop) {
                work();
            }
        });
    }
    void StopAfter(std::chrono::milliseconds length) {
        std::this_thread::sleep_for(length);  // the length of the stress itself
        m_bStop = true;
        for (std::thread& thread : m_Threads) {
            thread.join();
        }
    }

private:
    std::atomic<bool> m_bStop{false};
    std::vector<std::thread> m_Threads;
};

// Commands on two threads, cancels, closing and opening again, readings of
// the last delay, listeners set, the general properties and the class-wide
// default changed as documented: under ThreadSanitizer, no data race.
TEST(Races, CommandsCancelsReopeningAndSharedSettings) {
    vsim::Simulator sim;
    sim.StartReportStream(-1, 1, 2000);
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    const std::string port = sim.SlavePath();
    CTimingMode* const devicesDefault = CChannel::SetDefaultTimingMode(nullptr);
    CChannel::SetDefaultTimingMode(devicesDefault);
    Stress stress;
    stress.Run([&] { device.CmdEnableOutputs(); });
    stress.Run([&] { device.GetChannel('B')->CmdSetTimingMode(); });
    stress.Run([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
        device.CancelCommand();
    });
    stress.Run([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        device.CloseConnection();
        device.InitConnection(port.c_str(), kBaud115200);
    });
    stress.Run([&] {
        volatile double seconds = device.GetChannel('C')->GetLastDelay();
        (void)seconds;
        device.SetReportListener([](char, unsigned int, double, long long) {});
    });
    stress.Run([&] {
        CSerDev::Hold hold(device);
        device.GetPropA()->nClockCD = device.GetPropA()->nClockCD == 0 ? 1 : 0;
    });
    // A host installs a default of its own and deletes the one it replaced,
    // as documented, while channels without a mode use the default.
    stress.Run([&] {
        CTimingMode* old = CChannel::SetDefaultTimingMode(new CNull);
        if (old != devicesDefault) {
            delete old;
        }
    });
    stress.StopAfter(std::chrono::milliseconds(1500));
    delete CChannel::SetDefaultTimingMode(devicesDefault);
    device.SetReportListener(nullptr);
    sim.StopReportStream();
}

// The threads of this process, and how often one has been switched out.
std::set<long> ThreadIds() {
    std::set<long> ids;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.') {
                ids.insert(std::atol(entry->d_name));
            }
        }
        closedir(tasks);
    }
    return ids;
}
long ContextSwitches(long thread) {
    std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
    long total = 0;
    std::string line;
    while (std::getline(status, line)) {
        if (line.find("ctxt_switches:") != std::string::npos) {
            total += std::atol(line.substr(line.find(':') + 1).c_str());
        }
    }
    return total;
}

// While an attempt owns the port the watcher sleeps in the kernel until the
// attempt's deadline: it is woken once, when the port is handed over, and
// never by a timer during an unanswered second.
TEST(HandOver, TheWatcherSleepsWhileAnAttemptOwnsThePort) {
    vsim::Simulator sim;
    TestDevice device;
    const std::set<long> before = ThreadIds();
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), CSerDev::kBaud115200), 0);
    std::vector<long> started;
    for (long id : ThreadIds()) {
        if (before.count(id) == 0) {
            started.push_back(id);
        }
    }
    ASSERT_EQ(started.size(), 1u) << "the device starts one thread, its watcher";
    ASSERT_TRUE(sim.WaitForRawBytes(1024, 5000));
    vsim::Fault silent;
    silent.kind = vsim::FaultKind::NoAnswer;
    sim.QueueFault(silent);
    const unsigned char payload[] = {0x41, 0x0B, 0x00};
    CCommand query(0xD8, payload, sizeof(payload), "Querying...", 0, 1000, 1);
    const long switches = ContextSwitches(started[0]);
    EXPECT_FALSE(device.SendReceive(&query));
    EXPECT_EQ(device.GetLastOutcome(), CSerDev::kNoAnswer);
    EXPECT_LE(ContextSwitches(started[0]) - switches, 2) << "the watcher woke during the attempt";
    EXPECT_TRUE(device.CmdEnableOutputs()) << device.GetLastError();
}

}  // namespace
}  // namespace e2e
