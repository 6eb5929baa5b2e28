#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

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

}  // namespace
