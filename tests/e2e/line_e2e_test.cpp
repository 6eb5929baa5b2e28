// The exchange on a line that behaves like real hardware: an instrument that
// answers late, one that talks unasked, a slow line, a pulled adapter.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "e2e_support.h"
#include "sim/Wire.h"

namespace e2e {
namespace {

using vsim::Fault;
using vsim::FaultKind;
using Clock = std::chrono::steady_clock;

CCommand* Request(Bytes payload, int tries = 5, int timeoutMs = 500) {
    return new CCommand(0xD8, payload.data(), static_cast<int>(payload.size()), nullptr, 0,
                        timeoutMs, tries);
}

bool Send(CVeltor& device, Bytes payload, int tries = 5, int timeoutMs = 500) {
    CCommand* command = Request(payload, tries, timeoutMs);
    const bool ok = device.DoCommand(command);
    delete command;
    return ok;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

using Line = Connected;

TEST_F(Line, ALateAnswerIsNeverTakenForAnotherRequest) {
    // The first request's answer comes only after the next request has been
    // received; the next request still gets its own answer. A query's answer
    // names its channel and cannot be mistaken; any other request is
    // preceded by such a query, since an acknowledgement owed to the first
    // request could be taken for its own.
    for (int ch = 0; ch < 8; ++ch) {
        sim.SetChannelDelay(ch, 1000 + ch);
    }
    struct Case {
        const char* name;
        Bytes late;
        std::function<bool()> next;
        int channel;      // whose last delay the next request sets, or -1
        unsigned frames;  // requests the next command sent
    };
    const Case cases[] = {
        {"query, then another query",
         {0x40, 0x0B, 0x00},
         [&] { return device.GetChannel('B')->CmdQuery(); },
         1,
         1},
        {"query, then a command",
         {0x41, 0x0B, 0x00},
         [&] { return device.GetChannel('C')->CmdForceTrigger(); },
         -1,
         2},
        {"command, then a query", {0x80}, [&] { return device.GetChannel('D')->CmdQuery(); }, 3, 1},
    };
    for (const Case& c : cases) {
        sim.QueueFault(Make(FaultKind::Late));
        EXPECT_FALSE(Send(device, c.late, 1)) << c.name;
        sim.ClearLog();
        EXPECT_TRUE(c.next()) << c.name;
        ASSERT_EQ(sim.FrameCount(), c.frames) << c.name;
        if (c.frames == 2) {
            const Bytes step = sim.Frames()[0].payload;
            ASSERT_EQ(step.size(), 3u) << c.name;
            EXPECT_NE(step[0], c.late[0]) << c.name << ": the query asks for another channel";
        }
        if (c.channel >= 0) {
            EXPECT_DOUBLE_EQ(device.GetChannel(static_cast<char>('A' + c.channel))->GetLastDelay(),
                             (1000 + c.channel) / 200e6)
                << c.name;
        }
    }
    EXPECT_EQ(sim.State().ch[2].triggerCount, 1u);
}

TEST_F(Line, AnInstrumentSlowOnceStaysInStep) {
    for (int ch = 0; ch < 8; ++ch) {
        sim.SetChannelDelay(ch, 100 * (ch + 1));
    }
    Fault slow = Make(FaultKind::Delay);
    slow.delayMs = 700;
    sim.QueueFault(slow);
    for (int i = 0; i < 40; ++i) {
        const char letter = static_cast<char>('A' + i % 8);
        ASSERT_TRUE(device.GetChannel(letter)->CmdQuery()) << i;
        ASSERT_DOUBLE_EQ(device.GetChannel(letter)->GetLastDelay(), 100 * (i % 8 + 1) / 200e6)
            << "query " << i << " of channel " << letter;
    }
    // A command whose own request was never answered is not acknowledged by
    // the late answer of the command before it.
    slow.delayMs = kLateAnswerMs;
    sim.QueueFault(slow);
    EXPECT_FALSE(Send(device, {0x80}, 1));
    sim.QueueFaults(Make(FaultKind::NoAnswer), 5);
    EXPECT_FALSE(device.CmdDisableOutputs());
}

TEST_F(Line, AnswersOwedByAFailedCommandAreNeverTakenForTheNext) {
    // The instrument answers in order. After a command all of whose attempts
    // went unanswered, the next command is not sent until a query has
    // brought the line back in step, or is not sent at all.
    Fault slow = Make(FaultKind::Delay);
    slow.delayMs = 3300;  // past five attempts and the wait after them
    struct Case {
        const char* name;
        std::vector<Fault> faults;  // for the requests in order, from the first command's
        CSerDev::Outcome refused;   // the outcome of the command after it
    };
    const Case cases[] = {
        // Its five acknowledgements come while the next command's query is
        // awaited: the refusal after them is the next command's answer.
        {"slow for longer than a command", {slow}, CSerDev::kNegative},
        // The two queries go unanswered too: the next command is not sent.
        {"silent", std::vector<Fault>(7, Make(FaultKind::NoAnswer)), CSerDev::kOutOfStep},
    };
    for (const Case& c : cases) {
        BackInStep();
        for (const Fault& f : c.faults) {
            sim.QueueFault(f);
        }
        EXPECT_FALSE(device.CmdEnableOutputs()) << c.name;
        // Outputs on with a stray byte: refused by the instrument.
        EXPECT_FALSE(Send(device, {0x80, 0x01})) << c.name;
        EXPECT_EQ(device.GetLastOutcome(), c.refused) << c.name << ": " << device.GetLastError();
        if (c.refused == CSerDev::kOutOfStep) {
            const std::vector<Bytes> sent = Payloads();
            EXPECT_EQ(std::count(sent.begin(), sent.end(), Bytes{0x80, 0x01}), 0)
                << c.name << ": the command was sent";
            EXPECT_NE(device.GetLastError().find("not sent"), std::string::npos) << c.name;
        }
        // In step again: each command takes its own answer.
        EXPECT_TRUE(device.CmdDisableOutputs()) << c.name;
        EXPECT_FALSE(sim.State().outputsEnabled) << c.name;
        EXPECT_TRUE(device.GetChannel('B')->CmdQuery()) << c.name;
    }
}

TEST_F(Line, CancelledQueriesOfEveryChannelAreNeverTakenAsProof) {
    // Every channel's query is cancelled as soon as it is written, and the
    // instrument answers them late, one every 200 ms, in order. Neither
    // getting back in step nor the next query may take one of them: a query
    // that succeeds carries the delay the instrument holds now.
    Fault slow = Make(FaultKind::Delay);
    slow.delayMs = 200;
    for (int c = 0; c < 8; ++c) {
        sim.SetChannelDelay(c, 100 + c);
    }
    std::mutex mutex;
    std::condition_variable written;
    int requests = 0;
    device.SetTrace([&](const CSerDev::TraceEvent& event) {
        if (event.kind == CSerDev::TraceEvent::kRequest) {
            std::lock_guard<std::mutex> hold(mutex);
            ++requests;
            written.notify_all();
        }
    });
    for (int c = 0; c < 8; ++c) {
        sim.QueueFault(slow);
        std::thread cancel([&, before = requests] {
            std::unique_lock<std::mutex> hold(mutex);
            written.wait(hold, [&] { return requests > before; });
            device.CancelCommand();
        });
        EXPECT_FALSE(device.GetChannel(static_cast<char>('A' + c))->CmdQuery());
        cancel.join();
        EXPECT_EQ(device.GetLastOutcome(), CSerDev::kCancelled);
    }
    device.SetTrace(nullptr);
    CChannel* b = device.GetChannel('B');
    bool ok = false;
    for (int tries = 0; tries < 4 && !ok; ++tries) {
        ok = b->CmdQuery();
        if (!ok) {
            EXPECT_EQ(device.GetLastOutcome(), CSerDev::kOutOfStep) << device.GetLastError();
            continue;
        }
        // Its own answer can only have come once the instrument had read a
        // query of B sent after the cancelled ones.
        const std::vector<Bytes> payloads = Payloads();
        EXPECT_NE(std::find(payloads.begin() + 8, payloads.end(), Bytes{0x41, 0x0B, 0x00}),
                  payloads.end())
            << "an answer owed to a cancelled query was taken";
    }
    EXPECT_TRUE(ok) << "the line never came back in step";
}

TEST_F(Line, ReportsDoNotStretchAnAttempt) {
    // The instrument misses the request and reports every 20 ms for as long
    // as the command runs: a wait that each report restarted would never
    // end while they come. Only a watchdog far beyond the five attempts'
    // time stops them, and the command must have ended first.
    sim.StartReportStream(0, 1, 20000);
    sim.QueueFaults(Make(FaultKind::NoAnswer), 5);
    std::mutex mutex;
    std::condition_variable changed;
    bool returned = false;
    bool stoppedByWatchdog = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(60), [&] { return returned; })) {
            stoppedByWatchdog = true;
        }
        lock.unlock();
        sim.StopReportStream();
    });
    EXPECT_FALSE(device.CmdEnableOutputs());
    {
        std::lock_guard<std::mutex> lock(mutex);
        returned = true;
        EXPECT_FALSE(stoppedByWatchdog) << "the attempts ended only when the reports stopped";
    }
    changed.notify_all();
    watchdog.join();
    EXPECT_EQ(device.GetLastOutcome(), CSerDev::kNoAnswer);
}

TEST(SlowLine, TheWaitStartsWhenTheRequestIsOnTheWire) {
    // At 4800 bit/s the 1024-byte burst takes over two seconds to leave;
    // the first command's time must not run out while its request waits
    // behind it, or the trigger would be fired again by a retry.
    vsim::Simulator sim;
    sim.SetPacing(true);
    sim.SetReadPacing(true);
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), 1), 0);
    EXPECT_TRUE(device.GetChannel('B')->CmdForceTrigger());
    // Everything written before this command's answer has reached the
    // instrument by then: the trigger was sent once.
    EXPECT_TRUE(device.CmdEnableOutputs());
    EXPECT_EQ(sim.FrameCount(), 2u);
    EXPECT_EQ(sim.State().ch[1].triggerCount, 1u);
}

TEST(LostLine, APulledAdapterIsSeenAndNeverSpunOn) {
    struct Case {
        const char* name;
        bool midExchange;   // the line hangs up instead of answering
        bool afterCommand;  // the exchange still holds the port when it hangs up
    };
    for (const Case c : {Case{"while idle", false, false}, Case{"during an exchange", true, false},
                         Case{"right after a command", false, true}}) {
        vsim::Simulator sim;
        TestDevice device;
        ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0) << c.name;
        if (c.afterCommand) {
            ASSERT_TRUE(device.CmdEnableOutputs()) << c.name;
        }
        if (c.midExchange) {
            sim.QueueFault(Make(FaultKind::HangUp));
        } else {
            sim.HangUp();
            // The watcher must end, not spin on a port that reads as
            // readable forever.
            const double cpu = CpuSeconds();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_LT(CpuSeconds() - cpu, 0.1) << c.name;
            EXPECT_FALSE(device.IsConnected()) << c.name;
        }
        // A minute per attempt: only a lost port seen at once ends the
        // command well within it, however loaded the machine.
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(Send(device, {0x80}, 5, 60000)) << c.name;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(30)) << c.name;
        EXPECT_EQ(device.GetLastOutcome(), CSerDev::kPortLost) << c.name;
        EXPECT_FALSE(device.IsConnected()) << c.name;
        EXPECT_LE(sim.FrameCount(), 1u) << c.name;

        vsim::Simulator other;
        EXPECT_EQ(device.CloseConnection(), 0);
        ASSERT_EQ(device.InitConnection(other.SlavePath().c_str(), kBaud115200), 0) << c.name;
        EXPECT_TRUE(device.CmdEnableOutputs()) << c.name;
    }
}

TEST_F(Line, NoReportIsLostAroundAnAnswer) {
    struct Case {
        const char* name;
        Fault fault;
        bool reportAfterwards;  // a valid report follows the command
        int channel;
        uint32_t counts;
    };
    Fault first = Make(FaultKind::ReportFirst);
    first.reportChannel = 3;
    first.reportCounts = 111;
    Fault after = Make(FaultKind::ReportAfter);
    after.reportChannel = 4;
    after.reportCounts = 222;
    Fault stray = Make(FaultKind::Noise);
    stray.noise = {0x51};
    const Case cases[] = {
        {"report glued before", first, false, 3, 111},
        {"report glued after", after, false, 4, 222},
        {"cut-off report before", Make(FaultKind::CutReport), true, 5, 333},
        {"stray report lead before", stray, true, 6, 444},
    };
    for (const Case& c : cases) {
        sim.ClearLog();
        sim.QueueFault(c.fault);
        const size_t before = device.Unsolicited().size();
        EXPECT_TRUE(device.GetChannel('H')->CmdForceTrigger()) << c.name;
        EXPECT_EQ(sim.FrameCount(), 1u) << c.name;
        if (c.reportAfterwards) {
            sim.SendDelayReport(c.channel, c.counts);
        }
        // The report's eight bytes reach the gatherer (a report glued after
        // the answer may come in a drain of its own).
        ASSERT_TRUE(device.WaitForUnsolicited(before + 8)) << c.name;
        EXPECT_DOUBLE_EQ(device.GetChannel(static_cast<char>('A' + c.channel))->GetLastDelay(),
                         c.counts / 200e6)
            << c.name;
    }
    EXPECT_EQ(sim.State().ch[7].triggerCount, 4u);
}

TEST_F(Line, NoReportIsLostDuringBackToBackCommands) {
    CommandsLoseNoReport(sim, device, 2000, 100);
}

TEST_F(Line, ReportsAreConvertedAtTheClockOfTheirReading) {
    // The watcher stores counts only; the host may change the clock settings
    // at any time (a race on the general properties otherwise).
    sim.StartReportStream(0, 1, 200);
    SGeneral* general = device.GetPropA();
    for (int i = 0; i < 2000; ++i) {
        general->nClockAB = i % 4;
        general->dRefClockHz = 1e6 + i;
    }
    const size_t sent = sim.StopReportStream();
    ASSERT_TRUE(device.WaitForUnsolicited(8 * sent));  // the stream's reports are all in
    general->nClockAB = 0;
    sim.SendDelayReport(2, 4000);
    ASSERT_TRUE(device.WaitForUnsolicited(8 * sent + 8));
    EXPECT_DOUBLE_EQ(device.GetChannel('C')->GetLastDelay(), 4000 / 200e6);
    general->nClockCD = 1;
    EXPECT_DOUBLE_EQ(device.GetChannel('C')->GetLastDelay(), 4000 / 3125000.0);
}

TEST_F(Line, ReadersWithoutTheLockConvertAtTheClocksOfTheLastCommand) {
    // Each command takes the clocks the host set; one that finds them as the
    // last one did may keep its snapshot, but a change back and forth must
    // reach readers that cannot take the device's lock.
    sim.SendDelayReport(0, 4000);
    ASSERT_TRUE(device.WaitForUnsolicited(8));
    SGeneral* general = device.GetPropA();
    struct Step {
        int code;
        double refHz;
        double expectedHz;
    };
    const Step steps[] = {
        {1, 10e6, 3125000.0}, {0, 10e6, 200e6}, {1, 10e6, 3125000.0}, {2, 10e6, 20e6},
        {2, 12e6, 24e6},      {2, 12e6, 24e6},  {3, 12e6, 375000.0},  {0, 12e6, 200e6},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.expectedHz);
        general->nClockAB = step.code;
        general->dRefClockHz = step.refHz;
        ASSERT_TRUE(device.CmdEnableOutputs());
        // Set, not sent: readers without the lock keep the command's clocks.
        general->nClockAB = step.code == 1 ? 0 : 1;
        std::promise<void> held;
        std::promise<void> read;
        std::thread holder([&] {
            CSerDev::Hold hold(device);
            held.set_value();
            read.get_future().wait();
        });
        held.get_future().wait();
        EXPECT_DOUBLE_EQ(device.GetChannel('A')->GetLastDelay(), 4000 / step.expectedHz);
        read.set_value();
        holder.join();
    }
}

TEST(SmallFaults, OpeningAndChannelsOutsideTheRules) {
    vsim::Simulator sim;
    CVeltor first;
    CVeltor second;
    // No port number overflows its name.
    EXPECT_EQ(first.InitConnection(INT_MIN, kBaud115200), -1);
    EXPECT_EQ(first.InitConnection(0, kBaud115200), -1);
    EXPECT_EQ(first.InitConnection(99, kBaud115200), -1);  // no such port
    // A failed opening keeps nothing: the port is free for the next try.
    EXPECT_EQ(first.InitConnection("/dev/null", kBaud115200), -2);
    EXPECT_EQ(second.InitConnection("/dev/null", kBaud115200), -2);

    // A channel named outside A to H sends nothing.
    ASSERT_NO_FATAL_FAILURE(ConnectPastTheBurst(sim, first));
    for (char name : {'I', '@', 'z'}) {
        CChannel stray(&first, name);
        EXPECT_FALSE(stray.CmdEnable()) << name;
        EXPECT_FALSE(stray.CmdQuery()) << name;
        EXPECT_FALSE(stray.CmdForceTrigger()) << name;
        EXPECT_FALSE(stray.CmdSetTimingMode()) << name;
        EXPECT_FALSE(stray.CmdTransferLogic()) << name;
    }
    EXPECT_TRUE(first.CmdEnableOutputs());
    EXPECT_EQ(sim.FrameCount(), 1u);
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The terminal's output is suspended, as a flow-control line held off would:
// the filler burst cannot leave, and the opening fails and says so, instead
// of reporting a connection that cannot carry a request.
TEST(HeldLine, ABurstThatCannotBeWrittenFailsTheOpening) {
    vsim::Simulator sim;
    const int terminal = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::tcflow(terminal, TCOOFF), 0);
    CVeltor device;
    EXPECT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), -7);
    ASSERT_EQ(::tcflow(terminal, TCOON), 0);
    ::close(terminal);
    EXPECT_FALSE(device.IsConnected());
    EXPECT_NE(device.GetLastError().find("the 1024-byte filler burst"), std::string::npos)
        << device.GetLastError();
    // Released whole: the port opens again once the line moves.
    EXPECT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0)
        << device.GetLastError();
    EXPECT_TRUE(device.CmdEnableOutputs()) << device.GetLastError();
}

}  // namespace
}  // namespace e2e
