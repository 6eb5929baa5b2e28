// `veltor watch --reconnect`: the watch goes on across an instrument that
// went away and a new one on the same link.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/tools/tool_support.h"

namespace {

using tooltest::ReadLine;
using tooltest::StartTool;

// A simulated instrument on `link` that reports `counts` every 10 ms; its
// terminal's path read, so that it serves when this returns.
pid_t StartSim(const std::string& link, const std::string& counts) {
    int out = -1;
    const pid_t pid = StartTool({"sim", "--link", link, "--report-every", "10ms",
                                 "--report-channel", "B", "--report-counts", counts},
                                &out);
    ReadLine(out);
    close(out);
    return pid;
}

void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
}

// Stops what is still running when a failed check ends the test early: a
// watch left reconnecting through a stale link would take the next
// pseudo-terminal of that number from whichever program gets it.
struct StopAtEnd {
    pid_t* pids[3];
    ~StopAtEnd() {
        for (pid_t* pid : pids) {
            if (*pid > 0) {
                kill(*pid, SIGTERM);
                waitpid(*pid, nullptr, 0);
            }
        }
    }
};

// Reads the watch's lines until a report of at least `least` counts; false
// at its end. Each simulator counts up from its own start.
bool AwaitReport(int out, unsigned long least) {
    for (;;) {
        const std::string line = ReadLine(out);
        if (line.empty()) {
            return false;
        }
        double seconds = 0;
        char channel = 0;
        unsigned long counts = 0;
        if (std::sscanf(line.c_str(), "%lf %c %lu", &seconds, &channel, &counts) == 3 &&
            counts >= least) {
            return true;
        }
    }
}

TEST(WatchReconnect, GoesOnWithTheInstrumentThatComesBackOnTheSameLink) {
    char dir[] = "/tmp/veltor-watch-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/port";
    pid_t watch = -1;
    pid_t first = -1;
    pid_t second = -1;
    const StopAtEnd stopAtEnd{{&watch, &first, &second}};
    first = StartSim(link, "1000");
    int out = -1;
    watch = StartTool({"watch", "--reconnect", "--port", link}, &out);
    ASSERT_GT(watch, 0);
    ASSERT_TRUE(AwaitReport(out, 1000));

    Stop(first);
    first = -1;
    second = StartSim(link, "777000");
    EXPECT_TRUE(AwaitReport(out, 777000));

    Stop(watch);
    watch = -1;
    close(out);
    Stop(second);
    second = -1;
    rmdir(dir);
}

}  // namespace
