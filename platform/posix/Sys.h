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

#include <cerrno>
#include <ctime>
#endif

namespace veltor {
namespace platform {
namespace posix {

#if defined(VELTOR_DIRECT_SYSCALLS) && defined(__x86_64__)
// The system call itself, without the C library's syscall() around it (its
// call and the shuffle of its arguments, three times per exchange); a
// failure sets errno as it does.
inline long RawSyscall3(long number, long a, long b, long c) {
    long result;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "0"(number), "D"(a), "S"(b), "d"(c)
                     : "rcx", "r11", "memory");
    if (result < 0 && result > -4096) {
        errno = static_cast<int>(-result);
        return -1;
    }
    return result;
}

inline long RawSyscall5(long number, long a, long b, long c, long d, long e) {
    long result;
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "0"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
                     : "rcx", "r11", "memory");
    if (result < 0 && result > -4096) {
        errno = static_cast<int>(-result);
        return -1;
    }
    return result;
}
#define VELTOR_RAW_SYSCALLS 1
#endif

inline long SysRead(int fd, void* buffer, std::size_t count) {
#ifdef VELTOR_DIRECT_SYSCALLS
#ifdef VELTOR_RAW_SYSCALLS
    return RawSyscall3(SYS_read, fd, reinterpret_cast<long>(buffer), static_cast<long>(count));
#else
    return ::syscall(SYS_read, fd, buffer, count);
#endif
#else
    return ::read(fd, buffer, count);
#endif
}

inline long SysWrite(int fd, const void* bytes, std::size_t count) {
#ifdef VELTOR_DIRECT_SYSCALLS
#ifdef VELTOR_RAW_SYSCALLS
    return RawSyscall3(SYS_write, fd, reinterpret_cast<long>(bytes), static_cast<long>(count));
#else
    return ::syscall(SYS_write, fd, bytes, count);
#endif
#else
    return ::write(fd, bytes, count);
#endif
}

// poll(): timeoutMs below 0 waits without a limit.
inline int SysPoll(pollfd* fds, nfds_t count, int timeoutMs) {
#ifdef VELTOR_DIRECT_SYSCALLS
    timespec limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    timespec* bound = timeoutMs < 0 ? nullptr : &limit;
#ifdef VELTOR_RAW_SYSCALLS
    return static_cast<int>(RawSyscall5(SYS_ppoll, reinterpret_cast<long>(fds),
                                        static_cast<long>(count), reinterpret_cast<long>(bound), 0,
                                        0));
#else
    return static_cast<int>(::syscall(SYS_ppoll, fds, count, bound, nullptr, 0));
#endif
#else
    return ::poll(fds, count, timeoutMs);
#endif
}

}  // namespace posix
}  // namespace platform
}  // namespace veltor
