#include "device/ReportDispatch.h"

#include <utility>

#include "platform/Platform.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace veltor {

struct ReportDispatch::Shared {
    struct Report {
        char channel;
        unsigned int counts;
        long long timeNs;
    };

    explicit Shared(std::size_t limit) : limit(limit > 0 ? limit : 1) {
        for (std::atomic<double>& pair : clockHz) {
            pair.store(0.0, std::memory_order_relaxed);
        }
    }

    const std::size_t limit;
    std::atomic<unsigned long long> dropped{0};
    std::atomic<double> clockHz[kPairs];
    std::mutex queueLock;  // guards everything below but callLock
    std::condition_variable queued;
    std::deque<Report> queue;
    Listener listener;
    bool stop = false;
    std::mutex callLock;  // held while the listener runs
};

ReportDispatch::ReportDispatch(std::size_t limit) : m_pShared(std::make_shared<Shared>(limit)) {
    std::shared_ptr<Shared> shared = m_pShared;
    // The host's signals go to the host's threads, not to this one.
    const platform::SignalsHeldOff held;
    m_Thread = std::thread([shared] { Run(shared); });
}

ReportDispatch::~ReportDispatch() {
    {
        std::lock_guard<std::mutex> hold(m_pShared->queueLock);
        m_pShared->stop = true;
        m_pShared->queue.clear();
    }
    m_pShared->queued.notify_all();
    if (std::this_thread::get_id() == m_Thread.get_id()) {
        // Joining itself would end the process; the thread holds what it
        // needs and ends once the listener returns.
        m_Thread.detach();
    } else {
        m_Thread.join();
    }
}

void ReportDispatch::SetClocks(const double hz[kPairs]) {
    for (int pair = 0; pair < kPairs; ++pair) {
        m_pShared->clockHz[pair].store(hz[pair], std::memory_order_relaxed);
    }
}

void ReportDispatch::SetListener(Listener listener, bool wait) {
    Shared& shared = *m_pShared;
    std::unique_lock<std::mutex> call(shared.callLock, std::defer_lock);
    if (wait && std::this_thread::get_id() != m_Thread.get_id()) {
        call.lock();
    }
    Listener old;
    {
        std::lock_guard<std::mutex> hold(shared.queueLock);
        old = std::move(shared.listener);
        shared.listener = std::move(listener);
        if (!shared.listener) {
            shared.queue.clear();
        }
    }
    // The old listener (and what it holds) goes here, outside the queue's
    // lock: a host's object may do anything when released.
}

void ReportDispatch::Push(char channel, unsigned int counts, long long timeNs) {
    Shared& shared = *m_pShared;
    {
        std::lock_guard<std::mutex> hold(shared.queueLock);
        if (!shared.listener || shared.stop) {
            return;
        }
        // A listener slower than the reports must not grow memory with
        // their rate: the oldest waiting report gives way to the newest.
        if (shared.queue.size() >= shared.limit) {
            shared.queue.pop_front();
            shared.dropped.fetch_add(1, std::memory_order_relaxed);
        }
        shared.queue.push_back({channel, counts, timeNs});
    }
    shared.queued.notify_one();
}

unsigned long long ReportDispatch::Dropped() const {
    return m_pShared->dropped.load(std::memory_order_relaxed);
}

void ReportDispatch::Run(const std::shared_ptr<Shared>& pointer) {
    Shared& shared = *pointer;
    for (;;) {
        Shared::Report report;
        {
            std::unique_lock<std::mutex> hold(shared.queueLock);
            shared.queued.wait(hold, [&shared] { return shared.stop || !shared.queue.empty(); });
            if (shared.stop) {
                return;
            }
            report = shared.queue.front();
            shared.queue.pop_front();
        }
        const int pair = (report.channel - 'A') / 2;
        const double hz =
            pair >= 0 && pair < kPairs ? shared.clockHz[pair].load(std::memory_order_relaxed) : 0.0;
        // A listener that throws, or a copy of it that cannot be made, loses
        // that call only: nothing may leave this thread, which would end the
        // host's process. A thread being ended (a forced unwind, as when an
        // interpreter ends the threads that call into it) is no exception of
        // the listener's and goes on.
        try {
            std::lock_guard<std::mutex> call(shared.callLock);
            Listener listener;
            {
                std::lock_guard<std::mutex> hold(shared.queueLock);
                if (shared.stop) {
                    return;
                }
                listener = shared.listener;
            }
            if (listener) {
                listener(report.channel, report.counts, hz > 0.0 ? report.counts / hz : 0.0,
                         report.timeNs);
            }
#if defined(__GLIBCXX__)
        } catch (abi::__forced_unwind&) {
            throw;
#endif
        } catch (...) {
        }
    }
}

}  // namespace veltor
