#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "platform/posix/Handles.h"
#include "platform/posix/Sys.h"

namespace veltor {
namespace platform {

namespace posix {

Event::~Event() {
    if (fd >= 0) {
        ::close(fd);
    }
}

void DrainCounter(Event* event) {
    std::uint64_t value = 0;
    // EAGAIN when the setter has not written the counter yet: it will, and
    // a later wait drains it.
    (void)posix::SysRead(event->fd, &value, sizeof(value));
}

}  // namespace posix

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void CloseHandle(Handle h) {
    if (HandleObject* object = FromHandle(h)) {
        delete object;
    } else if (IsHeld(h)) {
        delete static_cast<posix::Object*>(h);
    }
}

Handle CreateEvent(bool manualReset) {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    auto* event = new posix::Event;
    event->fd = fd;
    event->manualReset = manualReset;
    return posix::ToHandle(event);
}

void SetEvent(Handle h) {
    auto* event = posix::As<posix::Event>(h);
    if (event != nullptr && !event->signalled.exchange(true)) {
        const std::uint64_t one = 1;
        ssize_t written;
        do {
            written = posix::SysWrite(event->fd, &one, sizeof(one));
        } while (written < 0 && errno == EINTR);
    }
}

void ResetEvent(Handle h) {
    if (auto* event = posix::As<posix::Event>(h)) {
        posix::TakeEvent(event);
    }
}

WaitResult WaitForEvent(Handle h, long timeoutMs) {
    auto* event = posix::As<posix::Event>(h);
    if (event == nullptr) {
        return WaitResult::Failed;
    }
    const long long deadline = timeoutMs < 0 ? 0 : NowMs() + timeoutMs;
    bool first = true;
    for (;;) {
        // The mirror first: a set event needs no system call, and a counter
        // drained below while a setter raced it is found set here.
        if (event->manualReset ? event->signalled.load() : posix::TakeEvent(event)) {
            return WaitResult::Signalled;
        }
        pollfd p{event->fd, POLLIN, 0};
        // The first pass waits the whole time: the deadline was just taken.
        const int wait = timeoutMs < 0 ? -1
                         : first       ? static_cast<int>(timeoutMs)
                                       : static_cast<int>(MillisecondsLeft(deadline));
        first = false;
        const int ready = posix::SysPoll(&p, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WaitResult::Failed;
        }
        if (ready == 0) {
            return WaitResult::TimedOut;
        }
        // Readable: the event is set (the loop's first step takes it), or
        // its counter is left over from a reset that raced a set.
        if (!event->signalled.load()) {
            posix::DrainCounter(event);
        }
    }
}

#if defined(__linux__)
// A lock word: 0 free, 1 held, 2 held and waited for. A free lock is taken
// and left with one atomic instruction each; the kernel is asked only to put
// a thread that must wait to sleep, and to wake one when a waited-for lock
// is left (futex).
namespace {

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "the kernel waits on the lock word itself");

std::atomic<int>& Word(void* impl) {
    return *static_cast<std::atomic<int>*>(impl);
}

void Futex(std::atomic<int>& word, int operation, int value) {
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), operation | FUTEX_PRIVATE_FLAG, value,
              nullptr, nullptr, 0);
}

}  // namespace

Lock::Lock() : m_Impl(new std::atomic<int>(0)) {}
Lock::~Lock() {
    delete &Word(m_Impl);
}
void Lock::Enter() {
    std::atomic<int>& word = Word(m_Impl);
    int seen = 0;
    if (word.compare_exchange_strong(seen, 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
        return;
    }
    // Marked as waited for; whoever finds it free takes it (still marked,
    // since others may wait too). The wait returns at once if the word is
    // no longer 2, and may return early: the loop looks again.
    if (seen != 2) {
        seen = word.exchange(2, std::memory_order_acquire);
    }
    while (seen != 0) {
        Futex(word, FUTEX_WAIT, 2);
        seen = word.exchange(2, std::memory_order_acquire);
    }
}
bool Lock::TryEnter() {
    int seen = 0;
    return Word(m_Impl).compare_exchange_strong(seen, 1, std::memory_order_acquire,
                                                std::memory_order_relaxed);
}
void Lock::Leave() {
    std::atomic<int>& word = Word(m_Impl);
    if (word.exchange(0, std::memory_order_release) == 2) {
        Futex(word, FUTEX_WAKE, 1);
    }
}
#else
Lock::Lock() : m_Impl(new std::mutex) {}
Lock::~Lock() {
    delete static_cast<std::mutex*>(m_Impl);
}
void Lock::Enter() {
    static_cast<std::mutex*>(m_Impl)->lock();
}
bool Lock::TryEnter() {
    return static_cast<std::mutex*>(m_Impl)->try_lock();
}
void Lock::Leave() {
    static_cast<std::mutex*>(m_Impl)->unlock();
}
#endif

}  // namespace platform
}  // namespace veltor
