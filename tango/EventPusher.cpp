#include "tango/EventPusher.h"

#include <tango.h>

#include <cstdio>
#include <exception>

#include "tango/Monitor.h"

namespace veltor::tango {

EventPusher::EventPusher(Tango::DeviceImpl& device, Push push)
    : m_Device(device), m_Push(std::move(push)), m_Thread([this] { Run(); }) {}

EventPusher::~EventPusher() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
        m_Queue.clear();
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
        m_Queue.push_back({channel, seconds, m_Generation});
    }
    m_Wake.notify_one();
}

void EventPusher::Drop() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.clear();
    ++m_Generation;
}

void EventPusher::Run() {
    // Nothing thrown here may end the server: each failure costs one event
    // at most and is logged.
    omni_thread* dummy = nullptr;
    try {
        // Tango's monitor knows its owner by omniORB's thread object, which
        // a thread omniORB did not start must be given.
        dummy = omni_thread::create_dummy();
    } catch (...) {
        std::fprintf(stderr, "veltor-tango: the event thread has no omniORB thread object\n");
    }
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        m_Wake.wait(lock, [this] { return m_bStop || !m_Queue.empty(); });
        if (m_bStop) {
            break;
        }
        const Report report = m_Queue.front();
        m_Queue.pop_front();
        if (!PushOne(lock, report)) {
            break;
        }
    }
    lock.unlock();
    if (dummy != nullptr) {
        omni_thread::release_dummy();
    }
}

bool EventPusher::PushOne(std::unique_lock<std::mutex>& lock, const Report& report) {
    lock.unlock();
    try {
        MonitorHold hold(m_Device);
        // Init may have dropped this report while the monitor was awaited.
        lock.lock();
        const bool current = report.generation == m_Generation && !m_bStop;
        lock.unlock();
        if (current) {
            m_Push(report.channel, report.seconds);
        }
    } catch (const Tango::DevFailed&) {
        // The monitor's time-out, or Tango's refusal: this report's event is
        // lost; the attribute still reads it.
    } catch (const std::exception& error) {
        std::fprintf(stderr, "veltor-tango: a delay report's event was lost: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "veltor-tango: a delay report's event was lost\n");
    }
    if (!lock.owns_lock()) {
        lock.lock();
    }
    return !m_bStop;
}

}  // namespace veltor::tango
