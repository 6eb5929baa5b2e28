// `veltor sim --listen`: the simulated instrument served on TCP, reached by
// the tool through a socket:// port name, client after client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/tools/tool_support.h"

namespace {

using tooltest::ReadLine;
using tooltest::StartTool;
using tooltest::Tool;
using tooltest::ToolRun;

TEST(SimListen, ServesEachClientInTurnOverTcp) {
    int out = -1;
    const pid_t pid = StartTool({"sim", "--listen", "0", "--delay", "B:12345"}, &out);
    ASSERT_GT(pid, 0);
    // The terminal's path, then the server's port name, printed once both serve.
    const std::string terminal = ReadLine(out);
    const std::string url = ReadLine(out);
    close(out);
    EXPECT_EQ(terminal.rfind("/dev/", 0), 0u) << terminal;
    ASSERT_EQ(url.rfind("socket://127.0.0.1:", 0), 0u) << url;

    // Each run of the tool is a client that connects, asks and leaves.
    for (int client = 0; client < 3; ++client) {
        const ToolRun run = Tool("query B --port " + url);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find("12345 counts"), std::string::npos) << run.output;
    }
    // The terminal still serves beside it.
    const ToolRun direct = Tool("query B --port " + terminal);
    EXPECT_EQ(direct.status, 0) << direct.output;

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SimListen, AnAddressItCannotListenOnIsAUsageError) {
    const ToolRun run = Tool("sim --listen 1 --listen-host 192.0.2.1");
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("cannot listen on 192.0.2.1 port 1"), std::string::npos)
        << run.output;
}

}  // namespace
