// The reconnecting policy over real lines: a simulated instrument that goes
// away and a new one that comes up on the same port name, by a stable
// pseudo-terminal link and by a TCP port.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <veltor/SGeneral.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "e2e_support.h"
#include "sim/TcpServer.h"

namespace {

using e2e::Entries;
using e2e::kBaud115200;
using e2e::TestDevice;

// What the reconnect listener heard, to await instead of sleeping.
class Heard {
public:
    CVeltor::ReconnectListener Listener() {
        return [this](CVeltor::ReconnectEvent event) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(event);
            changed_.notify_all();
        };
    }
    // Waits until `event` was heard `n` times in all (a guard against a
    // hang, not a measure of speed).
    bool Await(CVeltor::ReconnectEvent event, size_t n = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return Count(event) >= n; });
    }
    size_t Heard_(CVeltor::ReconnectEvent event) {
        std::lock_guard<std::mutex> lock(mutex_);
        return Count(event);
    }

private:
    size_t Count(CVeltor::ReconnectEvent event) const {
        size_t n = 0;
        for (CVeltor::ReconnectEvent e : events_) {
            n += e == event ? 1 : 0;
        }
        return n;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CVeltor::ReconnectEvent> events_;
};

// An instrument behind a port name that outlives it: a symbolic link to the
// pseudo-terminal (as `veltor sim --link` makes), or a fixed TCP port.
class Stand {
public:
    explicit Stand(bool tcp) : tcp_(tcp) {
        char dir[] = "/tmp/veltor-reconnect-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        dir_ = dir;
        link_ = dir_ + "/port";
    }
    ~Stand() {
        Stop();
        ::unlink(link_.c_str());
        ::rmdir(dir_.c_str());
    }
    // A new instrument behind the same name.
    vsim::Simulator& Start() {
        sim_.reset(new vsim::Simulator);
        if (tcp_) {
            server_.reset(new vsim::TcpServer(sim_->SlavePath(), "127.0.0.1", port_));
            port_ = server_->Port();
        } else {
            const std::string fresh = link_ + ".new";
            ::unlink(fresh.c_str());
            EXPECT_EQ(::symlink(sim_->SlavePath().c_str(), fresh.c_str()), 0);
            EXPECT_EQ(::rename(fresh.c_str(), link_.c_str()), 0);
        }
        return *sim_;
    }
    // The instrument goes away: the line hangs up, the server stops.
    void Stop() {
        // Nothing answers to the name until the next instrument is up. The
        // name goes first: once the line is gone, the terminal's number may
        // be given to another program's pseudo-terminal, which a reconnect
        // through a stale name would take from it.
        ::unlink(link_.c_str());
        server_.reset();
        if (sim_) {
            sim_->HangUp();
        }
        sim_.reset();
    }
    std::string Name() const {
        return tcp_ ? "socket://127.0.0.1:" + std::to_string(port_) : link_;
    }

private:
    bool tcp_;
    std::string dir_;
    std::string link_;
    uint16_t port_ = 0;
    std::unique_ptr<vsim::Simulator> sim_;
    std::unique_ptr<vsim::TcpServer> server_;
};

struct Kind {
    const char* name;
    bool tcp;
    bool resend;
};

class Reconnecting : public ::testing::TestWithParam<Kind> {};

CVeltor::ReconnectPolicy Quick(bool resend) {
    CVeltor::ReconnectPolicy policy;
    policy.firstMs = 10;
    policy.longestMs = 80;
    policy.resendUpdate = resend;
    return policy;
}

TEST_P(Reconnecting, ALostLineComesBackOnTheSameNameWithItsUpdate) {
    const Kind& k = GetParam();
    Stand stand(k.tcp);
    stand.Start();
    TestDevice device;
    Heard heard;
    device.SetReconnectListener(heard.Listener());
    device.SetReconnect(Quick(k.resend));
    ASSERT_EQ(device.InitConnection(stand.Name().c_str(), kBaud115200), 0) << k.name;
    ASSERT_TRUE(device.CmdUpdateAll()) << device.GetLastError();

    stand.Stop();
    ASSERT_TRUE(heard.Await(CVeltor::kLineLost)) << k.name;
    // Away, commands fail at once as on any lost line.
    {
        CSerDev::Hold hold(device);
        EXPECT_FALSE(device.GetChannel('A')->CmdEnable());
        EXPECT_EQ(device.GetLastOutcome(), CSerDev::kPortLost) << k.name;
    }
    // The update sent again takes the host's objects as they are by then.
    {
        CSerDev::Hold hold(device);
        device.GetPropA()->bLockFP = true;
    }

    vsim::Simulator& sim = stand.Start();
    ASSERT_TRUE(heard.Await(CVeltor::kLineBack)) << k.name;
    EXPECT_TRUE(device.IsConnected());
    if (k.resend) {
        ASSERT_TRUE(heard.Await(CVeltor::kUpdateResent)) << device.GetLastError();
    }
    EXPECT_TRUE(device.CmdEnableOutputs()) << device.GetLastError();
    const vsim::InstrumentState state = sim.State();
    EXPECT_EQ(state.logicImplemented, k.resend) << k.name;
    EXPECT_EQ(state.panelLocked, k.resend) << k.name;
    EXPECT_EQ(heard.Heard_(CVeltor::kLineBack), 1u) << k.name;
    EXPECT_EQ(heard.Heard_(CVeltor::kUpdateFailed), 0u) << k.name;
}

INSTANTIATE_TEST_SUITE_P(Lines, Reconnecting,
                         ::testing::Values(Kind{"LinkResend", false, true},
                                           Kind{"LinkNoResend", false, false},
                                           Kind{"TcpResend", true, true}),
                         e2e::ByName());

TEST(ReconnectingEnds, CloseWhileAwayEndsTheTriesAndTheDeviceLeavesNothingBehind) {
    const size_t threads = Entries("/proc/self/task");
    const size_t fds = Entries("/proc/self/fd");
    {
        Stand stand(false);
        stand.Start();
        TestDevice device;
        Heard heard;
        device.SetReconnectListener(heard.Listener());
        device.SetReconnect(Quick(false));
        ASSERT_EQ(device.InitConnection(stand.Name().c_str(), kBaud115200), 0);
        stand.Stop();
        ASSERT_TRUE(heard.Await(CVeltor::kLineLost));

        // Closed on purpose, the line is not opened again.
        EXPECT_EQ(device.CloseConnection(), 0);
        EXPECT_FALSE(device.GetChannel('A')->CmdEnable());
        EXPECT_EQ(device.GetLastOutcome(), CSerDev::kNotConnected);
        vsim::Simulator& sim = stand.Start();
        // Many times the longest interval: no try reaches the new line.
        EXPECT_FALSE(sim.WaitForRawBytes(1, 800));
        EXPECT_FALSE(device.IsConnected());
        EXPECT_EQ(heard.Heard_(CVeltor::kLineBack), 0u);

        // A new connection keeps the policy.
        ASSERT_EQ(device.InitConnection(stand.Name().c_str(), kBaud115200), 0);
        stand.Stop();
        ASSERT_TRUE(heard.Await(CVeltor::kLineLost, 2));
        stand.Start();
        ASSERT_TRUE(heard.Await(CVeltor::kLineBack));
        EXPECT_TRUE(device.CmdEnableOutputs()) << device.GetLastError();
    }
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELTOR_UNDER_TSAN 1
#endif
#endif
#if !defined(VELTOR_UNDER_TSAN) && !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer starts a thread of its own at a time of its choosing.
    EXPECT_EQ(e2e::ThreadsOnceJoined(threads), threads);
#else
    (void)threads;
#endif
    EXPECT_EQ(Entries("/proc/self/fd"), fds);
}

TEST(ReconnectingEnds, ADeviceDestroyedInItsListenerLetsTheThreadEnd) {
    Stand stand(false);
    stand.Start();
    std::mutex mutex;
    std::condition_variable gone;
    bool destroyed = false;
    TestDevice* device = new TestDevice;
    device->SetReconnectListener([&](CVeltor::ReconnectEvent event) {
        if (event == CVeltor::kLineLost) {
            delete device;
            std::lock_guard<std::mutex> lock(mutex);
            destroyed = true;
            gone.notify_all();
        }
    });
    device->SetReconnect(Quick(false));
    ASSERT_EQ(device->InitConnection(stand.Name().c_str(), kBaud115200), 0);
    stand.Stop();
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(gone.wait_for(lock, std::chrono::seconds(20), [&] { return destroyed; }));
}

}  // namespace

namespace {

// A timing mode of the host's whose check throws once armed.
class ThrowingMode : public CNull {
public:
    std::atomic<bool> armed{false};
    bool CheckParameters(const CVeltor* device, char channel) const override {
        if (armed) {
            throw std::runtime_error("host's check failed");
        }
        return CNull::CheckParameters(device, channel);
    }
};

// The update sent again runs the host's timing-mode code on the
// reconnecting thread: an exception there is that update's failure, told
// to the listener with its text, and the policy goes on.
TEST(ReconnectingHostCode, AnExceptionInTheResentUpdateIsItsFailure) {
    Stand stand(false);
    stand.Start();
    TestDevice device;
    ThrowingMode mode;
    device.GetChannel('A')->SetTimingMode(&mode);
    Heard heard;
    device.SetReconnectListener(heard.Listener());
    device.SetReconnect(Quick(true));
    ASSERT_EQ(device.InitConnection(stand.Name().c_str(), kBaud115200), 0);
    ASSERT_TRUE(device.CmdUpdateAll()) << device.GetLastError();
    mode.armed = true;

    stand.Stop();
    ASSERT_TRUE(heard.Await(CVeltor::kLineLost));
    stand.Start();
    ASSERT_TRUE(heard.Await(CVeltor::kUpdateFailed));
    EXPECT_NE(device.GetLastError().find("host's check failed"), std::string::npos)
        << device.GetLastError();
    // The policy goes on: the next loss is seen and mended too.
    mode.armed = false;
    stand.Stop();
    ASSERT_TRUE(heard.Await(CVeltor::kLineLost, 2));
    stand.Start();
    ASSERT_TRUE(heard.Await(CVeltor::kUpdateResent));
    device.GetChannel('A')->SetTimingMode(nullptr);
}

}  // namespace
