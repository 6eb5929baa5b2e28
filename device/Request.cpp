#include "device/Request.h"

#include <veltor/CCommand.h>
#include <veltor/CVeltor.h>

#include <cstring>

namespace veltor {

bool SendRequest(CVeltor* device, const unsigned char* payload, int length, const char* status,
                 int timeoutMs, Response* response) {
    if (device == nullptr) {
        return false;
    }
    CCommand* command = new CCommand(kFrameCode, payload, length, status, 0, kTimeoutMs, kAttempts);
    if (timeoutMs != kTimeoutMs) {
        command->SetTimeout(timeoutMs);
    }
    const bool ok = device->DoCommand(command);
    if (ok && response != nullptr) {
        std::memcpy(response->bytes, command->m_Response, sizeof(response->bytes));
        response->count = command->m_ResponseCount;
    }
    delete command;
    return ok;
}

}  // namespace veltor
