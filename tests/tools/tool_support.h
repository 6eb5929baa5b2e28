// The veltor tool run as a separate process, as a user runs it: to the end
// with its output collected, or left running with its standard output piped.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace tooltest {

const std::string kTool = VELTOR_TOOL;

struct ToolRun {
    int status;
    std::string output;  // standard output and error together
};

// Runs a program with the arguments to its end; with a bound, a run still
// going after that many seconds is killed (status -1): a safety net, not a
// measure.
inline ToolRun Run(const std::string& program, const std::string& arguments, int boundSeconds = 0) {
    const std::string bound =
        boundSeconds > 0 ? "timeout -s KILL " + std::to_string(boundSeconds) + " " : "";
    const std::string command = bound + program + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, n);
    }
    const int status = pclose(pipe);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // timeout's own status for a run it killed.
    return {bound.empty() || code != 137 ? code : -1, output};
}

// Runs the tool with the arguments to its end (see Run for the bound).
inline ToolRun Tool(const std::string& arguments, int boundSeconds = 0) {
    return Run(kTool, arguments, boundSeconds);
}

// Starts the tool with the arguments (without the tool's own path); its
// standard output is read from *out. Returns its process id, or -1.
inline pid_t StartTool(std::vector<std::string> args, int* out) {
    args.insert(args.begin(), kTool);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    *out = fds[0];
    return pid;
}

// One line from the descriptor, without its end.
inline std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

}  // namespace tooltest
