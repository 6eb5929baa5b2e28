// The serial device: the port, its watcher thread and the receive ring, and
// one attempt of a request/response exchange.
#pragma once

#include <veltor/export.h>

#include <atomic>

class CCommand;
class CSerialBuffer;

class VELTOR_API CSerDev {
public:
    CSerDev();
    virtual ~CSerDev();
    // A copy would release the source's port, thread and ring a second time.
    CSerDev(const CSerDev&) = delete;
    CSerDev& operator=(const CSerDev&) = delete;

    // Bytes that arrived while no exchange awaited a response: one drain's
    // worth, valid only during the call. Runs on the watcher thread with the
    // receive lock held: it must not start an exchange or close the device.
    virtual void HandleUnsolicited(unsigned char* bytes, unsigned long count);
    // Stops the watcher and releases the port and events. Always 0.
    virtual int CloseConnection();
    bool IsConnected() const;

    // How the last attempt of an exchange ended.
    enum Outcome {
        kNone,          // no exchange yet
        kSuccess,       // a valid positive answer
        kNotConnected,  // nothing was sent
        kWriteFailed,   // the request could not be written (or its write was given up)
        kNoAnswer,      // no answer within the time allowed
        kNegative,      // the instrument refused the request
        kWrongLead,     // the answer began with an unknown byte
        kIncomplete,    // the answer stopped after its header
        kBadChecksum,   // the answer's checksum failed
    };
    Outcome GetLastOutcome() const;

protected:
    // Opens port number `port` (COM n on Windows, /dev/ttyS(n-1) on Linux) at
    // baud index 0..6 (2400..115200 bit/s). 0 on success; -1 bad baud index or
    // the port cannot be opened; -2..-5 a configuration step failed.
    virtual int InitConnection(int port, int baudIndex);
    // The same for a port given by its device name.
    int InitConnection(const char* device, int baudIndex);

    // One attempt of an exchange: true when a valid positive response arrived.
    bool SendReceive(CCommand* command);
    // Writes raw bytes; false only when not connected.
    bool Write(unsigned char* bytes, int count);

    std::atomic<bool> m_bConnected;
    // Raised while an exchange awaits its response; decides where the watcher
    // puts what it drains (the ring, or HandleUnsolicited).
    std::atomic<bool> m_bAwaiting;
    CSerialBuffer* m_pBuffer;
    veltor::Handle m_hDataEvent;
    veltor::Handle m_hPort;
    veltor::Handle m_hStopEvent;
    veltor::Handle m_hThread;
    veltor::Handle m_hStartedEvent;

private:
    Outcome Exchange(CCommand* command);
    long ReadN(unsigned char* destination, long count, long timeout);
    static unsigned CommWatchProc(void* device);
    void CloseAndCleanHandle(veltor::Handle& handle);
    void InvalidateHandle(veltor::Handle& handle);

    long m_nBaud;  // line speed of the open port, bounds the wait for a write
    Outcome m_LastOutcome;
};
