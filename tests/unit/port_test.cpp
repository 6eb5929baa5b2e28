// The terminal link on a pseudo-terminal that nobody reads.
#ifndef _WIN32
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "platform/Platform.h"
#include "serial/link/Link.h"

namespace pf = veltor::platform;
namespace lk = veltor::link;

namespace {

class UnreadTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        port = lk::Open(ptsname(master));
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(lk::Configure(port, 115200), 0);
    }
    void TearDown() override {
        pf::CloseHandle(port);
        if (master >= 0) {
            close(master);
        }
    }
    int master = -1;
    veltor::Handle port = nullptr;
};

TEST_F(UnreadTerminal, AWriteThatCannotCompleteIsGivenUp) {
    // Far more than the terminal buffers: the write stays pending until its
    // bound, then it is cancelled and reported as failed instead of hanging.
    std::vector<unsigned char> bytes(8 << 20, 0x55);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lk::Write(port, bytes.data(), static_cast<int>(bytes.size()), 100));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    // The port still works afterwards.
    const unsigned char one = 0x42;
    EXPECT_TRUE(lk::Write(port, &one, 1, 1000));
}

TEST_F(UnreadTerminal, ASecondOpenFailsWhileTheFirstHoldsThePort) {
    EXPECT_EQ(lk::Open(ptsname(master)), nullptr);
    EXPECT_EQ(lk::Open("/dev/veltor-no-such-port"), nullptr);
}

TEST_F(UnreadTerminal, BytesWaitingAreReadAndPurged) {
    veltor::Handle stop = pf::CreateEvent(false);
    lk::Watch* watch = lk::WatchOpen(port, stop);
    ASSERT_NE(watch, nullptr);
    const unsigned char sent[] = {1, 2, 3};
    ASSERT_EQ(write(master, sent, sizeof(sent)), 3);
    ASSERT_EQ(lk::WatchWait(watch), lk::WatchEvent::Received);
    unsigned char got[16];
    EXPECT_EQ(lk::WatchRead(watch, got, sizeof(got)), 3);
    EXPECT_EQ(lk::WatchRead(watch, got, sizeof(got)), 0);
    pf::SetEvent(stop);
    EXPECT_EQ(lk::WatchWait(watch), lk::WatchEvent::Stop);
    lk::WatchClose(watch);
    pf::CloseHandle(stop);
}

TEST_F(UnreadTerminal, EveryBaudIndexSetsItsSpeed) {
    const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200};
    for (int index = 0; index < 7; ++index) {
        ASSERT_EQ(lk::Configure(port, pf::BaudForIndex(index)), 0) << index;
        termios line{};
        ASSERT_EQ(tcgetattr(master, &line), 0);
        EXPECT_EQ(cfgetospeed(&line), speeds[index]) << index;
        // Nothing is queued on a pseudo-terminal: draining returns at once.
        lk::Drain(port, 1000);
    }
    EXPECT_EQ(lk::Configure(port, 300), -4);
}

TEST_F(UnreadTerminal, AHangUpIsTheEndOfThePortAfterWhatWasQueued) {
    veltor::Handle stop = pf::CreateEvent(false);
    lk::Watch* watch = lk::WatchOpen(port, stop);
    ASSERT_NE(watch, nullptr);
    unsigned char got[16];
    EXPECT_EQ(lk::ReadQueued(port, got, sizeof(got)), 0);  // nothing yet
    const unsigned char sent[] = {7, 8};
    ASSERT_EQ(write(master, sent, sizeof(sent)), 2);
    close(master);
    master = -1;
    // What was queued before the hang-up may still be read; then the port
    // reads as gone, never as readable with nothing in it.
    long total = 0;
    for (int i = 0; i < 4; ++i) {
        const lk::WatchEvent event = lk::WatchWait(watch);
        const long count =
            event == lk::WatchEvent::Received ? lk::WatchRead(watch, got, sizeof(got)) : -1;
        if (count < 0) {
            break;
        }
        total += count;
        ASSERT_LT(i, 3) << "the watcher would spin";
    }
    EXPECT_LE(total, 2);
    EXPECT_EQ(lk::ReadQueued(port, got, sizeof(got)), -1);
    lk::WatchClose(watch);
    pf::CloseHandle(stop);
}

}  // namespace
#endif
