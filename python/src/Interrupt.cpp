// Ctrl-C during a command on the main thread.
//
// Python's SIGINT handler only sets a flag that the main thread looks at
// between bytecodes, and a command waits inside the library for up to five
// attempts of its time-out. So the module installs a handler of its own in
// front of Python's: it passes the signal on to Python's, counts it and
// writes a byte to a pipe. A thread of the module's waits on that pipe and
// cancels the main thread's command in progress (CancelCommand takes a
// lock, which a signal handler must not). The handler is installed once and
// stays; each command looks whether it is still there with one sigaction
// call, and puts it back in front of whatever replaced it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "python/src/Bindings.h"

namespace veltor::python::interrupt {

namespace {

// What the handler touches: plain globals, set before it is installed.
std::atomic<unsigned> g_Interrupts{0};
std::atomic<int> g_HandlerDepth{0};
struct sigaction g_Chained;  // the handler ours passes each signal on to
int g_WakeRead = -1;         // the pipe is never closed: a signal may come at
int g_WakeWrite = -1;        // any moment, up to the process's very end

// The main thread's command in progress, for the cancelling thread. Never
// destroyed: that thread runs until the process ends.
struct Command {
    std::mutex lock;
    CSerDev* device = nullptr;  // null: none runs
    unsigned start = 0;         // interrupts counted before it began
};

Command& Current() {
    static Command* command = new Command;
    return *command;
}

void OnInterrupt(int signal, siginfo_t* info, void* context) {
    const int saved = errno;
    // Python's handler first, so that its flag is up before the command can
    // end for this signal. A handler that was installed after ours and
    // passes signals on to it would otherwise send them round for good.
    if (g_HandlerDepth.fetch_add(1) == 0) {
        if ((g_Chained.sa_flags & SA_SIGINFO) != 0) {
            g_Chained.sa_sigaction(signal, info, context);
        } else if (g_Chained.sa_handler != SIG_DFL && g_Chained.sa_handler != SIG_IGN) {
            g_Chained.sa_handler(signal);
        }
    }
    g_HandlerDepth.fetch_sub(1);
    g_Interrupts.fetch_add(1);
    const char byte = 0;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = write(g_WakeWrite, &byte, 1);
    errno = saved;
}

bool Pending(const Command& command) {
    return command.device != nullptr && g_Interrupts.load() != command.start;
}

// Cancels the main thread's command once an interrupt came after it began,
// and again every 100 ms while it runs. The device stays registered, and so
// alive, while it is cancelled: the main thread takes it out under the same
// lock.
[[noreturn]] void CancelLoop() {
    Command& command = Current();
    for (;;) {
        bool again = false;
        {
            std::lock_guard<std::mutex> hold(command.lock);
            again = Pending(command);
        }
        pollfd wake{g_WakeRead, POLLIN, 0};
        poll(&wake, 1, again ? 100 : -1);
        char bytes[64];
        while (read(g_WakeRead, bytes, sizeof bytes) > 0) {
        }
        std::lock_guard<std::mutex> hold(command.lock);
        if (Pending(command)) {
            command.device->CancelCommand();
        }
    }
}

// The pipe and the cancelling thread, once; false when either cannot be made.
bool Started() {
    static const bool started = [] {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            return false;
        }
        g_WakeRead = fds[0];
        g_WakeWrite = fds[1];
        // The thread takes no signal: they go to the threads that wait for them.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        bool made = true;
        try {
            std::thread(CancelLoop).detach();
        } catch (const std::system_error&) {
            made = false;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return made;
    }();
    return started;
}

bool IsOurs(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == OnInterrupt;
}

// GIL held, main thread: whether our handler is in front of SIGINT's now.
// Not when SIGINT is ignored or left to its default (it then ends the
// process): Python does not handle it, so neither do we.
bool Armed() {
    struct sigaction current;
    if (sigaction(SIGINT, nullptr, &current) != 0) {
        return false;
    }
    if (IsOurs(current)) {
        return true;
    }
    if ((current.sa_flags & SA_SIGINFO) == 0 &&
        (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) {
        return false;
    }
    if (!Started()) {
        return false;
    }
    g_Chained = current;
    struct sigaction ours = current;
    ours.sa_sigaction = OnInterrupt;
    ours.sa_flags |= SA_SIGINFO;
    return sigaction(SIGINT, &ours, nullptr) == 0;
}

}  // namespace

bool Begin(unsigned* start) {
    if (PyThread_get_thread_ident() != MainThread() || !Armed()) {
        return false;
    }
    // Counted before looking at Python's flag: a signal after this either
    // raised just below or moves the count past `start`.
    *start = g_Interrupts.load();
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
    return true;
}

void Register(CSerDev& device, unsigned start) {
    Command& command = Current();
    std::lock_guard<std::mutex> hold(command.lock);
    command.device = &device;
    command.start = start;
    // The wake-up of an interrupt since Begin may have found no command.
    if (Pending(command)) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t written = write(g_WakeWrite, &byte, 1);
    }
}

void Unregister() {
    Command& command = Current();
    std::lock_guard<std::mutex> hold(command.lock);
    command.device = nullptr;
}

void End() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

}  // namespace veltor::python::interrupt
