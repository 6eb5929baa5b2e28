// The report listener against holds, closing and destroying, from its own
// thread and from others: every combination the documentation allows
// returns. Run under ThreadSanitizer too.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

// A combination that does not end within this is taken for a deadlock.
const std::chrono::seconds kBound(10);

// A flag one thread raises and others wait for.
class Signal {
public:
    void Raise() {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_bRaised = true;
        m_Changed.notify_all();
    }
    bool Wait(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> hold(m_Lock);
        return m_Changed.wait_for(hold, limit, [this] { return m_bRaised; });
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    bool m_bRaised = false;
};

// Runs `body` on a thread of its own; a deadlock ends the test program with
// the case's name rather than hanging it.
void WithinBound(const std::string& name, std::function<void()> body) {
    std::packaged_task<void()> task(std::move(body));
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(kBound) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: %s did not end within %lld s\n", name.c_str(),
                     static_cast<long long>(kBound.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
    done.get();
}

enum class InListener { Command, RemoveItself, Close, Destroy };
enum class Elsewhere { Nothing, Hold, HoldAndRemove, HoldAndClose, Close, Destroy };

struct Combination {
    InListener inListener;
    Elsewhere elsewhere;
    const char* name;
};

class ListenerAgainst : public ::testing::TestWithParam<Combination> {};

TEST_P(ListenerAgainst, EveryCallReturns) {
    const Combination c = GetParam();
    WithinBound(c.name, [&c] {
        vsim::Simulator sim;
        std::unique_ptr<CVeltor> device(new CVeltor);
        ASSERT_EQ(device->InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
        CVeltor* const raw = device.get();
        // Shared with the listener: a device destroyed by its own listener
        // lets the listener's thread end by itself, after this scope.
        struct Steps {
            Signal entered;   // the listener's call has begun
            Signal go;        // the other thread has done its first step
            Signal finished;  // the listener's call has done its part
            std::atomic<bool> first{true};
        };
        const std::shared_ptr<Steps> steps = std::make_shared<Steps>();
        Signal& entered = steps->entered;
        Signal& go = steps->go;
        Signal& finished = steps->finished;
        raw->SetReportListener([steps, raw, &device, c](char, unsigned int, double, long long) {
            if (!steps->first.exchange(false)) {
                return;
            }
            steps->entered.Raise();
            steps->go.Wait();
            switch (c.inListener) {
                case InListener::Command:
                    raw->CmdEnableOutputs();
                    break;
                case InListener::RemoveItself:
                    raw->SetReportListener(nullptr);
                    break;
                case InListener::Close:
                    raw->CloseConnection();
                    break;
                case InListener::Destroy:
                    device.reset();
                    break;
            }
            steps->finished.Raise();
        });
        sim.SendDelayReport(0, 1);
        ASSERT_TRUE(entered.Wait());
        switch (c.elsewhere) {
            case Elsewhere::Nothing:
                go.Raise();
                break;
            case Elsewhere::Hold: {
                CSerDev::Hold hold(*raw);
                go.Raise();
                // Held while the listener's command waits for the lock.
                finished.Wait(std::chrono::milliseconds(50));
                break;
            }
            case Elsewhere::HoldAndRemove: {
                CSerDev::Hold hold(*raw);
                go.Raise();
                raw->SetReportListener(nullptr);
                break;
            }
            case Elsewhere::HoldAndClose: {
                CSerDev::Hold hold(*raw);
                go.Raise();
                raw->CloseConnection();
                EXPECT_FALSE(raw->IsConnected());
                break;
            }
            case Elsewhere::Close:
                go.Raise();
                raw->CloseConnection();
                break;
            case Elsewhere::Destroy:
                go.Raise();
                device.reset();  // waits for the listener's call to return
                break;
        }
        ASSERT_TRUE(finished.Wait(std::chrono::milliseconds(8000)));
        if (c.inListener != InListener::Destroy) {
            device.reset();
        }
    });
}

const Combination kCombinations[] = {
    {InListener::Command, Elsewhere::Hold, "CommandAgainstHold"},
    {InListener::Command, Elsewhere::HoldAndRemove, "CommandAgainstHoldAndRemove"},
    {InListener::Command, Elsewhere::HoldAndClose, "CommandAgainstHoldAndClose"},
    {InListener::Command, Elsewhere::Close, "CommandAgainstClose"},
    {InListener::Command, Elsewhere::Destroy, "CommandAgainstDestroy"},
    {InListener::RemoveItself, Elsewhere::Hold, "RemoveItselfAgainstHold"},
    {InListener::RemoveItself, Elsewhere::HoldAndRemove, "RemoveItselfAgainstHoldAndRemove"},
    {InListener::RemoveItself, Elsewhere::HoldAndClose, "RemoveItselfAgainstHoldAndClose"},
    {InListener::RemoveItself, Elsewhere::Close, "RemoveItselfAgainstClose"},
    {InListener::RemoveItself, Elsewhere::Destroy, "RemoveItselfAgainstDestroy"},
    {InListener::Close, Elsewhere::Hold, "CloseAgainstHold"},
    {InListener::Close, Elsewhere::HoldAndRemove, "CloseAgainstHoldAndRemove"},
    {InListener::Close, Elsewhere::HoldAndClose, "CloseAgainstHoldAndClose"},
    {InListener::Close, Elsewhere::Close, "CloseAgainstClose"},
    {InListener::Close, Elsewhere::Destroy, "CloseAgainstDestroy"},
    // Destroying the device in its own listener: the device is released at
    // once, and the listener's thread ends when the call returns.
    {InListener::Destroy, Elsewhere::Nothing, "DestroyAlone"},
};

INSTANTIATE_TEST_SUITE_P(Threads, ListenerAgainst, ::testing::ValuesIn(kCombinations), ByName());

// The listener converts reports without the device's lock: a host that holds
// it gets its reports all the same, at the clocks last sent.
TEST(Listener, AReportAwaitedInsideAHoldArrives) {
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<double> seconds;
    device.SetReportListener([&](char, unsigned int, double s, long long) {
        std::lock_guard<std::mutex> hold(lock);
        seconds.push_back(s);
        arrived.notify_all();
    });
    const auto awaitReports = [&](size_t n) {
        std::unique_lock<std::mutex> hold(lock);
        return arrived.wait_for(hold, std::chrono::seconds(5), [&] { return seconds.size() >= n; });
    };
    {
        CSerDev::Hold hold(device);
        sim.SendDelayReport(0, 4000);
        EXPECT_TRUE(awaitReports(1));
        // Set, not sent: the instrument still runs the pair at 200 MHz.
        device.GetPropA()->nClockAB = 1;
        sim.SendDelayReport(1, 4000);
        EXPECT_TRUE(awaitReports(2));
    }
    ASSERT_TRUE(device.CmdSetClock());
    sim.SendDelayReport(1, 4000);
    ASSERT_TRUE(awaitReports(3));
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_DOUBLE_EQ(seconds[0], 4000 / 200e6);
    EXPECT_DOUBLE_EQ(seconds[1], 4000 / 200e6);
    EXPECT_DOUBLE_EQ(seconds[2], 4000 / 3125000.0);
}

// A listener's exception loses its own call only; a thread being ended
// under it (as an interpreter ends the threads that call into it at exit)
// is no exception of the listener's and ends the listener's thread, not the
// process.
TEST(Listener, SurvivesItsExceptionsButNotTheEndOfItsThread) {
    struct Case {
        const char* name;
        std::function<void()> firstCall;
        bool laterCallsRun;
    };
    const Case cases[] = {
        {"throws", [] { throw std::runtime_error("listener"); }, true},
        {"ends its thread", [] { pthread_exit(nullptr); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vsim::Simulator sim;
        std::unique_ptr<CVeltor> device(new CVeltor);
        ASSERT_EQ(device->InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
        Signal second;
        std::atomic<int> calls{0};
        device->SetReportListener([&](char, unsigned int, double, long long) {
            if (calls++ == 0) {
                c.firstCall();
            }
            second.Raise();
        });
        sim.SendDelayReport(0, 1);
        sim.SendDelayReport(0, 2);
        EXPECT_EQ(second.Wait(std::chrono::milliseconds(c.laterCallsRun ? 5000 : 200)),
                  c.laterCallsRun);
        device.reset();
    }
}

}  // namespace
}  // namespace e2e
