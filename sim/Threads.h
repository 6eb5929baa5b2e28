// The simulator's threads keep the process's signals off: a signal meant for
// the process (Ctrl-C) goes to one of the host's threads, whose waits it
// interrupts, and never to a thread serving the line. An exception that
// leaves one of them is reported, and the thread ends, instead of ending the
// process.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <exception>
#include <string>
#include <thread>
#include <utility>

namespace vsim {

// Called on the failing thread with the exception's text, after it ended
// that thread's work; must not throw. The default prints the text on
// standard error.
using ThreadFailureHandler = void (*)(const std::string& what);
// Installs the handler (null: the default) for every thread started from
// now on; returns the one it replaces. Install it before the threads start.
ThreadFailureHandler SetThreadFailureHandler(ThreadFailureHandler handler);
// Hands an exception's text to the installed handler.
void ReportThreadFailure(const std::string& what);

// Starts a thread that inherits a mask blocking every signal, and runs
// `work` on it with any exception contained (see ReportThreadFailure).
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
    return std::thread([work = std::forward<Work>(work)]() mutable {
        try {
            work();
        } catch (const std::exception& error) {
            ReportThreadFailure(error.what());
        } catch (...) {
            ReportThreadFailure("an exception of an unknown type");
        }
    });
}

}  // namespace vsim
