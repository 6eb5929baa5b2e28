#include "device/ReportDispatch.h"

#include <utility>

namespace veltor {

ReportDispatch::ReportDispatch(std::size_t limit, Frequency frequency)
    : m_nLimit(limit > 0 ? limit : 1), m_Frequency(std::move(frequency)) {
    m_Thread = std::thread([this] { Run(); });
}

ReportDispatch::~ReportDispatch() {
    {
        std::lock_guard<std::mutex> hold(m_QueueLock);
        m_bStop = true;
    }
    m_Queued.notify_all();
    m_Thread.join();
}

void ReportDispatch::SetListener(Listener listener) {
    std::unique_lock<std::mutex> call(m_CallLock, std::defer_lock);
    if (std::this_thread::get_id() != m_Thread.get_id()) {
        call.lock();
    }
    std::lock_guard<std::mutex> hold(m_QueueLock);
    m_Listener = std::move(listener);
    if (!m_Listener) {
        m_Queue.clear();
    }
}

void ReportDispatch::Push(char channel, unsigned int counts, long long timeNs) {
    {
        std::lock_guard<std::mutex> hold(m_QueueLock);
        if (!m_Listener) {
            return;
        }
        // A listener slower than the reports must not grow memory with
        // their rate: the oldest waiting report gives way to the newest.
        if (m_Queue.size() >= m_nLimit) {
            m_Queue.pop_front();
            m_nDropped.fetch_add(1, std::memory_order_relaxed);
        }
        m_Queue.push_back({channel, counts, timeNs});
    }
    m_Queued.notify_one();
}

void ReportDispatch::Run() {
    for (;;) {
        Report report;
        {
            std::unique_lock<std::mutex> hold(m_QueueLock);
            m_Queued.wait(hold, [this] { return m_bStop || !m_Queue.empty(); });
            if (m_bStop) {
                return;
            }
            report = m_Queue.front();
            m_Queue.pop_front();
        }
        // Nothing may leave this thread, which would end the host's process:
        // a listener that throws, or a copy of it that cannot be made, loses
        // that call only.
        try {
            const double frequency = m_Frequency(report.channel);
            std::lock_guard<std::mutex> call(m_CallLock);
            Listener listener;
            {
                std::lock_guard<std::mutex> hold(m_QueueLock);
                listener = m_Listener;
            }
            if (listener) {
                listener(report.channel, report.counts,
                         frequency > 0.0 ? report.counts / frequency : 0.0, report.timeNs);
            }
        } catch (...) {
        }
    }
}

}  // namespace veltor
