#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>

#include "platform/posix/Handles.h"

namespace veltor {
namespace platform {

namespace posix {

Thread::~Thread() {
    if (!joined) {
        pthread_detach(thread);
    }
}

namespace {
void* Trampoline(void* arg) {
    auto* self = static_cast<Thread*>(arg);
    // An exception leaving the procedure would end the host's whole process;
    // only the thread ends.
    try {
        self->proc(self->arg);
    } catch (abi::__forced_unwind&) {
        // Cancellation and pthread_exit unwind the thread as an exception
        // that must go on to its end.
        throw;
    } catch (...) {
    }
    return nullptr;
}
}  // namespace

}  // namespace posix

SignalsHeldOff::SignalsHeldOff() {
    static_assert(sizeof(sigset_t) <= sizeof(m_Saved), "room for the caller's mask");
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, reinterpret_cast<sigset_t*>(m_Saved));
}

SignalsHeldOff::~SignalsHeldOff() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(m_Saved), nullptr);
}

Handle StartThread(ThreadProc proc, void* arg) {
    auto* thread = new posix::Thread;
    thread->proc = proc;
    thread->arg = arg;
    // The thread starts with every signal blocked, as it inherits them.
    const SignalsHeldOff held;
    if (pthread_create(&thread->thread, nullptr, posix::Trampoline, thread) != 0) {
        thread->joined = true;  // nothing to detach
        delete thread;
        return nullptr;
    }
    return posix::ToHandle(thread);
}

void JoinThread(Handle h) {
    auto* thread = posix::As<posix::Thread>(h);
    if (thread != nullptr && !thread->joined) {
        pthread_join(thread->thread, nullptr);
        thread->joined = true;
    }
}

}  // namespace platform
}  // namespace veltor
