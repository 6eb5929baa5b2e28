#include "tango/EventPusher.h"

#include <tango.h>

#include "tango/Monitor.h"

namespace veltor::tango {

EventPusher::EventPusher(Tango::DeviceImpl& device, Push push)
    : m_Device(device), m_Push(std::move(push)), m_Thread([this] { Run(); }) {}

EventPusher::~EventPusher() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
    }
    m_Wake.notify_one();
    m_Thread.join();
}

void EventPusher::Post(char channel, double seconds) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Queue.size() == kQueueLimit) {
            m_Queue.pop_front();
        }
        m_Queue.push_back({channel, seconds});
    }
    m_Wake.notify_one();
}

void EventPusher::Run() {
    // Tango's monitor knows its owner by omniORB's thread object, which a
    // thread omniORB did not start must be given.
    omni_thread* dummy = omni_thread::create_dummy();
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        m_Wake.wait(lock, [this] { return m_bStop || !m_Queue.empty(); });
        if (m_bStop) {
            break;
        }
        const Report report = m_Queue.front();
        m_Queue.pop_front();
        lock.unlock();
        try {
            MonitorHold hold(m_Device);
            m_Push(report.channel, report.seconds);
        } catch (const Tango::DevFailed&) {
            // The monitor's time-out, or Tango's refusal: this report's event
            // is lost; the attribute still reads it.
        }
        lock.lock();
    }
    lock.unlock();
    if (dummy != nullptr) {
        omni_thread::release_dummy();
    }
}

}  // namespace veltor::tango
