// The events the panel pushes to every open page (server-sent events): delay
// reports, the wire trace, command outcomes, the connection and the state.
// One numbered list that each page reads from where it stands, so that all
// pages see the same events in the same order.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace veltor::panel {

struct Event {
    long long number;  // from 1, in the order pushed
    std::string type;  // "report", "trace", "outcome", "connection", "state"
    std::string data;  // JSON
};

class EventHub {
public:
    // The most events, and the most bytes of them, kept for pages that read
    // late; a page further behind misses the oldest (the wire trace can be
    // fast, and a state event holds the setup twice). The newest is kept
    // whatever its size.
    static constexpr std::size_t kKept = 2000;
    static constexpr std::size_t kKeptBytes = 16 << 20;

    void Push(const std::string& type, const std::string& data);
    // The events after `after`, waiting up to `timeoutMs` for one; empty
    // when none came or the hub is closed. Shared, not copied. Any thread.
    std::vector<std::shared_ptr<const Event>> After(long long after, int timeoutMs);
    // The bytes of the events kept.
    std::size_t KeptBytes() const;
    // The number of the last event pushed.
    long long Last() const;
    // Ends every wait, now and later (the server is stopping).
    void Close();
    bool Closed() const;

private:
    mutable std::mutex m_Lock;
    std::condition_variable m_Pushed;
    std::deque<std::shared_ptr<const Event>> m_Events;
    std::size_t m_nBytes = 0;
    long long m_nLast = 0;
    bool m_bClosed = false;
};

// "id: 3\nevent: report\ndata: {...}\n\n".
std::string FormatEvent(const Event& event);

}  // namespace veltor::panel
