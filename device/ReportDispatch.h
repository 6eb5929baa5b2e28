// Hands the instrument's delay reports to the host's listener on a thread of
// its own: in arrival order, one call at a time, never under the receive lock
// and never on the watcher, which goes on draining the port meanwhile.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace veltor {

class ReportDispatch {
public:
    typedef std::function<void(char channel, unsigned int counts, double seconds, long long timeNs)>
        Listener;
    // The clock frequency of a channel's pair, asked on the dispatching thread.
    typedef std::function<double(char channel)> Frequency;

    // At most `limit` reports wait for the listener; more drop the oldest.
    ReportDispatch(std::size_t limit, Frequency frequency);
    // Waits for a call in progress, then ends the thread; reports still
    // queued are dropped.
    ~ReportDispatch();
    ReportDispatch(const ReportDispatch&) = delete;
    ReportDispatch& operator=(const ReportDispatch&) = delete;

    // Replaces the listener (null: none). From any other thread it returns
    // once no call of the old listener is in progress; from the listener
    // itself it returns at once.
    void SetListener(Listener listener);
    // Queues a report if a listener is set. Non-blocking; any thread.
    void Push(char channel, unsigned int counts, long long timeNs);
    // Reports dropped from a full queue so far. Any thread.
    unsigned long long Dropped() const { return m_nDropped.load(std::memory_order_relaxed); }

private:
    struct Report {
        char channel;
        unsigned int counts;
        long long timeNs;
    };
    void Run();

    const std::size_t m_nLimit;
    std::atomic<unsigned long long> m_nDropped{0};
    Frequency m_Frequency;
    std::mutex m_QueueLock;  // guards everything below but m_CallLock
    std::condition_variable m_Queued;
    std::deque<Report> m_Queue;
    Listener m_Listener;
    bool m_bStop = false;
    std::mutex m_CallLock;  // held while the listener runs
    std::thread m_Thread;
};

}  // namespace veltor
