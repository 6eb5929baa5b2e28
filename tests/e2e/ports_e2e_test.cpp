// Probing ports for the instrument: the simulator on a pseudo-terminal
// answers, a pseudo-terminal that answers something else does not, a port
// another device holds is left alone, and every probed port is closed again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <veltor/veltor.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "sim/Simulator.h"

namespace {

// A pseudo-terminal whose far end answers every read with text that is no
// answer of the instrument's.
class Chatterbox {
public:
    Chatterbox() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        path_ = ::ptsname(master_);
        // Held open (without the library's lock) so that the master's reads
        // wait instead of failing between the probe's openings.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        thread_ = std::thread([this] {
            char buffer[256];
            static const char kReply[] = "OK\r\nready> ";
            // Ends when the last slave descriptor is closed (EIO).
            while (::read(master_, buffer, sizeof buffer) > 0 || errno == EINTR) {
                if (::write(master_, kReply, sizeof kReply - 1) < 0) {
                    break;
                }
            }
        });
    }
    ~Chatterbox() {
        ::close(slave_);
        thread_.join();
        ::close(master_);
    }
    const std::string& Path() const { return path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::thread thread_;
};

TEST(PortProbe, MarksOnlyTheInstrument) {
    vsim::Simulator sim;
    vsim::Simulator heldSim;
    Chatterbox other;
    CVeltor holder;
    ASSERT_EQ(holder.InitConnection(heldSim.SlavePath().c_str(), CSerDev::kBaud115200), 0);

    struct Case {
        const char* name;
        std::vector<int> speeds;
        veltor::PortProbe sim, other;
        int simBaud;
    };
    const Case cases[] = {
        {"default speed",
         {CSerDev::kBaud115200},
         veltor::PortProbe::Instrument,
         veltor::PortProbe::NoAnswer,
         CSerDev::kBaud115200},
        {"first of two speeds",
         {CSerDev::kBaud9600, CSerDev::kBaud115200},
         veltor::PortProbe::Instrument,
         veltor::PortProbe::NoAnswer,
         CSerDev::kBaud9600},
        {"bad speed", {7}, veltor::PortProbe::Failed, veltor::PortProbe::Failed, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        veltor::PortListOptions options;
        options.systemPorts = false;
        options.probe = true;
        options.baudIndexes = c.speeds;
        options.extraPaths = {sim.SlavePath(), other.Path(), heldSim.SlavePath(),
                              "/dev/veltor-none"};
        const std::vector<veltor::PortInfo> ports = veltor::ListPorts(options);
        ASSERT_EQ(ports.size(), 4u);
        EXPECT_EQ(ports[0].path, sim.SlavePath());
        EXPECT_EQ(ports[0].probe, c.sim) << ports[0].probeNote;
        EXPECT_EQ(ports[0].probeBaudIndex, c.simBaud);
        EXPECT_EQ(ports[1].probe, c.other) << ports[1].probeNote;
        EXPECT_EQ(ports[1].probeBaudIndex, -1);
        EXPECT_FALSE(ports[1].probeNote.empty());
        if (c.simBaud >= 0) {
            EXPECT_EQ(ports[2].probe, veltor::PortProbe::Busy) << ports[2].probeNote;
            EXPECT_EQ(ports[3].probe, veltor::PortProbe::Failed);
        }
    }
    // The holder's line was never opened by the probe, and its device still works.
    EXPECT_TRUE(holder.GetChannel('A')->CmdQuery()) << holder.GetLastError();
    // The probed port was closed again: it can be connected.
    CVeltor device;
    ASSERT_EQ(device.InitConnection(sim.SlavePath().c_str(), CSerDev::kBaud115200), 0)
        << device.GetLastError();
    EXPECT_TRUE(device.GetChannel('A')->CmdQuery()) << device.GetLastError();
}

TEST(PortProbe, ListingWithoutProbeOpensNothing) {
    vsim::Simulator sim;
    veltor::PortListOptions options;
    options.systemPorts = false;
    options.extraPaths = {sim.SlavePath()};
    const std::vector<veltor::PortInfo> ports = veltor::ListPorts(options);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].probe, veltor::PortProbe::NotProbed);
    EXPECT_EQ(sim.RawReceived().size(), 0u);
}

}  // namespace
