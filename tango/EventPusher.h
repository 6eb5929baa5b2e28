// Pushes the change events of delay reports from a thread of its own.
//
// The library calls its report listener on its own thread, outside its
// locks; a change event must be pushed under the Tango device's monitor, or
// it races with a client's read of the same attribute. Waiting for that
// monitor in the listener would hold up every later report while a client's
// command runs, and a command that removes the listener under the monitor
// would wait for a listener that waits for the monitor. So the listener only
// posts here, never blocking, and this thread takes the monitor.
//
// The thread lives as long as the Tango device, not as long as one
// instrument: Init, which holds the monitor, only drops what waits here and
// never waits for this thread, which may itself be waiting for that monitor.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Tango {
class DeviceImpl;
}

namespace veltor::tango {

class EventPusher {
public:
    // Called under the device's monitor, one report at a time.
    using Push = std::function<void(char channel, double seconds)>;

    EventPusher(Tango::DeviceImpl& device, Push push);
    // Drops what still waits and joins the thread. A push waiting for the
    // monitor gives up at the monitor's time-out, so the device's owner
    // destroys this without holding the monitor where it can.
    ~EventPusher();
    EventPusher(const EventPusher&) = delete;
    EventPusher& operator=(const EventPusher&) = delete;

    // Any thread; never blocks on the device.
    void Post(char channel, double seconds);
    // Forgets every report posted so far, including one waiting for the
    // monitor. Any thread; never blocks on the device.
    void Drop();

private:
    struct Report {
        char channel;
        double seconds;
        std::uint64_t generation;
    };
    // A report queue grows no further than the library's own queue.
    static constexpr std::size_t kQueueLimit = 4096;

    void Run();
    // Pushes one report unless Drop came after it; false when the thread is
    // to end. Takes and releases m_Mutex through lock.
    bool PushOne(std::unique_lock<std::mutex>& lock, const Report& report);

    Tango::DeviceImpl& m_Device;
    Push m_Push;
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::deque<Report> m_Queue;
    std::uint64_t m_Generation = 0;
    bool m_bStop = false;
    std::thread m_Thread;
};

}  // namespace veltor::tango
