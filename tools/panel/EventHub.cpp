#include "tools/panel/EventHub.h"

#include <chrono>

namespace veltor::panel {

void EventHub::Push(const std::string& type, const std::string& data) {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Events.push_back({++m_nLast, type, data});
        if (m_Events.size() > kKept) {
            m_Events.pop_front();
        }
    }
    m_Pushed.notify_all();
}

std::vector<Event> EventHub::After(long long after, int timeoutMs) {
    std::unique_lock<std::mutex> hold(m_Lock);
    m_Pushed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                      [&] { return m_bClosed || m_nLast > after; });
    std::vector<Event> found;
    if (m_bClosed) {
        return found;
    }
    for (const Event& event : m_Events) {
        if (event.number > after) {
            found.push_back(event);
        }
    }
    return found;
}

long long EventHub::Last() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_nLast;
}

void EventHub::Close() {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_bClosed = true;
    }
    m_Pushed.notify_all();
}

bool EventHub::Closed() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_bClosed;
}

std::string FormatEvent(const Event& event) {
    // The data is one line of JSON: a dump never holds a raw newline.
    return "id: " + std::to_string(event.number) + "\nevent: " + event.type +
           "\ndata: " + event.data + "\n\n";
}

}  // namespace veltor::panel
