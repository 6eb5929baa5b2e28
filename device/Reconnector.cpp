#include "device/Reconnector.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "device/CVeltorImpl.h"
#include "platform/Platform.h"

namespace veltor {

// Shared with the thread, so that a device destroyed on that thread leaves
// the thread something to look at until it ends.
struct Reconnector::State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    CVeltor* device = nullptr;  // null once the device is going
    CVeltor::ReconnectPolicy policy;
    bool armed = false;
    std::string name;
    int port = 0;
    int baudIndex = 0;
    bool wake = false;
    bool stop = false;
    CVeltor::ReconnectListener listener;
    bool calling = false;
    std::thread thread;
};

namespace {

// Calls the listener outside the state's lock. False when the device is
// going and the thread is to end.
template <typename State>
bool Tell(State& state, std::unique_lock<std::mutex>& lock, CVeltor::ReconnectEvent event) {
    if (state.listener && !state.stop) {
        state.calling = true;
        lock.unlock();
        try {
            // Copied under the lock; the copy may fail too (out of memory).
            CVeltor::ReconnectListener listener;
            {
                std::lock_guard<std::mutex> copying(state.mutex);
                listener = state.listener;
            }
            if (listener) {
                listener(event);
            }
        } catch (...) {
            // A listener that throws loses that call only.
        }
        lock.lock();
        state.calling = false;
        state.changed.notify_all();
    }
    return !state.stop;
}

}  // namespace

Reconnector::Reconnector(CVeltor& device) : m_State(std::make_shared<State>()) {
    m_State->device = &device;
    m_State->policy.enabled = false;
}

Reconnector::~Reconnector() {
    std::unique_lock<std::mutex> lock(m_State->mutex);
    m_State->stop = true;
    m_State->device = nullptr;
    m_State->changed.notify_all();
    if (!m_State->thread.joinable()) {
        return;
    }
    if (m_State->thread.get_id() == std::this_thread::get_id()) {
        m_State->thread.detach();
        return;
    }
    lock.unlock();
    m_State->thread.join();
}

void Reconnector::SetPolicy(const CVeltor::ReconnectPolicy& policy) {
    std::lock_guard<std::mutex> lock(m_State->mutex);
    m_State->policy = policy;
    m_State->policy.firstMs = std::max(1u, policy.firstMs);
    m_State->policy.longestMs = std::max(m_State->policy.firstMs, policy.longestMs);
    m_State->wake = true;
    m_State->changed.notify_all();
    if (policy.enabled && !m_State->thread.joinable()) {
        // The host's signals go to the host's threads, not to this one.
        const platform::SignalsHeldOff held;
        m_State->thread = std::thread(&Reconnector::Run, m_State);
    }
}

CVeltor::ReconnectPolicy Reconnector::Policy() const {
    std::lock_guard<std::mutex> lock(m_State->mutex);
    return m_State->policy;
}

void Reconnector::SetListener(CVeltor::ReconnectListener listener, bool mayWait) {
    std::unique_lock<std::mutex> lock(m_State->mutex);
    m_State->listener = std::move(listener);
    // A call in progress may wait for the device's lock, or be the caller.
    if (mayWait && m_State->thread.get_id() != std::this_thread::get_id()) {
        m_State->changed.wait(lock, [this] { return !m_State->calling; });
    }
}

void Reconnector::Arm(const std::string& name, int port, int baudIndex) {
    std::lock_guard<std::mutex> lock(m_State->mutex);
    m_State->armed = true;
    m_State->name = name;
    m_State->port = port;
    m_State->baudIndex = baudIndex;
    m_State->wake = true;
    m_State->changed.notify_all();
}

void Reconnector::Disarm() {
    std::lock_guard<std::mutex> lock(m_State->mutex);
    m_State->armed = false;
    m_State->wake = true;
    m_State->changed.notify_all();
}

bool Reconnector::Armed(std::string& name, int& port, int& baudIndex) const {
    std::lock_guard<std::mutex> lock(m_State->mutex);
    name = m_State->name;
    port = m_State->port;
    baudIndex = m_State->baudIndex;
    return m_State->armed && m_State->policy.enabled && !m_State->stop;
}

void Reconnector::Wake() {
    std::lock_guard<std::mutex> lock(m_State->mutex);
    m_State->wake = true;
    m_State->changed.notify_all();
}

void Reconnector::Run(std::shared_ptr<State> shared) {
    State& state = *shared;
    std::unique_lock<std::mutex> lock(state.mutex);
    bool away = false;
    unsigned intervalMs = 0;
    auto woken = [&state] { return state.stop || state.wake; };
    while (!state.stop) {
        const bool wanted = state.policy.enabled && state.armed && !state.device->IsConnected();
        if (!wanted) {
            // Up, closed or off: nothing to do until the line goes or the
            // host changes something.
            away = false;
            state.wake = false;
            state.changed.wait(lock, woken);
            continue;
        }
        if (!away) {
            away = true;
            intervalMs = state.policy.firstMs;
            if (!Tell(state, lock, CVeltor::kLineLost)) {
                break;
            }
            continue;
        }
        state.wake = false;
        if (state.changed.wait_for(lock, std::chrono::milliseconds(intervalMs), woken)) {
            // Closed, stopped or changed meanwhile: look again.
            continue;
        }
        CVeltor& device = *state.device;
        lock.unlock();
        CVeltor::Impl::Reopened reopened = CVeltor::Impl::kStillAway;
        try {
            reopened = CVeltor::Impl::Of(device).Reopen();
        } catch (...) {
            // Nothing may end the host's process from this thread (out of
            // memory included): the line counts as still away, and is tried
            // again.
        }
        lock.lock();
        if (reopened == CVeltor::Impl::kStillAway) {
            intervalMs = static_cast<unsigned>(
                std::min<unsigned long long>(intervalMs * 2ULL, state.policy.longestMs));
            continue;
        }
        if (reopened == CVeltor::Impl::kNotWanted) {
            continue;
        }
        away = false;
        if (!Tell(state, lock, CVeltor::kLineBack)) {
            break;
        }
        if (reopened != CVeltor::Impl::kBack &&
            !Tell(state, lock,
                  reopened == CVeltor::Impl::kBackResent ? CVeltor::kUpdateResent
                                                         : CVeltor::kUpdateFailed)) {
            break;
        }
    }
}

}  // namespace veltor
