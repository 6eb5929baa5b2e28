#include "device/Request.h"

#include <veltor/CCommand.h>

#include <algorithm>
#include <cstring>

#include "device/ChannelHost.h"

namespace veltor {

namespace {
thread_local const RequestLimit* tLimit = nullptr;
}

RequestLimit::RequestLimit(int timeoutMs, int attempts)
    : m_Outer(tLimit), m_TimeoutMs(timeoutMs), m_Attempts(attempts) {
    tLimit = this;
}

RequestLimit::~RequestLimit() {
    tLimit = m_Outer;
}

bool SendRequest(ChannelHost& device, const unsigned char* payload, int length, const char* status,
                 int timeoutMs, Response* response, const char* once) {
    // One request, built and released in this call: on the stack, so that a
    // command costs no heap allocation.
    CCommand command(kFrameCode, payload, length, status, 0, kTimeoutMs, kAttempts);
    if (timeoutMs != kTimeoutMs) {
        command.SetTimeout(timeoutMs);
    }
    if (tLimit != nullptr) {
        command.SetTimeout(std::min(timeoutMs, tLimit->m_TimeoutMs));
        command.SetTries(tLimit->m_Attempts);
    }
    const bool ok = device.Carry(&command, once);
    if (ok && response != nullptr) {
        std::memcpy(response->bytes, command.m_Response, sizeof(response->bytes));
        response->count = command.m_ResponseCount;
    }
    return ok;
}

}  // namespace veltor
