#include "serial/CSerialBuffer.h"

#include <algorithm>
#include <cstring>

CSerialBuffer::CSerialBuffer() : m_ReadPos(0), m_WritePos(0) {}

void CSerialBuffer::Put(const unsigned char* bytes, unsigned long count) {
    // In at most two runs (up to the end of the ring, then from its start),
    // leaving the ring as writing byte by byte would: of more than the ring
    // holds, only the last kSize bytes stay, each where it would have gone.
    if (count <= kShortRun) {
        int position = m_WritePos;  // a local: the bytes stored cannot alias it
        for (unsigned long i = 0; i < count; ++i) {
            m_Data[position] = bytes[i];
            position = (position + 1) & (kSize - 1);
        }
        m_WritePos = position;
        return;
    }
    if (count > static_cast<unsigned long>(kSize)) {
        const unsigned long skipped = count - kSize;
        m_WritePos = static_cast<int>((m_WritePos + skipped) % kSize);
        bytes += skipped;
        count = kSize;
    }
    while (count > 0) {
        const unsigned long run = std::min<unsigned long>(count, kSize - m_WritePos);
        std::memcpy(m_Data + m_WritePos, bytes, run);
        m_WritePos = static_cast<int>((m_WritePos + run) % kSize);
        bytes += run;
        count -= run;
    }
}

long CSerialBuffer::GetHeld(unsigned char* destination, long count, veltor::Handle& dataEvent) {
    static_assert((kSize & (kSize - 1)) == 0, "the ring's size is a power of two");
    const long available = Held();
    count = std::max(0L, std::min(count, available));
    if (count <= static_cast<long>(kShortRun)) {
        int position = m_ReadPos;
        for (long i = 0; i < count; ++i) {
            destination[i] = m_Data[position];
            position = (position + 1) & (kSize - 1);
        }
        m_ReadPos = position;
    } else {
        for (long done = 0; done < count;) {
            const long run = std::min<long>(count - done, kSize - m_ReadPos);
            std::memcpy(destination + done, m_Data + m_ReadPos, static_cast<std::size_t>(run));
            m_ReadPos = static_cast<int>((m_ReadPos + run) & (kSize - 1));
            done += run;
        }
    }
    if (m_ReadPos == m_WritePos) {
        MarkEmpty(dataEvent);
    }
    return count;
}
