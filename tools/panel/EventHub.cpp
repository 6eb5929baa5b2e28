#include "tools/panel/EventHub.h"

#include <chrono>

namespace veltor::panel {

namespace {

std::size_t Bytes(const Event& event) {
    return event.type.size() + event.data.size();
}

}  // namespace

void EventHub::Push(const std::string& type, const std::string& data) {
    // Made outside the lock: the data may be large.
    auto event = std::make_shared<Event>(Event{0, type, data});
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        event->number = ++m_nLast;
        m_nBytes += Bytes(*event);
        m_Events.push_back(std::move(event));
        while (m_Events.size() > kKept || (m_nBytes > kKeptBytes && m_Events.size() > 1)) {
            m_nBytes -= Bytes(*m_Events.front());
            m_Events.pop_front();
        }
    }
    m_Pushed.notify_all();
}

std::vector<std::shared_ptr<const Event>> EventHub::After(long long after, int timeoutMs) {
    std::unique_lock<std::mutex> hold(m_Lock);
    m_Pushed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                      [&] { return m_bClosed || m_nLast > after; });
    std::vector<std::shared_ptr<const Event>> found;
    if (m_bClosed) {
        return found;
    }
    for (const std::shared_ptr<const Event>& event : m_Events) {
        if (event->number > after) {
            found.push_back(event);
        }
    }
    return found;
}

std::size_t EventHub::KeptBytes() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_nBytes;
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
