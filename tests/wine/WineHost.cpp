#include "tests/wine/WineHost.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "sim/Simulator.h"

extern char** environ;

namespace winetest {

namespace {

struct SessionState {
    std::string prefix;
    bool ownPrefix = false;
    bool started = false;
    std::mutex keptMutex;
    std::vector<std::unique_ptr<vsim::Simulator>> kept;
};

SessionState& Session() {
    static SessionState state;
    return state;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Runs a program to its end with the given arguments; its output goes to
// `outputPath` (or is dropped). Returns its exit status, -1 when it could not
// be started.
int Run(const std::vector<std::string>& arguments, const std::string& outputPath = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool WineSession::Start(std::string* reason) {
    SessionState& state = Session();
    if (state.started) {
        return true;
    }
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);

    const char* given = std::getenv("WINEPREFIX");
    if (given != nullptr && IsDirectory(std::string(given) + "/dosdevices")) {
        state.prefix = given;
    } else {
        char pattern[] = "/tmp/veltor-wine-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            *reason = "cannot make a directory for the Wine prefix";
            return false;
        }
        state.prefix = pattern;
        state.ownPrefix = true;
        ::setenv("WINEPREFIX", state.prefix.c_str(), 1);
        // The prefix is made whole by wineboot before anything is placed in
        // it: a dosdevices folder made first leaves Wine spinning.
        if (Run({"wineboot", "-i"}) != 0 || !IsDirectory(state.prefix + "/dosdevices")) {
            *reason = "wineboot could not make the prefix " + state.prefix;
            return false;
        }
    }
    ::setenv("WINEPREFIX", state.prefix.c_str(), 1);
    // One server for the whole run, so that each client starts quickly; its
    // output (state dumps among it) goes to a file of the prefix. A server
    // left from wineboot or an earlier run is stopped first: -p does not
    // start a second one.
    Run({"wineserver", "-k"});
    if (Run({"wineserver", "-p"}, state.prefix + "/wineserver.log") != 0) {
        *reason = "wineserver could not be started";
        return false;
    }
    state.started = true;
    return true;
}

void WineSession::Stop() {
    SessionState& state = Session();
    if (!state.started) {
        return;
    }
    // A prefix lent by the test run keeps its server (persistent, as the
    // run's own was) for the tests that follow.
    if (state.ownPrefix) {
        Run({"wineserver", "-k"});
        Run({"wineserver", "-w"});
    }
    {
        std::lock_guard<std::mutex> hold(state.keptMutex);
        state.kept.clear();
    }
    if (state.ownPrefix) {
        Run({"rm", "-rf", state.prefix});
    }
    state.started = false;
}

const std::string& WineSession::Prefix() {
    return Session().prefix;
}

bool WineSession::LinkComPort(int number, const std::string& devicePath) {
    const std::string link = Prefix() + "/dosdevices/com" + std::to_string(number);
    ::unlink(link.c_str());
    return devicePath.empty() || ::symlink(devicePath.c_str(), link.c_str()) == 0;
}

void WineSession::Keep(std::unique_ptr<vsim::Simulator> simulator) {
    SessionState& state = Session();
    std::lock_guard<std::mutex> hold(state.keptMutex);
    state.kept.push_back(std::move(simulator));
}

pid_t WineSession::ServerPid() {
    const std::string wanted = "WINEPREFIX=" + Prefix();
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return -1;
    }
    pid_t found = -1;
    while (dirent* entry = ::readdir(processes)) {
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (pid <= 0) {
            continue;
        }
        const std::string dir = std::string("/proc/") + entry->d_name;
        std::string name;
        std::getline(std::ifstream(dir + "/comm"), name);
        // "wineserver", or "wineserver64" where the 64-bit server runs.
        if (name.compare(0, 10, "wineserver") != 0) {
            continue;
        }
        // The environment is a list of NUL-ended entries.
        std::ifstream environment(dir + "/environ");
        std::string variable;
        while (std::getline(environment, variable, '\0')) {
            if (variable == wanted) {
                found = pid;
                break;
            }
        }
        if (found > 0) {
            break;
        }
    }
    ::closedir(processes);
    return found;
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The name in parentheses may hold spaces; the fields after it are
    // counted from its closing parenthesis: state is the 3rd field, utime
    // and stime the 14th and 15th.
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            user = std::stoull(field);
        } else if (number == 15) {
            system = std::stoull(field);
        }
    }
    if (!fields) {
        return -1;
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long ResidentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        // "VmRSS:      1234 kB"
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

WineClient::WineClient(const std::string& program) {
    int toClient[2];
    int fromClient[2];
    if (::pipe2(toClient, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(fromClient, O_CLOEXEC) != 0) {
        ::close(toClient[0]);
        ::close(toClient[1]);
        return;
    }
    char errorPath[] = "/tmp/veltor-wine-client-XXXXXX";
    const int errorFd = ::mkstemp(errorPath);
    m_ErrorPath = errorPath;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toClient[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromClient[1], 1);
    if (errorFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errorFd, 2);
    }
    const std::string wine = "wine";
    char* argv[] = {const_cast<char*>(wine.c_str()), const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "wine", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toClient[0]);
    ::close(fromClient[1]);
    if (errorFd >= 0) {
        ::close(errorFd);
    }
    if (spawned != 0) {
        ::close(toClient[1]);
        ::close(fromClient[0]);
        return;
    }
    // A client that died must not kill the harness with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    m_Pid = pid;
    m_ToClient = toClient[1];
    m_FromClient = fromClient[0];
}

WineClient::~WineClient() {
    Finish();
    if (!m_ErrorPath.empty()) {
        ::unlink(m_ErrorPath.c_str());
    }
}

std::string WineClient::ReadLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t end = m_Pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_Pending.substr(0, end);
            m_Pending.erase(0, end + 1);
            // The client's C runtime writes text mode line ends.
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return "<timeout>";
        }
        pollfd ready{m_FromClient, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = ::read(m_FromClient, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return "<eof>";
        }
        m_Pending.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string WineClient::Ask(const std::string& line, int timeoutMs) {
    if (m_Pid <= 0 || m_Finished) {
        return "<eof>";
    }
    const std::string sent = line + "\n";
    if (::write(m_ToClient, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) {
        return "<eof>";
    }
    return ReadLine(timeoutMs);
}

int WineClient::Finish(int timeoutMs) {
    if (m_Pid <= 0 || m_Finished) {
        return m_ExitStatus;
    }
    m_Finished = true;
    const std::string quit = "quit\n";
    if (::write(m_ToClient, quit.data(), quit.size()) < 0) {
        // Already gone; its end of the pipe is closed.
    }
    ::close(m_ToClient);
    // The client answers "quit", closes the device and ends: its output
    // reaches end-of-file. Past the bound it is killed.
    std::string line;
    do {
        line = ReadLine(timeoutMs);
    } while (line != "<eof>" && line != "<timeout>");
    if (line == "<timeout>") {
        ::kill(m_Pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(m_Pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(m_FromClient);
    m_ExitStatus = line != "<timeout>" && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_ExitStatus;
}

std::string WineClient::ErrorOutput() const {
    std::ifstream in(m_ErrorPath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Words(const std::string& answer) {
    std::istringstream in(answer);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

std::string Field(const std::string& answer, const std::string& name) {
    for (const std::string& word : Words(answer)) {
        if (word.compare(0, name.size() + 1, name + "=") == 0) {
            return word.substr(name.size() + 1);
        }
    }
    return "";
}

}  // namespace winetest
