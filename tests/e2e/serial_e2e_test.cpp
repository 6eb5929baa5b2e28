// The serial link end to end: burst, exchange, retries, faults, routing.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

using vsim::Fault;
using vsim::FaultKind;

CCommand* EnableOutputs(int tries = 5, int timeout = 500) {
    const unsigned char payload = 0x80;
    return new CCommand(0xD8, &payload, 1, "Enabling outputs...", 0, timeout, tries);
}

TEST(SerialOpen, BurstIsTheSameOnEveryConnection) {
    vsim::Simulator sim;
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    ASSERT_TRUE(sim.WaitForRawBytes(1024, 5000));
    const Bytes first = sim.RawReceived();
    device.CloseConnection();
    sim.ClearLog();
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    ASSERT_TRUE(sim.WaitForRawBytes(1024, 5000));
    const Bytes second = sim.RawReceived();
    ASSERT_EQ(first.size(), 1024u);
    EXPECT_EQ(first, second);
    for (uint8_t b : first) {
        ASSERT_NE(b, 0x25);
    }
    EXPECT_EQ(sim.FrameCount(), 0u);
}

TEST(SerialOpen, FailureCodesAndClosing) {
    vsim::Simulator sim;
    CVeltor device;
    EXPECT_EQ(device.InitConnection(sim.SlavePath().c_str(), 7), -1);
    EXPECT_EQ(device.InitConnection(sim.SlavePath().c_str(), -1), -1);
    EXPECT_EQ(device.CloseConnection(), 0);
    EXPECT_EQ(device.InitConnection("/dev/veltor-no-such-port", kBaud115200), -1);
    EXPECT_FALSE(device.IsConnected());
    EXPECT_EQ(device.CloseConnection(), 0);
    // Not a terminal: the port cannot report received bytes.
    EXPECT_EQ(device.InitConnection("/dev/null", kBaud115200), -2);
    EXPECT_EQ(device.CloseConnection(), 0);
    EXPECT_EQ(device.InitConnection(99, 7), -1);
    // Nothing was written by any failed opening.
    EXPECT_TRUE(sim.RawReceived().empty());
    EXPECT_FALSE(device.CmdEnableOutputs());
}

TEST(SerialOpen, ASecondOpenOfAHeldPortFails) {
    vsim::Simulator sim;
    CVeltor first;
    CVeltor second;
    ASSERT_EQ(first.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    EXPECT_EQ(second.InitConnection(sim.SlavePath().c_str(), kBaud115200), -1);
    first.CloseConnection();
    EXPECT_EQ(second.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
}

TEST(SerialOpen, CloseTwiceAndWriteWhenClosed) {
    vsim::Simulator sim;
    TestDevice device;
    unsigned char byte = 0x00;
    EXPECT_FALSE(device.Write(&byte, 1));
    EXPECT_FALSE(device.SendReceive(nullptr));
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0);
    EXPECT_TRUE(device.IsConnected());
    EXPECT_EQ(device.CloseConnection(), 0);
    EXPECT_FALSE(device.IsConnected());
    EXPECT_EQ(device.CloseConnection(), 0);
    EXPECT_FALSE(device.IsConnected());
    CCommand* command = EnableOutputs();
    EXPECT_FALSE(device.SendReceive(command));
    EXPECT_EQ(device.GetLastOutcome(), CSerDev::kNotConnected);
    delete command;
}

using SerialExchange = Connected;

TEST_F(SerialExchange, NegativeAnswerFailsEachAttemptAtOnce) {
    sim.QueueFaults(Make(FaultKind::Negative), 5);
    // A time-out of 60 s per wait: only answers that fail at once can let
    // five attempts end within the test's time.
    CCommand* command = EnableOutputs(5, 60000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.DoCommand(command));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(command->m_ResponseCount, 0u);
    delete command;
    EXPECT_EQ(sim.FrameCount(), 5u);
}

TEST_F(SerialExchange, OneFaultThenSuccess) {
    struct Case {
        const char* name;
        Fault fault;
        unsigned int frames;  // requests sent; noise before an answer costs no retry
    };
    const Case cases[] = {
        {"bad checksum", Make(FaultKind::BadChecksum), 2},
        {"negative", Make(FaultKind::Negative), 2},
        {"wrong lead byte", Make(FaultKind::WrongLead), 2},
        {"noise before the answer", Make(FaultKind::Noise), 1},
        {"no answer", Make(FaultKind::NoAnswer), 2},
    };
    for (const Case& c : cases) {
        BackInStep();
        sim.QueueFault(c.fault);
        CCommand* command = EnableOutputs();
        EXPECT_TRUE(device.DoCommand(command)) << c.name;
        EXPECT_EQ(command->m_Tries, 6 - static_cast<int>(c.frames)) << c.name;
        delete command;
        EXPECT_EQ(sim.FrameCount(), c.frames) << c.name;
    }
}

TEST_F(SerialExchange, OneAttemptTellsHowItEnded) {
    struct Case {
        Fault fault;
        CSerDev::Outcome outcome;
        unsigned int responseCount;
        int timeoutMs;
    };
    // The outcome names what came within the attempt's time, so the time
    // must outlast the simulator's answer on a loaded machine. An attempt
    // that ends at once or hears nothing at all costs no more for a long
    // one; the others wait it out whole, and get a few seconds.
    const int kEndsAtOnce = 60000;
    const int kWaitedOut = 3000;
    // A query's answer to another request.
    Fault mismatch = Make(FaultKind::Replace);
    mismatch.replacement = Report(2, 4000);
    mismatch.replacement[0] = 0xAA;
    const Case cases[] = {
        {Make(FaultKind::None), CSerDev::kSuccess, 3, kEndsAtOnce},
        {Make(FaultKind::NoAnswer), CSerDev::kNoAnswer, 0, 500},
        {Make(FaultKind::Negative), CSerDev::kNegative, 0, kEndsAtOnce},
        {Make(FaultKind::WrongLead), CSerDev::kWrongLead, 0, kWaitedOut},
        {Make(FaultKind::HeaderOnly), CSerDev::kIncomplete, 2, kWaitedOut},
        {Make(FaultKind::BadChecksum), CSerDev::kBadChecksum, CCommand::kChecksumFailed,
         kEndsAtOnce},
        {mismatch, CSerDev::kMismatch, 0, kWaitedOut},
    };
    for (const Case& c : cases) {
        BackInStep();
        sim.QueueFault(c.fault);
        CCommand* command = EnableOutputs(1, c.timeoutMs);
        const char* name = vsim::FaultName(c.fault.kind);
        EXPECT_EQ(device.DoCommand(command), c.outcome == CSerDev::kSuccess) << name;
        EXPECT_EQ(device.GetLastOutcome(), c.outcome) << name;
        EXPECT_EQ(command->m_ResponseCount, c.responseCount) << name;
        delete command;
    }
}

std::atomic<int> g_SignalsCaught{0};

TEST_F(SerialExchange, SignalsDuringTheWaitNeitherEndNorRepeatIt) {
    // A host's own signals (timers, child processes) interrupt the wait for
    // an answer; the exchange waits on with what is left of its time.
    struct sigaction action {};
    action.sa_handler = [](int) { g_SignalsCaught.fetch_add(1); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the interrupted call fails with EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    Fault slow = Make(FaultKind::Delay);
    slow.delayMs = 300;
    sim.QueueFault(slow);
    g_SignalsCaught = 0;
    std::atomic<bool> done{false};
    bool ok = false;
    std::thread commanding([&] {
        CCommand* command = EnableOutputs(1, 5000);
        ok = device.DoCommand(command);
        delete command;
        done = true;
    });
    // Signals, a millisecond apart, for as long as the command runs.
    while (!done) {
        pthread_kill(commanding.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    commanding.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(ok) << device.GetLastError();
    EXPECT_GT(g_SignalsCaught.load(), 0);
    EXPECT_EQ(sim.FrameCount(), 1u);
}

TEST_F(SerialExchange, SplitAnswerSucceeds) {
    Fault split = Make(FaultKind::Split);
    split.chunk = 1;
    split.gapMs = 20;
    sim.SetChannelDelay(2, 4000);
    sim.QueueFault(split);
    CChannel* c = device.GetChannel('C');
    EXPECT_TRUE(c->CmdQuery());
    EXPECT_DOUBLE_EQ(c->GetLastDelay(), 2e-05);
    EXPECT_EQ(sim.FrameCount(), 1u);
}

TEST_F(SerialExchange, UnaskedBytesReachTheHandlerNeverTheRing) {
    const Bytes noise = {0x01, 0x02, 0xAA, 0x01, 0xFF};
    sim.SendBytes(noise);
    ASSERT_TRUE(device.WaitForUnsolicited(noise.size()));
    // Had the bytes gone to the ring, AA 01 FF would answer this command
    // before the instrument does; the instrument's answer is awaited instead.
    sim.QueueFault(Make(FaultKind::NoAnswer));
    CCommand* command = EnableOutputs(1);
    EXPECT_FALSE(device.DoCommand(command));
    delete command;
    EXPECT_EQ(device.Unsolicited(), noise);
}

TEST_F(SerialExchange, AnswerBytesNeverReachTheHandler) {
    sim.SetChannelDelay(0, 1234);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(device.GetChannel('A')->CmdQuery());
    }
    EXPECT_TRUE(device.Unsolicited().empty());
}

TEST_F(SerialExchange, ReportJustBeforeTheAnswerIsKeptAndNotRetried) {
    sim.SetChannelDelay(0, 4000);
    sim.QueueFault(Make(FaultKind::ReportFirst));
    EXPECT_TRUE(device.GetChannel('B')->CmdForceTrigger());
    // The command went out once: a retry would have fired the trigger twice.
    EXPECT_EQ(sim.FrameCount(), 1u);
    EXPECT_EQ(sim.State().ch[1].triggerCount, 1u);
    // The report that came first still set channel A's delay.
    EXPECT_DOUBLE_EQ(device.GetChannel('A')->GetLastDelay(), 2e-05);
}

TEST_F(SerialExchange, LateAnswerIsNotTakenForTheNextCommandsAnswerAfterClear) {
    // A late answer that arrives while no exchange awaits goes to the
    // handler; the next attempt starts with an empty ring.
    Fault slow = Make(FaultKind::Delay);
    slow.delayMs = kLateAnswerMs;
    sim.QueueFault(slow);
    CCommand* command = EnableOutputs(1);
    EXPECT_FALSE(device.DoCommand(command));
    delete command;
    ASSERT_TRUE(device.WaitForUnsolicited(3));
    EXPECT_EQ(device.Unsolicited(), (Bytes{0xAA, 0x01, 0xFF}));
    EXPECT_TRUE(device.CmdDisableOutputs());
}

TEST_F(SerialExchange, WatcherSurvivesAThrowingHandler) {
    device.ThrowOnNextUnsolicited();
    sim.SendDelayReport(3, 200);
    ASSERT_TRUE(device.WaitForUnsolicited(8));
    sim.SendDelayReport(3, 400);
    ASSERT_TRUE(device.WaitForUnsolicited(16));
    EXPECT_DOUBLE_EQ(device.GetChannel('D')->GetLastDelay(), 400 / 200e6);
    EXPECT_TRUE(device.CmdEnableOutputs());
}

TEST_F(SerialExchange, ManyExchangesInARow) {
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(i % 2 ? device.CmdEnableOutputs() : device.CmdDisableOutputs()) << i;
    }
    EXPECT_EQ(sim.FrameCount(), 200u);
}

}  // namespace
}  // namespace e2e
