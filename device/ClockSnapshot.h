// The clock of each channel pair as the general properties gave it when
// the device's lock was last held by a reader: what a thread that cannot
// take the lock at once (a report listener, while a command runs) converts
// delays at, since the host changes the properties under that lock.
#pragma once

#include <atomic>

namespace veltor {

class ClockSnapshot {
public:
    static const int kPairs = 4;
    // Under the device's lock.
    void Store(const double hz[kPairs]) {
        for (int pair = 0; pair < kPairs; ++pair) {
            m_Hz[pair].store(hz[pair], std::memory_order_relaxed);
        }
    }
    // Any thread; channel index 0..7.
    double Hz(int channel) const {
        return channel >= 0 && channel < 2 * kPairs
                   ? m_Hz[channel / 2].load(std::memory_order_relaxed)
                   : 0.0;
    }

private:
    std::atomic<double> m_Hz[kPairs] = {{200000000.0}, {200000000.0}, {200000000.0}, {200000000.0}};
};

}  // namespace veltor
