#include <veltor/CCommand.h>

#include <cstring>

#include "serial/Wire.h"

namespace {

void CopyStatus(char* destination, const char* status) {
    if (status == nullptr) {
        destination[0] = '\0';
        return;
    }
    // Up to 255 characters and the terminator; the rest of the buffer is
    // never read.
    const std::size_t length = strnlen(status, 255);
    std::memcpy(destination, status, length);
    destination[length] = '\0';
}

// Fills the status text and the framed request. Calls the class's own
// MakePacket: it runs in a constructor.
void Frame(CCommand& command, unsigned char frameCode, const unsigned char* payload, int length,
           const char* status) {
    CopyStatus(command.m_Status, status != nullptr ? status : "Working...");
    // Only the framed bytes of the request are ever read (m_RequestLength).
    // A payload longer than the request buffer can frame is cut to what fits;
    // the commands of the library never build one.
    if (length < 0 || payload == nullptr) {
        length = 0;
    }
    if (length > 251) {
        length = 251;
    }
    unsigned char* cursor = command.m_Request;
    command.CCommand::MakePacket(frameCode, &cursor, &command.m_RequestLength, payload, length);
}

}  // namespace

CCommand::CCommand()
    : m_Tag(0),
      m_UserData(0),
      m_UserData2(0),
      m_RequestLength(0),
      m_ResponseCount(0),
      m_Tries(5),
      m_Timeout(0) {
    m_Status[0] = '\0';
    std::memset(m_Request, 0, sizeof(m_Request));
    std::memset(m_Response, 0, sizeof(m_Response));
}

CCommand::CCommand(unsigned char frameCode, const unsigned char* payload, int length,
                   const char* status, unsigned int userData, int timeout, int tries)
    : m_Tag(0),
      m_UserData(userData),
      m_UserData2(0),
      m_RequestLength(0),
      m_ResponseCount(0),
      m_Tries(tries),
      m_Timeout(timeout) {
    std::memset(m_Response, 0, sizeof(m_Response));
    Frame(*this, frameCode, payload, length, status);
}

CCommand::CCommand(KeepResponse, unsigned char frameCode, const unsigned char* payload, int length,
                   const char* status, int timeout, int tries)
    : m_Tag(0),
      m_UserData(0),
      m_UserData2(0),
      m_RequestLength(0),
      m_ResponseCount(0),
      m_Tries(tries),
      m_Timeout(timeout) {
    Frame(*this, frameCode, payload, length, status);
}

CCommand::CCommand(const CCommand& other)
    : m_Tag(other.m_Tag),
      m_UserData(other.m_UserData),
      m_UserData2(other.m_UserData2),
      m_RequestLength(other.m_RequestLength),
      m_ResponseCount(other.m_ResponseCount),
      m_Tries(other.m_Tries),
      m_Timeout(other.m_Timeout) {
    std::memcpy(m_Status, other.m_Status, sizeof(m_Status));
    std::memset(m_Request, 0, sizeof(m_Request));
    std::memset(m_Response, 0, sizeof(m_Response));
    unsigned int requestBytes =
        m_RequestLength > 0 ? static_cast<unsigned int>(m_RequestLength) : 0;
    if (requestBytes > sizeof(m_Request)) {
        requestBytes = sizeof(m_Request);
    }
    std::memcpy(m_Request, other.m_Request, requestBytes);
    unsigned int responseBytes =
        m_ResponseCount >= kErrorCodeBase ? sizeof(m_Response) : m_ResponseCount;
    if (responseBytes > sizeof(m_Response)) {
        responseBytes = sizeof(m_Response);
    }
    std::memcpy(m_Response, other.m_Response, responseBytes);
}

CCommand::~CCommand() {}

void CCommand::MakePacket(unsigned char frameCode, unsigned char** cursor, int* size,
                          const unsigned char* payload, int length) {
    unsigned char* out = *cursor;
    const unsigned char lengthByte = static_cast<unsigned char>(length + 2);
    *out++ = veltor::kRequestLead;
    *out++ = frameCode;
    *out++ = lengthByte;
    unsigned char checksum = static_cast<unsigned char>(0 - lengthByte);
    for (int i = 0; i < length; ++i) {
        *out++ = payload[i];
        checksum = static_cast<unsigned char>(checksum - payload[i]);
    }
    *out++ = 0x00;
    *out++ = checksum;
    *size = length + 5;
    *cursor = out;
}

int CCommand::GetHeaderSize() {
    return 2;
}

bool CCommand::AddResponse(const unsigned char* bytes, unsigned int count) {
    if (bytes == nullptr || count == 0) {
        return false;
    }
    if (m_ResponseCount == 0 && !veltor::IsAnswerLead(bytes[0])) {
        return false;
    }
    for (unsigned int i = 0; i < count; ++i) {
        m_Response[m_ResponseCount % 256] = bytes[i];
        ++m_ResponseCount;
    }
    return CheckResponse();
}

bool CCommand::CheckResponse() {
    if (m_ResponseCount < static_cast<unsigned int>(GetHeaderSize())) {
        return false;
    }
    const unsigned int length = m_Response[1];
    if (length == 0) {
        return true;
    }
    if (m_ResponseCount < length + 2) {
        return false;
    }
    // A length byte of 255 announces 257 bytes, one more than the buffer
    // holds: the checksum byte would wrap onto the lead byte. Such a response
    // is judged complete and invalid.
    if (length + 2 > sizeof(m_Response)) {
        m_ResponseCount = kChecksumFailed;
        return true;
    }
    unsigned char sum = 0;
    for (unsigned int i = 1; i <= length + 1; ++i) {
        sum = static_cast<unsigned char>(sum + m_Response[i]);
    }
    if (sum != 0) {
        m_ResponseCount = kChecksumFailed;
    }
    return true;
}

bool CCommand::HasFailed() {
    return m_ResponseCount == 0 || m_ResponseCount >= kErrorCodeBase;
}

void CCommand::Reset() {
    m_ResponseCount = 0;
    m_RequestLength = 0;
    m_UserData = 0;
    m_UserData2 = 0;
    m_Status[0] = '\0';
    m_Tries = 5;
}

void CCommand::SetStatus(const char* status) {
    CopyStatus(m_Status, status);
}

void CCommand::SetTries(int tries) {
    m_Tries = tries;
}

void CCommand::SetTimeout(int timeout) {
    m_Timeout = timeout;
}
