/// @file
/// One request/response exchange with the instrument: the framed request, the
/// response of the current attempt, a status text, the time allowed for each
/// wait for response bytes and the attempts left.
#pragma once

#include <veltor/export.h>

/// One request to the instrument and the answer of its latest attempt.
class VELTOR_API CCommand {
public:
    /// Response count values at or above this are error codes, not counts.
    static constexpr unsigned int kErrorCodeBase = 0x0FF00000u;
    /// The response was complete and its checksum failed.
    static constexpr unsigned int kChecksumFailed = 0x0FF00001u;

    CCommand();
    /// Frames a request: frame code (0xD8), payload and its length, status
    /// text (null: "Working..."), user data, time-out per wait in milliseconds
    /// and attempts.
    CCommand(unsigned char frameCode, const unsigned char* payload, int length, const char* status,
             unsigned int userData, int timeout, int tries);
    /// Copies the request, the response and every field.
    CCommand(const CCommand& other);
    virtual ~CCommand();

    /// Frames a request at *cursor and advances the cursor past it.
    virtual void MakePacket(unsigned char frameCode, unsigned char** cursor, int* size,
                            const unsigned char* payload, int length);
    /// Response bytes needed before the response length is known.
    virtual int GetHeaderSize();

    /// Appends answer bytes; true once the answer is complete (its checksum
    /// good or not). The first bytes must start with 0xAA or 0xEE.
    bool AddResponse(const unsigned char* bytes, unsigned int count);
    /// True when the stored answer is complete; a failed checksum sets
    /// m_ResponseCount to kChecksumFailed.
    bool CheckResponse();
    /// True when no answer is stored or the stored one failed.
    bool HasFailed();
    /// Clears the counts, the user data and the status, and restores 5 attempts.
    void Reset();
    /// Replaces the status text (null empties it).
    void SetStatus(const char* status);
    /// Sets the attempts left.
    void SetTries(int tries);
    /// Sets the time-out per wait for answer bytes, in milliseconds.
    void SetTimeout(int timeout);

    unsigned int m_Tag;             ///< for the host; not interpreted
    char m_Status[256];             ///< the operation in words ("Enabling outputs...")
    unsigned int m_UserData;        ///< for the host; not interpreted
    unsigned int m_UserData2;       ///< for the host; not interpreted
    unsigned char m_Request[256];   ///< the framed request, as written to the port
    int m_RequestLength;            ///< bytes of m_Request in use
    unsigned char m_Response[256];  ///< the answer of the latest attempt
    unsigned int m_ResponseCount;   ///< answer bytes stored, or an error code
    int m_Tries;                    ///< attempts left
    int m_Timeout;                  ///< milliseconds per wait for answer bytes

protected:
    /// Chooses the framing constructor that leaves m_Response as it is.
    struct KeepResponse {};
    /// Frames a request like the constructor above, with no user data, but
    /// leaves m_Response uncleared: for a request whose answer is read only
    /// up to m_ResponseCount, by the code that made it.
    CCommand(KeepResponse, unsigned char frameCode, const unsigned char* payload, int length,
             const char* status, int timeout, int tries);
};
