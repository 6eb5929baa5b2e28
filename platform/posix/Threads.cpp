#include <cxxabi.h>
#include <pthread.h>

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

Handle StartThread(ThreadProc proc, void* arg) {
    auto* thread = new posix::Thread;
    thread->proc = proc;
    thread->arg = arg;
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
