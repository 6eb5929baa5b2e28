// One request/response exchange with the instrument: the framed request, the
// response of the current attempt, a status text, the time allowed for each
// wait for response bytes and the attempts left.
#pragma once

#include <veltor/export.h>

class VELTOR_API CCommand {
public:
    // Response count values at or above this are error codes, not counts.
    static constexpr unsigned int kErrorCodeBase = 0x0FF00000u;
    // The response was complete and its checksum failed.
    static constexpr unsigned int kChecksumFailed = 0x0FF00001u;

    CCommand();
    CCommand(unsigned char frameCode, const unsigned char* payload, int length, const char* status,
             unsigned int userData, int timeout, int tries);
    CCommand(const CCommand& other);
    virtual ~CCommand();

    // Frames a request at *cursor and advances the cursor past it.
    virtual void MakePacket(unsigned char frameCode, unsigned char** cursor, int* size,
                            const unsigned char* payload, int length);
    // Response bytes needed before the response length is known.
    virtual int GetHeaderSize();

    bool AddResponse(const unsigned char* bytes, unsigned int count);
    bool CheckResponse();
    bool HasFailed();
    void Reset();
    void SetStatus(const char* status);
    void SetTries(int tries);
    void SetTimeout(int timeout);

    unsigned int m_Tag;
    char m_Status[256];
    unsigned int m_UserData;
    unsigned int m_UserData2;
    unsigned char m_Request[256];
    int m_RequestLength;
    unsigned char m_Response[256];
    unsigned int m_ResponseCount;
    int m_Tries;
    int m_Timeout;
};
