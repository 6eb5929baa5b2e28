// End-to-end support: a device connected to the simulated instrument over a
// real pseudo-terminal, through the library's own serial code.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <veltor/veltor.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/Simulator.h"
#include "sim/Wire.h"

namespace e2e {

// How many entries a folder of /proc holds (threads, descriptors).
inline size_t Entries(const char* path) {
    DIR* dir = ::opendir(path);
    size_t n = 0;
    while (dir != nullptr && ::readdir(dir) != nullptr) {
        ++n;
    }
    if (dir != nullptr) {
        ::closedir(dir);
    }
    return n;
}

// Waits, at most ten seconds, until the kernel no longer lists the thread
// `tid` of this process: a joined thread may be listed for a moment while
// the kernel ends it, and nothing tells when it is gone.
inline void AwaitThreadGone(long tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::access(path.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The process's threads once those it joined are gone. A joined thread may
// still be listed for a moment while the kernel ends it, and nothing tells
// when it is gone: the list is looked at again until it holds no more than
// `atMost`, for at most ten seconds.
inline size_t ThreadsOnceJoined(size_t atMost) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t now = Entries("/proc/self/task");
    while (now > atMost && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        now = Entries("/proc/self/task");
    }
    return now;
}

typedef std::vector<uint8_t> Bytes;

// A device that also counts what reached HandleUnsolicited, so that a test
// can await the watcher instead of sleeping, and that opens up the serial
// device's protected exchange for tests.
class TestDevice : public CVeltor {
public:
    using CSerDev::SendReceive;
    using CSerDev::Write;

    // The watcher calls the override below until the connection is closed:
    // closed here, before this class's members are gone.
    ~TestDevice() override { CloseConnection(); }

    void HandleUnsolicited(unsigned char* bytes, unsigned long count) override {
        CVeltor::HandleUnsolicited(bytes, count);
        std::lock_guard<std::mutex> lock(mutex_);
        unsolicited_.insert(unsolicited_.end(), bytes, bytes + count);
        ++calls_;
        if (throwFromHandler_) {
            throwFromHandler_ = false;
            changed_.notify_all();
            throw std::runtime_error("host handler failed");
        }
        changed_.notify_all();
    }

    // Waits until at least n unasked bytes in all have been handled.
    bool WaitForUnsolicited(std::size_t n, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return unsolicited_.size() >= n; });
    }
    Bytes Unsolicited() {
        std::lock_guard<std::mutex> lock(mutex_);
        return unsolicited_;
    }
    void ThrowOnNextUnsolicited() {
        std::lock_guard<std::mutex> lock(mutex_);
        throwFromHandler_ = true;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Bytes unsolicited_;
    int calls_ = 0;
    bool throwFromHandler_ = false;
};

const int kBaud115200 = 6;

// Connects the device to the simulated instrument and waits until the
// filler burst is through, so that the logs then hold only what follows.
// Call under ASSERT_NO_FATAL_FAILURE.
inline void ConnectPastTheBurst(vsim::Simulator& sim, CVeltor& device) {
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), kBaud115200), 0)
        << device.GetLastError();
    ASSERT_TRUE(sim.WaitForRawBytes(1024, 5000));
    sim.ClearLog();
}

// Names each case of a parameterized suite by its `name`.
struct ByName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
        return info.param.name;
    }
};

// One simulated instrument and one device connected to it, the burst taken.
class Connected : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(ConnectPastTheBurst(sim, device)); }

    // The payloads of the valid frames received since the last ClearLog.
    std::vector<Bytes> Payloads() const {
        std::vector<Bytes> out;
        for (const vsim::Frame& f : sim.Frames()) {
            out.push_back(f.payload);
        }
        return out;
    }

    // After a case that may have left an answer owed: a query, whose own
    // answer tells that every earlier one has come, puts the device back in
    // step, and the logs are emptied.
    void BackInStep() {
        ASSERT_TRUE(device.GetChannel('H')->CmdQuery());
        sim.ClearLog();
    }

    vsim::Simulator sim;
    TestDevice device;
};

// An answer this late comes well after an attempt of 500 ms has given up,
// however late a loaded machine wakes the waiting thread: an answer that has
// arrived when the thread looks is taken, whatever the time.
const int kLateAnswerMs = 1500;

inline vsim::Fault Make(vsim::FaultKind kind) {
    vsim::Fault fault;
    fault.kind = kind;
    return fault;
}

inline Bytes Report(int channel, uint32_t counts) {
    return vsim::Instrument::DelayReport(channel, counts);
}

// The reports in the bytes a device handed to HandleUnsolicited, as
// (channel, counts), found independently of the library.
inline std::vector<std::pair<int, uint32_t>> ReportsIn(const Bytes& bytes) {
    std::vector<std::pair<int, uint32_t>> found;
    for (size_t i = 0; i + 8 <= bytes.size(); ++i) {
        const uint8_t* r = &bytes[i];
        if (r[0] == 0x51 && r[1] == 6 && r[2] < 8 && vsim::ByteSum(r + 1, 7) == 0) {
            found.push_back({r[2], vsim::ReadLe32(r + 3)});
            i += 7;
        }
    }
    return found;
}

// Runs `commands` commands back to back (a query of each channel in turn
// every third, else outputs on) while the instrument streams reports
// `intervalUs` apart: every report reaches the device whole, once and in
// order, whatever the commands' answers fall between.
inline void CommandsLoseNoReport(vsim::Simulator& sim, TestDevice& device, int commands,
                                 int intervalUs) {
    sim.StartReportStream(-1, 1, intervalUs);
    for (int i = 0; i < commands; ++i) {
        ASSERT_TRUE(i % 3 ? device.CmdEnableOutputs()
                          : device.GetChannel(static_cast<char>('A' + i % 8))->CmdQuery())
            << i << ": " << device.GetLastError();
    }
    const size_t sent = sim.StopReportStream();
    ASSERT_GT(sent, 0u);
    ASSERT_TRUE(device.WaitForUnsolicited(8 * sent));
    const auto reports = ReportsIn(device.Unsolicited());
    ASSERT_EQ(reports.size(), sent);
    for (size_t i = 0; i < reports.size(); ++i) {
        ASSERT_EQ(reports[i].second, i + 1) << "report " << i;
        ASSERT_EQ(reports[i].first, static_cast<int>(i % 8)) << "report " << i;
    }
}

}  // namespace e2e
