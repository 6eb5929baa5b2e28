// The monotonic clock of the serial layer, in microseconds, and the
// rounding of what is left until a deadline into a wait's milliseconds.
#pragma once

#include <chrono>

namespace veltor {

inline long long NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Milliseconds left until a deadline, rounded up so that a wait never ends
// before it; 0 once it has passed.
inline long MsUntil(long long deadlineUs) {
    const long long left = deadlineUs - NowUs();
    return left > 0 ? static_cast<long>((left + 999) / 1000) : 0;
}

}  // namespace veltor
