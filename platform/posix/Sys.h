// The system calls on the exchange's path. On Linux they are made directly:
// the C library's wrappers make read, write and poll thread-cancellation
// points, which costs two atomic updates of the thread's state per call in
// a program with threads, and which this library never wants (a thread
// cancelled inside an exchange would leave its locks held). Under the
// sanitizers the wrappers stay: they check the buffers passed.
#pragma once

#if defined(__linux__)
#define VELTOR_DIRECT_SYSCALLS 1
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#undef VELTOR_DIRECT_SYSCALLS
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#undef VELTOR_DIRECT_SYSCALLS
#endif
#endif

#include <poll.h>
#include <unistd.h>

#include <cstddef>

#ifdef VELTOR_DIRECT_SYSCALLS
#include <sys/syscall.h>

#include <ctime>
#endif

namespace veltor {
namespace platform {
namespace posix {

inline long SysRead(int fd, void* buffer, std::size_t count) {
#ifdef VELTOR_DIRECT_SYSCALLS
    return ::syscall(SYS_read, fd, buffer, count);
#else
    return ::read(fd, buffer, count);
#endif
}

inline long SysWrite(int fd, const void* bytes, std::size_t count) {
#ifdef VELTOR_DIRECT_SYSCALLS
    return ::syscall(SYS_write, fd, bytes, count);
#else
    return ::write(fd, bytes, count);
#endif
}

// poll(): timeoutMs below 0 waits without a limit.
inline int SysPoll(pollfd* fds, nfds_t count, int timeoutMs) {
#ifdef VELTOR_DIRECT_SYSCALLS
    if (timeoutMs < 0) {
        return static_cast<int>(::syscall(SYS_ppoll, fds, count, nullptr, nullptr, 0));
    }
    timespec limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    return static_cast<int>(::syscall(SYS_ppoll, fds, count, &limit, nullptr, 0));
#else
    return ::poll(fds, count, timeoutMs);
#endif
}

}  // namespace posix
}  // namespace platform
}  // namespace veltor
