// The library against device servers that misbehave on purpose
// (hostile_server.h): floods, options offered without end, answers cut, reset
// or dribbled, silence, and bytes crafted to overrun what one read can hold.
// Every call under test runs under a watch: one that hangs is reported and
// ended by resetting its connection, so that a failure never hangs the
// binary. Around every case, the process must keep its threads, descriptors
// and memory, and the same device must work again on a well-behaved server.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <veltor/veltor.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "hostile_server.h"
#include "sim/Simulator.h"
#include "sim/TcpServer.h"

namespace e2e {
namespace {

using e2e::Entries;

using hostile::Act;
using hostile::Bytes;
using hostile::Link;
using hostile::Script;

const int kBaud115200 = 6;

// A query's bound, from the documented numbers (docs/protocol.md): before a
// command the host waits at most one time-out for an answer still owed; the
// command makes 5 attempts, each with the query's 500 ms, counted from when
// its request can have left the line, the first one behind the 1024-byte
// burst (89 ms at 115200 bit/s).
const long kTimeoutMs = 500;
const long kAttempts = 5;
const long kBurstWireMs = 1024 * 10 * 1000 / 115200 + 1;
const long kQueryBoundMs = kTimeoutMs + kBurstWireMs + kAttempts * kTimeoutMs;
// Loopback, a loaded machine, a sanitizer: checked against the bound plus this.
const long kMarginMs = 2000;
// How long a call may run before it counts as hung and its connection is
// reset, and how long it then gets to return.
const long kPatienceMs = 20000;
const long kAfterResetMs = 10000;

// Resident memory a case may leave behind (allocator caches, a sanitizer's
// bookkeeping), and what the host may take on while options are offered
// without end.
const long kLeftBehindKb = 16 * 1024;
const long kIdleGrowthKb = 4 * 1024;

long ResidentKb() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

struct Process {
    size_t threads;
    size_t descriptors;
    long residentKb;
};

Process Look() {
    // A sanitizer's runtime starts a thread of its own with the first thread
    // the process makes: one made and joined first keeps it out of the count.
    static const bool warmedUp = [] {
        long tid = 0;
        std::thread([&tid] { tid = ::syscall(SYS_gettid); }).join();
        e2e::AwaitThreadGone(tid);
        return true;
    }();
    (void)warmedUp;
    return {Entries("/proc/self/task"), Entries("/proc/self/fd"), ResidentKb()};
}

// How a call under watch went.
struct Watched {
    bool returned;  // within kPatienceMs
    long ms;
};

// Runs `call` on a thread of its own, at most kPatienceMs. A call still
// running then has hung: the server under it is stopped, which resets the
// connection and ends every wait on it. A call that does not return even
// then leaves the process nothing to do but end, with the reason.
template <typename Call>
Watched Watch(hostile::HostileServer* server, const char* what, Call call) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    const auto start = std::chrono::steady_clock::now();
    std::thread runner([&] {
        call();
        done.set_value();
    });
    const bool returned =
        finished.wait_for(std::chrono::milliseconds(kPatienceMs)) == std::future_status::ready;
    const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
    if (!returned) {
        ADD_FAILURE() << what << " still ran after " << kPatienceMs
                      << " ms: the server is stopped and the connection reset to end it";
        if (server != nullptr) {
            server->Stop();
        }
        if (finished.wait_for(std::chrono::milliseconds(kAfterResetMs)) !=
            std::future_status::ready) {
            std::fprintf(stderr, "%s did not return even %ld ms after its connection was reset\n",
                         what, kAfterResetMs);
            std::fflush(stderr);
            std::_Exit(1);
        }
    }
    runner.join();
    return {returned, ms};
}

// One device against one hostile server. Before and after each case the
// process is looked at; afterwards the device must connect to the simulated
// instrument behind a well-behaved server and be answered there.
class HostileCase : public ::testing::Test {
protected:
    void Connect(const Script& script) {
        Release();
        server_.reset(new hostile::HostileServer(script));
        ASSERT_EQ(device_->InitConnection(server_->Url().c_str(), kBaud115200), 0)
            << device_->GetLastError();
        ASSERT_TRUE(server_->WaitForBurst(5000)) << server_->Trouble();
    }

    // Closes the connection (under watch: it waits for the watcher) and stops
    // the server.
    void Release() {
        if (server_ == nullptr) {
            return;
        }
        int closed = -1;
        Watch(server_.get(), "CloseConnection", [&] { closed = device_->CloseConnection(); });
        EXPECT_EQ(closed, 0);
        server_->Stop();
        EXPECT_EQ(server_->Trouble(), "");
        server_.reset();
    }

    // Queries channel A under watch.
    Watched Query(bool& ok) {
        return Watch(server_.get(), "CmdQuery", [&] { ok = device_->GetChannel('A')->CmdQuery(); });
    }

    bool HoldsGoodDelay() {
        return std::llround(device_->GetChannel('A')->GetLastDelay() * 200e6) ==
               hostile::kGoodCounts;
    }

    void TearDown() override {
        Release();
        {
            vsim::Simulator sim;
            vsim::TcpServer good(sim.SlavePath());
            sim.SetChannelDelay(0, 1234);
            ASSERT_EQ(device_->InitConnection(good.Url().c_str(), kBaud115200), 0)
                << device_->GetLastError();
            EXPECT_TRUE(device_->GetChannel('A')->CmdQuery()) << device_->GetLastError();
            EXPECT_EQ(std::llround(device_->GetChannel('A')->GetLastDelay() * 200e6), 1234);
            EXPECT_EQ(device_->CloseConnection(), 0);
            device_.reset();
        }
        e2e::ThreadsOnceJoined(before_.threads);
        const Process after = Look();
        EXPECT_EQ(after.threads, before_.threads);
        EXPECT_EQ(after.descriptors, before_.descriptors);
        EXPECT_LE(after.residentKb - before_.residentKb, kLeftBehindKb);
    }

    // Looked at before the device exists.
    const Process before_ = Look();
    std::unique_ptr<hostile::HostileServer> server_;
    std::unique_ptr<CVeltor> device_{new CVeltor};
};

// ---- Floods after the first request ---------------------------------------------

struct Flood {
    const char* name;
    Link link;
    Bytes head;
    Bytes flood;
    CSerDev::Outcome outcome;
};

void PrintTo(const Flood& f, std::ostream* os) {
    *os << f.name;
}

class FloodingServer : public HostileCase, public ::testing::WithParamInterface<Flood> {};

TEST_P(FloodingServer, TheQueryFailsWithinItsBound) {
    const Flood& f = GetParam();
    ASSERT_NO_FATAL_FAILURE(Connect({f.link, Act::kFloodAfterRequest, f.head, f.flood}));
    bool ok = true;
    const Watched run = Query(ok);
    EXPECT_FALSE(ok);
    EXPECT_LE(run.ms, kQueryBoundMs + kMarginMs) << "bound " << kQueryBoundMs << " ms";
    if (run.returned) {
        EXPECT_EQ(device_->GetLastOutcome(), f.outcome) << device_->GetLastError();
    }
    EXPECT_GT(server_->Flooded(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, FloodingServer,
    ::testing::Values(
        // Bytes that are neither answers nor reports, as fast as the socket takes them.
        Flood{"ZeroBytesOverRawTcp", Link::kRaw, {}, {0x00}, CSerDev::kWrongLead},
        // Telnet no-operations: nothing of them reaches the receive path.
        Flood{"TelnetNopOverRfc2217", Link::kRfc2217, {}, {255, 241}, CSerDev::kNoAnswer},
        // A subnegotiation that never ends (no IAC SE).
        Flood{"EndlessSubnegotiationOverRfc2217",
              Link::kRfc2217,
              {255, 250, 44},
              {0x41},
              CSerDev::kNoAnswer}),
    [](const ::testing::TestParamInfo<Flood>& info) { return std::string(info.param.name); });

// ---- Options offered and refused without end, while the host is idle -------------

struct Offer {
    const char* name;
    Bytes offer;
};

void PrintTo(const Offer& o, std::ostream* os) {
    *os << o.name;
}

class OptionsWithoutEnd : public HostileCase, public ::testing::WithParamInterface<Offer> {};

TEST_P(OptionsWithoutEnd, TheIdleHostTakesNoMemoryForThem) {
    ASSERT_NO_FATAL_FAILURE(Connect({Link::kRfc2217, Act::kFloodWhileIdle, {}, GetParam().offer}));
    const long start = ResidentKb();
    ASSERT_TRUE(server_->WaitForFloodEnd(hostile::kIdleFloodMs + 10000));
    EXPECT_LE(ResidentKb() - start, kIdleGrowthKb)
        << "resident memory grew while " << server_->Flooded() / 3 << " offers came";
    // The connection still serves.
    bool ok = false;
    const Watched run = Query(ok);
    EXPECT_TRUE(ok) << device_->GetLastError();
    EXPECT_LE(run.ms, kQueryBoundMs + kMarginMs);
    EXPECT_TRUE(HoldsGoodDelay());
}

INSTANTIATE_TEST_SUITE_P(Hostile, OptionsWithoutEnd,
                         ::testing::Values(Offer{"WillUnknownOption", {255, 251, 99}},
                                           Offer{"DoUnknownOption", {255, 253, 99}}),
                         [](const ::testing::TestParamInfo<Offer>& info) {
                             return std::string(info.param.name);
                         });

// ---- Answers cut, reset, dribbled, or none -----------------------------------------

struct Broken {
    const char* name;
    Link link;
    Act act;
    bool ok;
    CSerDev::Outcome outcome;
    const char* error;  // part of GetLastError()
};

void PrintTo(const Broken& b, std::ostream* os) {
    *os << b.name;
}

class BrokenAnswers : public HostileCase, public ::testing::WithParamInterface<Broken> {};

TEST_P(BrokenAnswers, TheQueryEndsAsTheAnswerDeserves) {
    const Broken& b = GetParam();
    ASSERT_NO_FATAL_FAILURE(Connect({b.link, b.act, {}, {}}));
    bool ok = !b.ok;
    const Watched run = Query(ok);
    EXPECT_EQ(ok, b.ok) << device_->GetLastError();
    EXPECT_LE(run.ms, kQueryBoundMs + kMarginMs) << "bound " << kQueryBoundMs << " ms";
    EXPECT_EQ(device_->GetLastOutcome(), b.outcome) << device_->GetLastError();
    EXPECT_NE(device_->GetLastError().find(b.error), std::string::npos) << device_->GetLastError();
    if (b.ok) {
        EXPECT_TRUE(HoldsGoodDelay());
    }
    EXPECT_EQ(device_->IsConnected(), b.outcome != CSerDev::kPortLost);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, BrokenAnswers,
    ::testing::Values(
        Broken{"CutAfterTheHeader", Link::kRaw, Act::kCut, false, CSerDev::kIncomplete,
               "the answer stopped after its header after 5 attempts"},
        Broken{"ResetMidAnswer", Link::kRaw, Act::kReset, false, CSerDev::kPortLost, "port lost"},
        Broken{"ResetMidAnswerOverRfc2217", Link::kRfc2217, Act::kReset, false, CSerDev::kPortLost,
               "port lost"},
        Broken{"ByteByByte", Link::kRaw, Act::kByteByByte, true, CSerDev::kSuccess, ""},
        Broken{"ByteByByteOverRfc2217", Link::kRfc2217, Act::kByteByByte, true, CSerDev::kSuccess,
               ""},
        Broken{"Silence", Link::kRaw, Act::kSilent, false, CSerDev::kNoAnswer,
               "no answer after 5 attempts"}),
    [](const ::testing::TestParamInfo<Broken>& info) { return std::string(info.param.name); });

// ---- More answer bytes than one read holds -----------------------------------------

class HostileReadOverflow : public HostileCase {};

// An open report candidate whose delay bytes hold an answer's header, then a
// read whose first byte ends the candidate and whose rest are answers: the
// answer bytes of that one read outnumber the bytes read. None of them is
// channel A's delay, so the first attempt fails; the server answers the
// retry well, and the query returns true. Three runs, each on a connection
// of its own.
TEST_F(HostileReadOverflow, TheQueryIsAnsweredOnItsRetryAndTheHostStaysWhole) {
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_NO_FATAL_FAILURE(Connect({Link::kRaw, Act::kOverflow, {}, {}}));
        bool ok = false;
        const Watched watched = Query(ok);
        EXPECT_TRUE(ok) << device_->GetLastError();
        EXPECT_LE(watched.ms, kQueryBoundMs + kMarginMs);
        EXPECT_TRUE(HoldsGoodDelay());
    }
}

}  // namespace
}  // namespace e2e
