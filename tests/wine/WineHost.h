// Running the Windows host program under Wine from a native test: the Wine
// prefix of the run, COM ports that lead to pseudo-terminals, and the client
// process with a line-by-line conversation over its standard streams.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace vsim {
class Simulator;
}

namespace winetest {

// The Wine prefix for this run: $WINEPREFIX when it names a prefix that
// exists, otherwise a fresh one made with wineboot (and removed at the end).
// Also fixes WINEDEBUG and WINEDLLOVERRIDES for every Wine process started.
class WineSession {
public:
    // Prepares the prefix and starts a Wine server kept alive for the run.
    // Returns false with a reason when Wine cannot be used.
    static bool Start(std::string* reason);
    // Stops the Wine server, then lets go of the simulated instruments kept
    // for it (their pseudo-terminals must outlive the server: a master that
    // closes under a running server makes it dump its state).
    static void Stop();

    static const std::string& Prefix();
    // Points COM port `number` at a device path; removes the link when empty.
    static bool LinkComPort(int number, const std::string& devicePath);
    // Keeps a simulator alive until Stop.
    static void Keep(std::unique_ptr<vsim::Simulator> simulator);
    // The Wine server of this run's prefix (other runs on the machine have
    // servers of their own), found by name and prefix; -1 when none runs.
    static pid_t ServerPid();
};

// The processor time a process has used so far, all its threads, user and
// system, in seconds; -1 when it cannot be read (the process has ended).
double CpuSeconds(pid_t pid);
// The resident memory of a process (VmRSS), in KiB; -1 when it cannot be
// read (the process has ended).
long ResidentKb(pid_t pid);

// The Windows host program, started with `wine`. Each Ask sends one line and
// returns the one line that answers it.
class WineClient {
public:
    explicit WineClient(const std::string& program);
    ~WineClient();
    WineClient(const WineClient&) = delete;
    WineClient& operator=(const WineClient&) = delete;

    bool Started() const { return m_Pid > 0; }
    // The client's process: `wine` replaces itself with the Windows program,
    // so this is the process that runs it.
    pid_t Pid() const { return m_Pid; }
    // The answer without its line end, or "<eof>" when the client ended,
    // "<timeout>" when it did not answer within timeoutMs.
    std::string Ask(const std::string& line, int timeoutMs = 30000);
    // Asks the client to quit and waits for it; returns its exit status, or
    // -1 when it had to be killed.
    int Finish(int timeoutMs = 30000);
    // What the client wrote on its error output so far.
    std::string ErrorOutput() const;

private:
    std::string ReadLine(int timeoutMs);

    pid_t m_Pid = -1;
    int m_ToClient = -1;
    int m_FromClient = -1;
    std::string m_Pending;
    std::string m_ErrorPath;
    int m_ExitStatus = -1;
    bool m_Finished = false;
};

// Splits an answer into its words.
std::vector<std::string> Words(const std::string& answer);
// The value of `name=value` in an answer, or "" when absent.
std::string Field(const std::string& answer, const std::string& name);

}  // namespace winetest
