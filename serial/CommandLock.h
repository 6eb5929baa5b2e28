// The command lock of a serial device. Recursive, so that a command may be
// made of others: a thread that holds it takes it again by comparing the
// owner, without touching the lock beneath.
#pragma once

#include <atomic>
#include <thread>

#include "platform/Platform.h"

namespace veltor {

class CommandLock {
public:
    void lock() {
        const std::thread::id self = std::this_thread::get_id();
        if (m_Owner.load(std::memory_order_relaxed) == self) {
            ++m_nDepth;
            return;
        }
        m_Lock.Enter();
        m_Owner.store(self, std::memory_order_relaxed);
        m_nDepth = 1;
        // A cancel meant for an earlier holder does not reach this one.
        m_bCancelled.store(false, std::memory_order_relaxed);
    }
    // Takes it only if no other thread holds it; true when taken.
    bool try_lock() {
        const std::thread::id self = std::this_thread::get_id();
        if (m_Owner.load(std::memory_order_relaxed) == self) {
            ++m_nDepth;
            return true;
        }
        if (!m_Lock.TryEnter()) {
            return false;
        }
        m_Owner.store(self, std::memory_order_relaxed);
        m_nDepth = 1;
        m_bCancelled.store(false, std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        if (--m_nDepth == 0) {
            m_Owner.store(std::thread::id(), std::memory_order_relaxed);
            m_Lock.Leave();
        }
    }

    // The holder's command is to end (CSerDev::CancelCommand); any thread.
    void Cancel() { m_bCancelled.store(true, std::memory_order_relaxed); }
    bool Cancelled() const { return m_bCancelled.load(std::memory_order_relaxed); }

    // Whether the calling thread holds it: only that thread can have stored
    // its own id, so the answer is exact for the caller.
    bool HeldHere() const {
        return m_Owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

private:
    platform::Lock m_Lock;
    std::atomic<std::thread::id> m_Owner{std::thread::id()};
    int m_nDepth = 0;  // the owner's
    std::atomic<bool> m_bCancelled{false};
};

}  // namespace veltor
