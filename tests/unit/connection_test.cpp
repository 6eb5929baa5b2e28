// The connection's life over a pseudo-terminal: opening, a hang-up that
// makes it lost (told once), staying lost, and closing while a command
// holds the line.
#ifndef _WIN32
#include "serial/Connection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "serial/ReceiveSide.h"

namespace {

using veltor::Connection;
using State = Connection::State;

struct NoSink : veltor::ReceiveSink {
    void Unasked(const veltor::SplitOutput&, const char*) override {}
};

// Counts the hook's calls, and lets a test await the first.
struct CountingHook : veltor::LineLostHook {
    void LineLost() override {
        std::lock_guard<std::mutex> hold(lock);
        ++calls;
        changed.notify_all();
    }
    void AwaitCall() {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return calls > 0; });
    }
    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;
};

// The instrument's end of a pseudo-terminal; the connection opens the other.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        name = ptsname(master);
    }
    ~Pty() { HangUp(); }
    void HangUp() {
        if (master >= 0) {
            close(master);
            master = -1;
        }
    }
    int master = -1;
    std::string name;
};

struct ConnectionTest : ::testing::Test {
    NoSink sink;
    CountingHook hook;
    veltor::ReceiveSide receive{sink};
    Connection connection{receive, hook};
    std::string error;
};

TEST_F(ConnectionTest, AHangUpMakesAnOpenConnectionLostAndIsToldOnce) {
    EXPECT_EQ(connection.GetState(), State::kClosed);
    Pty pty;
    ASSERT_EQ(connection.Open(pty.name.c_str(), 115200, error), 0) << error;
    EXPECT_EQ(connection.GetState(), State::kOpen);
    EXPECT_TRUE(connection.Connected());

    pty.HangUp();
    hook.AwaitCall();
    EXPECT_EQ(connection.GetState(), State::kLost);
    EXPECT_FALSE(connection.Connected());
    // A commanding thread that finds the port gone too tells no one again.
    connection.MarkLost();
    EXPECT_EQ(hook.calls, 1);

    connection.Close();
    EXPECT_EQ(connection.GetState(), State::kClosed);
    // The reconnection's failed try keeps commands failing as on a lost line,
    // and a later opening starts from there.
    connection.StayLost();
    EXPECT_EQ(connection.GetState(), State::kLost);
    Pty again;
    ASSERT_EQ(connection.Open(again.name.c_str(), 115200, error), 0) << error;
    EXPECT_EQ(connection.GetState(), State::kOpen);
    // An open connection is not marked lost by a failed try elsewhere.
    connection.StayLost();
    EXPECT_EQ(connection.GetState(), State::kOpen);
}

TEST_F(ConnectionTest, OpeningFailsWithoutAPortOrOnAnOpenOne) {
    EXPECT_EQ(connection.Open("/dev/veltor-no-such-port", 115200, error), -1);
    EXPECT_NE(error.find("cannot open the port"), std::string::npos) << error;
    connection.Close();
    EXPECT_EQ(connection.GetState(), State::kClosed);

    Pty pty;
    ASSERT_EQ(connection.Open(pty.name.c_str(), 115200, error), 0) << error;
    EXPECT_EQ(connection.Open(pty.name.c_str(), 115200, error), -1);
    EXPECT_EQ(error, "the connection is already open");
    EXPECT_EQ(connection.GetState(), State::kOpen);
}

TEST_F(ConnectionTest, AClosePendsWhileACommandHoldsTheLine) {
    Pty pty;
    ASSERT_EQ(connection.Open(pty.name.c_str(), 115200, error), 0) << error;
    connection.Commands().lock();
    std::thread closer([this] { connection.Close(); });
    // The command sees the close at its next step; the line is still open.
    while (!connection.Closing()) {
        std::this_thread::yield();
    }
    EXPECT_EQ(connection.GetState(), State::kClosing);
    EXPECT_TRUE(connection.Connected());
    connection.Commands().unlock();
    closer.join();
    EXPECT_EQ(connection.GetState(), State::kClosed);
    EXPECT_FALSE(connection.Closing());
}

}  // namespace
#endif
