// Threads on Win32, started through the C runtime so that it is set up for them.
#include <process.h>

#include <new>

#include "platform/win32/Win32.h"

namespace veltor {
namespace platform {

namespace {

// _beginthreadex wants a __stdcall procedure; on 32-bit Windows that is not
// the calling convention of ThreadProc, so the thread starts here.
struct ThreadStart {
    ThreadProc proc;
    void* arg;
};

// The exit code of a thread whose procedure let an exception out.
const unsigned kEndedByException = 0xFFFFFFFFu;

unsigned __stdcall ThreadEntry(void* param) {
    ThreadStart start = *static_cast<ThreadStart*>(param);
    delete static_cast<ThreadStart*>(param);
    // An exception leaving the procedure would end the host's whole process;
    // only the thread ends.
    try {
        return start.proc(start.arg);
    } catch (...) {
        return kEndedByException;
    }
}

}  // namespace

Handle StartThread(ThreadProc proc, void* arg) {
    ThreadStart* start = new (std::nothrow) ThreadStart{proc, arg};
    if (start == nullptr) {
        return nullptr;
    }
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, ThreadEntry, start, 0, nullptr);
    if (thread == 0) {
        delete start;
        return nullptr;
    }
    return reinterpret_cast<Handle>(thread);
}

void JoinThread(Handle thread) {
    if (IsHeld(thread)) {
        ::WaitForSingleObject(ToWin32(thread), INFINITE);
    }
}

SignalsHeldOff::SignalsHeldOff() : m_Saved() {}

SignalsHeldOff::~SignalsHeldOff() {}

}  // namespace platform
}  // namespace veltor
