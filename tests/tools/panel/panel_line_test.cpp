// The panel's connection state over a real line: the simulated instrument
// on a pseudo-terminal, reached through a link that a new instrument takes
// over after the first one hung up.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "sim/Simulator.h"
#include "tools/panel/Panel.h"

using namespace veltor::panel;

namespace {

class PanelLine : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/veltor-panel-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_Dir = dir;
        m_Link = m_Dir + "/port";
        Serve();
    }
    void TearDown() override {
        unlink(m_Link.c_str());
        rmdir(m_Dir.c_str());
    }

    // A new instrument behind the link.
    void Serve() {
        m_Sim = std::make_unique<vsim::Simulator>();
        unlink(m_Link.c_str());
        ASSERT_EQ(symlink(m_Sim->SlavePath().c_str(), m_Link.c_str()), 0);
    }

    std::unique_ptr<vsim::Simulator> m_Sim;
    std::string m_Dir;
    std::string m_Link;
};

// Reads a page's event stream until the panel says `word` of the line;
// false when it did not within a deadline far beyond the reconnect's own
// (counted in time, not turns: events that come often end turns early).
bool AwaitConnection(Panel& panel, long long& seen, std::string& connection,
                     const std::string& word) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (connection != word && std::chrono::steady_clock::now() < deadline) {
        panel.NextEvents(seen, connection, 100);
    }
    return connection == word;
}

TEST_F(PanelLine, PagesSeeTheLineLostReconnectingAndBack) {
    CVeltor device;
    ASSERT_EQ(device.InitConnection(m_Link.c_str(), CSerDev::kBaud115200), 0);
    PanelConfig config;
    config.access = {"0123456789abcdef0123456789abcdef", PanelHosts("127.0.0.1", 8123)};
    config.reconnect = true;
    Panel panel(device, config, veltor::setup::Setup());
    long long seen = -1;
    std::string connection;
    EXPECT_TRUE(AwaitConnection(panel, seen, connection, "connected"));

    // The name goes before the line: a freed terminal number may go to
    // another program's pseudo-terminal, and a reconnect through a stale
    // name would take it.
    unlink(m_Link.c_str());
    m_Sim->HangUp();
    EXPECT_TRUE(AwaitConnection(panel, seen, connection, "reconnecting"));

    Serve();
    EXPECT_TRUE(AwaitConnection(panel, seen, connection, "connected"));
    device.CloseConnection();
    EXPECT_TRUE(AwaitConnection(panel, seen, connection, "lost"));
}

TEST_F(PanelLine, TheStateIsServedWhileACommandWaitsOnTheLine) {
    CVeltor device;
    ASSERT_EQ(device.InitConnection(m_Link.c_str(), CSerDev::kBaud115200), 0);
    PanelConfig config;
    config.access = {"0123456789abcdef0123456789abcdef", PanelHosts("127.0.0.1", 8123)};
    Panel panel(device, config, veltor::setup::Setup());
    HttpRequest request;
    request.headers = {{"host", "127.0.0.1:8123"}, {"x-veltor-token", config.access.token}};
    vsim::Fault swallowed;
    swallowed.kind = vsim::FaultKind::NoAnswer;
    m_Sim->QueueFaults(swallowed, 50);
    m_Sim->ClearLog();
    std::atomic<bool> done{false};
    std::thread command([&] {
        HttpRequest post = request;
        post.method = "POST";
        post.path = "/api/device/outputs-on";
        EXPECT_EQ(panel.Handle(post).status, 502);
        done = true;
    });
    // The command is on the line, and stays there until its attempts run out.
    ASSERT_TRUE(m_Sim->WaitForFrames(1, 10000));
    request.method = "GET";
    request.path = "/api/state";
    EXPECT_EQ(panel.Handle(request).status, 200);
    EXPECT_FALSE(done) << "the state waited for the command";
    command.join();
}

}  // namespace
