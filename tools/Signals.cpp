#include "tools/Signals.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <ctime>

namespace veltor::tools {

namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);  // Finish
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    // A shell starts background jobs with SIGINT ignored, and an ignored
    // signal never reaches sigwait: take the default back first.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGUSR1, SIG_DFL);
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_StartNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
}

StopSignals::~StopSignals() = default;

int StopSignals::Wait(double seconds) {
    const sigset_t set = StopSet();
    if (!(seconds > 0.0)) {
        int signal = 0;
        sigwait(&set, &signal);
        return signal;
    }
    timespec limit{};
    limit.tv_sec = static_cast<time_t>(seconds);
    limit.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    for (;;) {
        const int signal = sigtimedwait(&set, nullptr, &limit);
        if (signal > 0) {
            return signal;
        }
        if (errno != EINTR) {
            return 0;
        }
    }
}

void StopSignals::Finish() {
    kill(getpid(), SIGUSR1);
}

}  // namespace veltor::tools
