// `veltor sim --listen`: the simulated instrument served on TCP, reached by
// the tool through a socket:// port name, client after client.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kTool = VELTOR_TOOL;

std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

struct ToolRun {
    int status;
    std::string output;
};

ToolRun Tool(const std::string& arguments) {
    FILE* pipe = popen((kTool + " " + arguments + " 2>&1").c_str(), "r");
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, n);
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(SimListen, ServesEachClientInTurnOverTcp) {
    std::vector<std::string> args = {kTool, "sim", "--listen", "0", "--delay", "B:12345"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // The terminal's path, then the server's port name, printed once both serve.
    const std::string terminal = ReadLine(out[0]);
    const std::string url = ReadLine(out[0]);
    close(out[0]);
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
