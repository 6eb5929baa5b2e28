#include "serial/CSerialBuffer.h"

CSerialBuffer::CSerialBuffer() : m_bReady(false), m_ReadPos(0), m_WritePos(0) {
    Init();
}

CSerialBuffer::~CSerialBuffer() {}

void CSerialBuffer::Init() {
    m_bReady = true;
    m_ReadPos = 0;
    m_WritePos = 0;
}

void CSerialBuffer::Put(const unsigned char* bytes, unsigned long count) {
    for (unsigned long i = 0; i < count; ++i) {
        m_Data[m_WritePos] = bytes[i];
        m_WritePos = (m_WritePos + 1) % kSize;
    }
}

long CSerialBuffer::Get(unsigned char* destination, long count, veltor::Handle& dataEvent) {
    m_Lock.Enter();
    long available = m_WritePos - m_ReadPos;
    if (available < 0) {
        available += kSize;
    }
    if (count > available) {
        count = available;
    }
    if (count < 0) {
        count = 0;
    }
    for (long i = 0; i < count; ++i) {
        destination[i] = m_Data[m_ReadPos];
        m_ReadPos = (m_ReadPos + 1) % kSize;
    }
    if (m_ReadPos == m_WritePos) {
        MarkEmpty(dataEvent);
    }
    m_Lock.Leave();
    return count;
}

void CSerialBuffer::Clear() {
    m_Lock.Enter();
    m_ReadPos = m_WritePos;
    m_Lock.Leave();
}

void CSerialBuffer::MarkEmpty(veltor::Handle& dataEvent) {
    m_ReadPos = m_WritePos;
    if (veltor::platform::IsHeld(dataEvent)) {
        veltor::platform::ResetEvent(dataEvent);
    }
}
