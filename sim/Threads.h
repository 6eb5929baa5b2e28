// The simulator's threads keep the process's signals off: a signal meant for
// the process (Ctrl-C) goes to one of the host's threads, whose waits it
// interrupts, and never to a thread serving the line.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace vsim {

// Starts a thread that inherits a mask blocking every signal.
template <class Work>
std::thread StartQuietThread(Work&& work) {
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    struct Restore {
        sigset_t* mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
    } restore{&saved};
    return std::thread(std::forward<Work>(work));
}

}  // namespace vsim
