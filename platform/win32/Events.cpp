// Events and the receive lock on Win32.
#include "platform/win32/Win32.h"

namespace veltor {
namespace platform {

void CloseHandle(Handle h) {
    if (HandleObject* object = FromHandle(h)) {
        delete object;
    } else if (IsHeld(h)) {
        ::CloseHandle(ToWin32(h));
    }
}

long long NowMs() {
    return static_cast<long long>(::GetTickCount64());
}

Handle CreateEvent(bool manualReset) {
    return FromWin32(::CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
}

void SetEvent(Handle event) {
    ::SetEvent(ToWin32(event));
}

void ResetEvent(Handle event) {
    ::ResetEvent(ToWin32(event));
}

WaitResult WaitForEvent(Handle event, long timeoutMs) {
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    switch (::WaitForSingleObject(ToWin32(event), limit)) {
        case WAIT_OBJECT_0:
            return WaitResult::Signalled;
        case WAIT_TIMEOUT:
            return WaitResult::TimedOut;
        default:
            return WaitResult::Failed;
    }
}

Lock::Lock() : m_Impl(new CRITICAL_SECTION) {
    ::InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(m_Impl));
}

Lock::~Lock() {
    CRITICAL_SECTION* section = static_cast<CRITICAL_SECTION*>(m_Impl);
    ::DeleteCriticalSection(section);
    delete section;
}

void Lock::Enter() {
    ::EnterCriticalSection(static_cast<CRITICAL_SECTION*>(m_Impl));
}

bool Lock::TryEnter() {
    return ::TryEnterCriticalSection(static_cast<CRITICAL_SECTION*>(m_Impl)) != 0;
}

void Lock::Leave() {
    ::LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(m_Impl));
}

}  // namespace platform
}  // namespace veltor
