#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "sim/Simulator.h"
#include "sim_helpers.h"

namespace {

using simtest::Bytes;
using simtest::Request;
using vsim::Fault;
using vsim::FaultKind;

// The host side of the line, with plain POSIX calls.
class Host {
public:
    explicit Host(const std::string& path, speed_t speed = B115200) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0) {
            ADD_FAILURE() << "cannot open " << path;
            return;
        }
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Host() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    void Write(const Bytes& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    // Reads exactly n bytes, or fewer if none arrive for timeoutMs.
    Bytes Read(size_t n, int timeoutMs = 2000) {
        Bytes out;
        while (out.size() < n) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) {
                break;
            }
            uint8_t buf[256];
            const ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    Bytes Exchange(const Bytes& payload, size_t answerSize) {
        Write(Request(payload));
        return Read(answerSize);
    }
    // Reads until the line hangs up: true when poll says so and read then
    // ends as it does on a pulled adapter.
    bool SeesHangUp(int timeoutMs = 2000) {
        for (int reads = 0; reads < 1000; ++reads) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1) {
                return false;
            }
            uint8_t buf[64];
            const ssize_t got = read(fd_, buf, sizeof buf);
            if ((p.revents & POLLHUP) != 0) {
                return got == 0 || (got < 0 && errno == EIO);
            }
        }
        return false;
    }

private:
    int fd_ = -1;
};

const Bytes kAck = {0xAA, 0x01, 0xFF};

TEST(SimSimulator, RoundTripAfterFillerBurst) {
    vsim::Simulator sim;
    sim.SetChannelDelay(2, 4000);
    Host host(sim.SlavePath());
    Bytes burst(1024, 0x5A);
    host.Write(burst);
    ASSERT_TRUE(sim.WaitForRawBytes(1024, 2000));

    EXPECT_EQ(host.Exchange({0x80}, 3), kAck);
    EXPECT_EQ(host.Exchange({0x42, 0x0B, 0x00}, 8),
              (Bytes{0xAA, 0x06, 0x02, 0xA0, 0x0F, 0x00, 0x00, 0x49}));
    EXPECT_TRUE(sim.State().outputsEnabled);
    const auto frames = sim.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].valid);
    EXPECT_EQ(frames[0].payload, Bytes{0x80});
    EXPECT_EQ(frames[0].raw, Request({0x80}));
    EXPECT_EQ(sim.RawReceived().size(), 1024u + 6u + 8u);

    // A bad frame is logged as such and answered negatively.
    Bytes bad = Request({0x90});
    bad.back() ^= 0xFF;
    host.Write(bad);
    EXPECT_EQ(host.Read(2), (Bytes{0xEE, 0x00}));
    EXPECT_FALSE(sim.Frames().back().valid);
    EXPECT_TRUE(sim.State().outputsEnabled);

    sim.ClearLog();
    EXPECT_EQ(sim.FrameCount(), 0u);
    EXPECT_TRUE(sim.RawReceived().empty());
}

TEST(SimSimulator, HostMayCloseAndReopenTheLine) {
    vsim::Simulator sim;
    for (int round = 0; round < 3; ++round) {
        Host host(sim.SlavePath());
        EXPECT_EQ(host.Exchange({0x50}, 3), kAck) << round;
    }
    EXPECT_EQ(sim.FrameCount(), 3u);
}

struct FaultCase {
    const char* name;
    Fault fault;
    Bytes payload;
    Bytes expected;  // what the host reads for this request
    bool carriedOut;
};

Fault Make(FaultKind kind) {
    Fault f;
    f.kind = kind;
    return f;
}

TEST(SimSimulator, QueuedFaultsShapeTheAnswer) {
    Fault split = Make(FaultKind::Split);
    split.chunk = 2;
    split.gapMs = 1;
    Fault noise = Make(FaultKind::Noise);
    noise.noise = {0x01, 0x02};
    Fault delay = Make(FaultKind::Delay);
    delay.delayMs = 20;
    const Bytes query = {0xAA, 0x06, 0x00, 0x10, 0x00, 0x00, 0x00, 0xEA};
    const std::vector<FaultCase> cases = {
        {"negative", Make(FaultKind::Negative), {0x80}, {0xEE, 0x00}, false},
        {"bad checksum", Make(FaultKind::BadChecksum), {0x80}, {0xAA, 0x01, 0x00}, true},
        {"header only", Make(FaultKind::HeaderOnly), {0x40, 0x0B, 0x00}, {0xAA, 0x06}, true},
        {"wrong lead", Make(FaultKind::WrongLead), {0x80}, {0x51, 0x01, 0xFF}, true},
        {"split", split, {0x40, 0x0B, 0x00}, query, true},
        {"delay", delay, {0x80}, kAck, true},
        {"noise", noise, {0x80}, {0x01, 0x02, 0xAA, 0x01, 0xFF}, true},
        {"report first",
         Make(FaultKind::ReportFirst),
         {0x80},
         {0x51, 0x06, 0x00, 0x10, 0x00, 0x00, 0x00, 0xEA, 0xAA, 0x01, 0xFF},
         true},
    };
    for (const auto& c : cases) {
        vsim::Simulator sim;
        sim.SetChannelDelay(0, 16);
        Host host(sim.SlavePath());
        sim.QueueFault(c.fault);
        host.Write(Request(c.payload));
        EXPECT_EQ(host.Read(c.expected.size()), c.expected) << c.name;
        // The fault was for that request only: the next one is answered plainly.
        EXPECT_EQ(host.Exchange({0x70}, 3), kAck) << c.name;
        const auto state = sim.State();
        EXPECT_EQ(state.outputsEnabled, c.carriedOut && c.payload[0] == 0x80) << c.name;
        const auto frames = sim.Frames();
        ASSERT_EQ(frames.size(), 2u) << c.name;
        EXPECT_EQ(frames[0].fault, c.fault.kind) << c.name;
        EXPECT_EQ(frames[0].written, c.expected) << c.name;
        EXPECT_EQ(frames[1].fault, FaultKind::None) << c.name;
        EXPECT_EQ(sim.Sent().size(), c.expected.size() + 3) << c.name;
    }
}

TEST(SimSimulator, NoAnswerSwallowsTheRequest) {
    vsim::Simulator sim;
    Host host(sim.SlavePath());
    sim.QueueFaults(Make(FaultKind::NoAnswer), 2);
    host.Write(Request({0x80}));
    host.Write(Request({0x50}));
    ASSERT_TRUE(sim.WaitForFrames(2, 2000));
    // The first bytes the host sees belong to the third request.
    EXPECT_EQ(host.Exchange({0x42, 0x0B, 0x00}, 8),
              (Bytes{0xAA, 0x06, 0x02, 0x00, 0x00, 0x00, 0x00, 0xF8}));
    const auto s = sim.State();
    EXPECT_FALSE(s.outputsEnabled);
    EXPECT_FALSE(s.panelLocked);
    EXPECT_TRUE(sim.Frames()[0].answer.empty());
}

TEST(SimSimulator, FaultRateIsReproducibleFromItsSeed) {
    auto pattern = [](uint32_t seed) {
        vsim::Simulator sim;
        Host host(sim.SlavePath());
        sim.SetFaultRate(FaultKind::Negative, 0.5, seed);
        std::string marks;
        for (int i = 0; i < 24; ++i) {
            marks += host.Exchange({0x80}, 2)[0] == 0xEE ? 'N' : 'A';
            if (marks.back() == 'A') {
                host.Read(1);  // the checksum of AA 01 FF
            }
        }
        return marks;
    };
    const std::string first = pattern(7);
    EXPECT_EQ(pattern(7), first);
    EXPECT_NE(first.find('N'), std::string::npos);
    EXPECT_NE(first.find('A'), std::string::npos);
}

TEST(SimSimulator, UnaskedOutputReachesTheHost) {
    vsim::Simulator sim;
    Host host(sim.SlavePath());
    sim.SendDelayReport(2, 4000);
    EXPECT_EQ(host.Read(8), (Bytes{0x51, 0x06, 0x02, 0xA0, 0x0F, 0x00, 0x00, 0x49}));
    const Bytes two = {0x51, 0x06, 0x01, 0x01, 0x00, 0x00, 0x00, 0xF8, 0x51, 0x06};
    sim.SendBytes(two);
    EXPECT_EQ(host.Read(two.size()), two);
    sim.SendChunks({{0x51, 0x06, 0x03}, {0x00, 0x00, 0x00, 0x00, 0xF7}}, 5);
    EXPECT_EQ(host.Read(8), (Bytes{0x51, 0x06, 0x03, 0x00, 0x00, 0x00, 0x00, 0xF7}));
}

TEST(SimSimulator, PacingFollowsTheHostsLineSpeed) {
    vsim::Simulator sim;
    Host host(sim.SlavePath(), B9600);
    EXPECT_EQ(sim.LineSpeed(), 9600.0);
    sim.SetPacing(true);
    const Bytes bytes(48, 0x00);
    const auto start = std::chrono::steady_clock::now();
    sim.SendBytes(bytes);  // 480 bit times at 9600 bit/s: 50 ms
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(49));
    EXPECT_EQ(host.Read(bytes.size()), bytes);
}

Bytes Report(int channel, uint32_t counts) {
    return vsim::Instrument::DelayReport(channel, counts);
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Each case: a faulted request, then an unasked marker report, then a plain
// request. The marker shows what went out before the next request arrived.
TEST(SimSimulator, AnswersHeldBackOrMixedWithReports) {
    const Bytes query0 = {0xAA, 0x06, 0x00, 0x10, 0x00, 0x00, 0x00, 0xEA};
    Fault late = Make(FaultKind::Late);
    late.delayMs = 5;
    Fault after = Make(FaultKind::ReportAfter);
    after.reportChannel = 2;
    after.reportCounts = 4000;
    Fault cut = Make(FaultKind::CutReport);
    cut.reportChannel = 5;
    Fault cutLonger = cut;
    cutLonger.cut = 5;
    cutLonger.reportCounts = 0x04030201;
    Fault first = Make(FaultKind::ReportFirst);
    first.reportChannel = 7;
    first.reportCounts = 1;
    struct Case {
        const char* name;
        Fault fault;
        Bytes payload;
        Bytes beforeNext;  // read before the next request is written
        Bytes afterNext;   // read once it is
    };
    const std::vector<Case> cases = {
        {"late", late, {0x40, 0x0B, 0x00}, {}, Concat(query0, kAck)},
        {"report after", after, {0x80}, Concat(kAck, Report(2, 4000)), kAck},
        {"cut report", cut, {0x80}, {0x51, 0x06, 0x05, 0xAA, 0x01, 0xFF}, kAck},
        {"cut longer", cutLonger, {0x80}, {0x51, 0x06, 0x05, 0x01, 0x02, 0xAA, 0x01, 0xFF}, kAck},
        {"report first, chosen", first, {0x80}, Concat(Report(7, 1), kAck), kAck},
    };
    const Bytes marker = Report(3, 0xBEEF);
    for (const auto& c : cases) {
        vsim::Simulator sim;
        sim.SetChannelDelay(0, 16);
        Host host(sim.SlavePath());
        sim.QueueFault(c.fault);
        host.Write(Request(c.payload));
        ASSERT_TRUE(sim.WaitForFrames(1, 2000)) << c.name;
        EXPECT_EQ(host.Read(c.beforeNext.size()), c.beforeNext) << c.name;
        sim.SendBytes(marker);
        EXPECT_EQ(host.Read(marker.size()), marker) << c.name;
        EXPECT_EQ(sim.Frames()[0].held, c.fault.kind == FaultKind::Late) << c.name;

        EXPECT_EQ(host.Exchange({0x70}, c.afterNext.size()), c.afterNext) << c.name;
        EXPECT_EQ(sim.State().requestCount, 2u) << c.name;
        const auto frames = sim.Frames();
        ASSERT_EQ(frames.size(), 2u) << c.name;
        EXPECT_FALSE(frames[0].held) << c.name;
        EXPECT_EQ(frames[0].fault, c.fault.kind) << c.name;
        const Bytes faulted = c.beforeNext.empty() ? query0 : c.beforeNext;
        EXPECT_EQ(frames[0].written, faulted) << c.name;
        EXPECT_EQ(frames[1].lateBefore, c.beforeNext.empty() ? query0 : Bytes{}) << c.name;
        EXPECT_EQ(frames[1].written, kAck) << c.name;
    }
}

TEST(SimSimulator, ReportStreamIsCompleteInOrderAndNeverSplitsAnAnswer) {
    vsim::Simulator sim;
    Host host(sim.SlavePath());
    const uint32_t firstCounts = 0xFFFFFFF0;  // wraps around during the run
    sim.StartReportStream(-1, firstCounts, 500);
    size_t reports = 0;
    size_t answers = 0;
    // Reads one message, a report or an acknowledgement, and checks it.
    auto readOne = [&] {
        const Bytes lead = host.Read(1);
        ASSERT_EQ(lead.size(), 1u);
        if (lead[0] == 0xAA) {
            EXPECT_EQ(host.Read(2), (Bytes{0x01, 0xFF}));
            ++answers;
            return;
        }
        const int ch = static_cast<int>(reports % vsim::kChannelCount);
        const Bytes expected = Report(ch, firstCounts + static_cast<uint32_t>(reports));
        ASSERT_EQ(Concat(lead, host.Read(7)), expected) << "report " << reports;
        ++reports;
    };
    for (int i = 0; i < 20; ++i) {
        host.Write(Request({0x70}));
        for (size_t had = answers; answers == had && !testing::Test::HasFailure();) {
            readOne();
        }
    }
    while (reports < 40 && !testing::Test::HasFailure()) {
        readOne();
    }
    const size_t streamed = sim.StopReportStream();
    ASSERT_GE(streamed, reports);
    while (reports < streamed && !testing::Test::HasFailure()) {
        readOne();
    }
    EXPECT_EQ(answers, 20u);
    EXPECT_EQ(sim.StopReportStream(), 0u);
}

TEST(SimSimulator, HangUpLooksLikeAPulledAdapter) {
    // Called from the test, with a report stream on the line.
    {
        vsim::Simulator sim;
        Host host(sim.SlavePath());
        sim.StartReportStream(1, 0, 1000);
        EXPECT_EQ(host.Read(8), Report(1, 0));
        sim.HangUp();
        EXPECT_TRUE(host.SeesHangUp());
        EXPECT_TRUE(sim.IsHungUp());
        EXPECT_GE(sim.StopReportStream(), 1u);
        const size_t sent = sim.Sent().size();
        sim.SendDelayReport(0, 1);  // dropped, and does not block
        EXPECT_EQ(sim.Sent().size(), sent);
        EXPECT_EQ(sim.LineSpeed(), 0.0);
    }
    // As a fault: the request is logged but not carried out, and an answer
    // held back by the request before still goes out first.
    {
        vsim::Simulator sim;
        Host host(sim.SlavePath());
        sim.QueueFault(Make(FaultKind::Late));
        sim.QueueFault(Make(FaultKind::HangUp));
        host.Write(Request({0x70}));
        host.Write(Request({0x80}));
        EXPECT_TRUE(host.SeesHangUp());
        const auto frames = sim.Frames();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[1].fault, FaultKind::HangUp);
        EXPECT_EQ(frames[1].lateBefore, kAck);
        EXPECT_TRUE(frames[1].written.empty());
        EXPECT_EQ(sim.Sent(), kAck);
        EXPECT_FALSE(sim.State().outputsEnabled);
        sim.HangUp();  // again: nothing left to do
    }
}

TEST(SimSimulator, ReadPacingTakesBytesAtTheLineSpeed) {
    struct Case {
        speed_t speed;
        double bitsPerSecond;
        size_t filler;
    };
    for (const Case& c : {Case{B9600, 9600, 200}, Case{B115200, 115200, 2000}}) {
        vsim::Simulator sim;
        Host host(sim.SlavePath(), c.speed);
        sim.SetReadPacing(true);
        const auto start = std::chrono::steady_clock::now();
        host.Write(Concat(Bytes(c.filler, 0x5A), Request({0x80})));
        // The request behind the filler is answered only once all is taken.
        EXPECT_EQ(host.Read(3, 5000), kAck) << c.bitsPerSecond;
        const double tookMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        const double lineMs = (c.filler + 6) * 10 * 1000.0 / c.bitsPerSecond;
        EXPECT_GE(tookMs, 0.95 * lineMs) << c.bitsPerSecond;
        EXPECT_LE(tookMs, 3 * lineMs + 500) << c.bitsPerSecond;  // keeps up with a fast line
        EXPECT_EQ(sim.RawReceived().size(), c.filler + 6) << c.bitsPerSecond;
    }
    // The simulator goes away promptly in the middle of a slow read: well
    // before the line would have delivered the bytes, however loaded the
    // machine.
    const auto start = std::chrono::steady_clock::now();
    {
        vsim::Simulator sim;
        Host host(sim.SlavePath(), B300);  // 1000 bytes: 33 s on the line
        sim.SetReadPacing(true);
        host.Write(Bytes(1000, 0x5A));
        ASSERT_TRUE(sim.WaitForRawBytes(1, 10000));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

}  // namespace
