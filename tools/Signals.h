// Waiting for the end of a long-running command (watch, sim): SIGINT or
// SIGTERM from the user, a time limit, or Finish from any thread. The
// signals are blocked in every thread and taken by the waiting thread alone,
// so no handler runs at an awkward moment and nothing polls.
#pragma once

namespace veltor::tools {

class StopSignals {
public:
    // Blocks the signals in the calling thread; threads started afterwards
    // inherit the mask. Make it before any other thread exists.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits for a stop signal, Finish, or `seconds` (0: no limit). Returns the
    // signal number, or 0 when the time ran out.
    int Wait(double seconds);
    // Ends the Wait; any thread.
    static void Finish();
    // The monotonic clock in nanoseconds when the object was made.
    long long StartNs() const { return m_StartNs; }

private:
    long long m_StartNs;
};

}  // namespace veltor::tools
