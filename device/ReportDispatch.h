// Hands the instrument's delay reports to the host's listener on a thread of
// its own: in arrival order, one call at a time, never under the receive lock
// or the device's lock, and never on the watcher, which goes on draining the
// port meanwhile.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace veltor {

class ReportDispatch {
public:
    typedef std::function<void(char channel, unsigned int counts, double seconds, long long timeNs)>
        Listener;
    // The pairs of channels that share a clock: A-B, C-D, E-F, G-H.
    static const int kPairs = 4;

    // At most `limit` reports wait for the listener; more drop the oldest.
    explicit ReportDispatch(std::size_t limit);
    // Ends the thread; reports still queued are dropped. From any other
    // thread it waits for a call in progress. From the listener itself (a
    // device destroyed by its own listener) it returns at once, and the
    // thread ends as soon as that call returns, touching nothing of this
    // object after it.
    ~ReportDispatch();
    ReportDispatch(const ReportDispatch&) = delete;
    ReportDispatch& operator=(const ReportDispatch&) = delete;

    // The clock frequency of each pair, for the seconds of the reports
    // handed over from now on. Any thread; takes no lock of the device.
    void SetClocks(const double hz[kPairs]);
    // Replaces the listener (null: none); no call of the old one starts
    // after it returns. With `wait`, from any thread but the listener's own,
    // it also returns only once no call of the old one is in progress (so
    // the old one's objects may go); without, a call in progress may still
    // be running when it returns.
    void SetListener(Listener listener, bool wait);
    // Queues a report if a listener is set. Non-blocking; any thread.
    void Push(char channel, unsigned int counts, long long timeNs);
    // Reports dropped from a full queue so far. Any thread.
    unsigned long long Dropped() const;

private:
    // What the thread shares with this object: it outlives the object when
    // the object is destroyed by the listener.
    struct Shared;
    static void Run(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> m_pShared;
    std::thread m_Thread;
};

}  // namespace veltor
