// The monotonic clock of the serial layer, in microseconds, the rounding of
// what is left until a deadline into a wait's milliseconds, and the time
// bytes take on the line.
#pragma once

#include <chrono>

#if defined(__linux__) && defined(__GLIBCXX__)
#include <time.h>
#endif

namespace veltor {

inline long long NowUs() {
#if defined(__linux__) && defined(__GLIBCXX__)
    // steady_clock's own clock, read without the C++ library's call around
    // it (three readings per exchange).
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
#else
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

// Milliseconds left until a deadline, rounded up so that a wait never ends
// before it; 0 once it has passed.
inline long MsUntil(long long deadlineUs) {
    const long long left = deadlineUs - NowUs();
    return left > 0 ? static_cast<long>((left + 999) / 1000) : 0;
}

// Ten bit times a byte: start bit, eight data bits, stop bit.
inline long long WireUs(long long count, long baud) {
    return baud > 0 ? count * 10 * 1000000 / baud : 0;
}

// A write may be held back (for instance by a flow-control line); the host
// waits for it twice the wire time of its bytes plus two seconds, then gives
// the write up instead of hanging.
inline long WriteBoundMs(long long wireUs) {
    return static_cast<long>(2000 + 2 * wireUs / 1000);
}

}  // namespace veltor
