// The reconnecting policy of a device: its settings, the port to open again,
// and the thread that tries. The thread waits on a condition with a time-out
// between tries and with none while the line is up, so it costs nothing
// while idle.
#pragma once

#include <veltor/CVeltor.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace veltor {

class Reconnector {
public:
    explicit Reconnector(CVeltor& device);
    // Ends the thread; on the thread itself (a device destroyed in its
    // reconnect listener) leaves it to end when that call returns.
    ~Reconnector();
    // The same, leaving the object for calls that may still come from other
    // threads (they find it stopped). Idempotent.
    void Stop();
    Reconnector(const Reconnector&) = delete;
    Reconnector& operator=(const Reconnector&) = delete;

    // The thread is made with the first policy that is on.
    void SetPolicy(const CVeltor::ReconnectPolicy& policy);
    CVeltor::ReconnectPolicy Policy() const;
    void SetListener(CVeltor::ReconnectListener listener, bool mayWait);

    // The host opened the port by this name (or number, when name is empty):
    // the one to open again when the line is lost.
    void Arm(const std::string& name, int port, int baudIndex);
    // The host closed the line: no more tries.
    void Disarm();
    // Whether a lost line is to be opened again, and how.
    bool Armed(std::string& name, int& port, int& baudIndex) const;
    // The line went away (any thread, any lock held).
    void Wake();

private:
    struct State;
    static void Run(std::shared_ptr<State> state);
    std::shared_ptr<State> m_State;
};

}  // namespace veltor
