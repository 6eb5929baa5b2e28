// The receive ring of a serial device: 4096 bytes filled by the watcher thread
// while an exchange awaits its response, emptied by the exchange.
#pragma once

#include <veltor/export.h>

#include "platform/Platform.h"

class CSerialBuffer {
public:
    static const int kSize = 4096;
    // Runs up to this long (an answer's header, a short answer) are copied
    // byte by byte: cheaper than a call of memcpy.
    static const unsigned long kShortRun = 8;

    CSerialBuffer();
    CSerialBuffer(const CSerialBuffer&) = delete;
    CSerialBuffer& operator=(const CSerialBuffer&) = delete;

    // The caller holds the lock. Never refuses: more than 4095 unread bytes
    // overwrite the oldest.
    void Put(const unsigned char* bytes, unsigned long count);
    // Hands out up to count unread bytes and returns how many; resets the
    // data event when the ring is left empty. The caller holds the lock.
    long GetHeld(unsigned char* destination, long count, veltor::Handle& dataEvent);
    // How many bytes are unread, and the unread byte at an offset (below
    // that count) without taking it. The caller holds the lock.
    long Held() const { return (m_WritePos - m_ReadPos) & (kSize - 1); }
    unsigned char Peek(long offset) const { return m_Data[(m_ReadPos + offset) & (kSize - 1)]; }
    // Drops every unread byte and resets the data event. The caller holds
    // the lock. Inline: twice on every exchange.
    void MarkEmpty(veltor::Handle& dataEvent) {
        m_ReadPos = m_WritePos;
        if (veltor::platform::IsHeld(dataEvent)) {
            veltor::platform::ResetEvent(dataEvent);
        }
    }

    void Lock() { m_Lock.Enter(); }
    void Unlock() { m_Lock.Leave(); }

private:
    veltor::platform::Lock m_Lock;
    int m_ReadPos;
    unsigned char m_Data[kSize];
    int m_WritePos;
};
