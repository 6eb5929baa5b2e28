#include "device/Request.h"

#include <veltor/CCommand.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "device/ChannelHost.h"

namespace veltor {

namespace {
thread_local const RequestLimit* tLimit = nullptr;
// How many live on all threads: while none does, a request does not look up
// its thread's (a thread always sees its own count).
std::atomic<int> gLiveLimits{0};

// The library's own request: its answer is read only up to its count, here,
// so its response buffer is not cleared first.
class OwnRequest : public CCommand {
public:
    OwnRequest(const unsigned char* payload, int length, const char* status)
        : CCommand(KeepResponse(), kFrameCode, payload, length, status, kTimeoutMs, kAttempts) {}
};
}  // namespace

RequestLimit::RequestLimit(int timeoutMs, int attempts)
    : m_Outer(tLimit), m_TimeoutMs(timeoutMs), m_Attempts(attempts) {
    tLimit = this;
    gLiveLimits.fetch_add(1, std::memory_order_relaxed);
}

RequestLimit::~RequestLimit() {
    gLiveLimits.fetch_sub(1, std::memory_order_relaxed);
    tLimit = m_Outer;
}

bool SendRequest(ChannelHost& device, const unsigned char* payload, int length, const char* status,
                 int timeoutMs, Response* response, const char* once) {
    // One request, built and released in this call: on the stack, so that a
    // command costs no heap allocation.
    OwnRequest command(payload, length, status);
    if (timeoutMs != kTimeoutMs) {
        command.SetTimeout(timeoutMs);
    }
    if (gLiveLimits.load(std::memory_order_relaxed) != 0 && tLimit != nullptr) {
        command.SetTimeout(std::min(timeoutMs, tLimit->m_TimeoutMs));
        command.SetTries(tLimit->m_Attempts);
    }
    const bool ok = device.Carry(&command, once);
    if (ok && response != nullptr) {
        // Only the answer's bytes: the rest of the buffer was never written.
        const unsigned int count = command.m_ResponseCount;
        std::memcpy(response->bytes, command.m_Response,
                    std::min<std::size_t>(count, sizeof(response->bytes)));
        response->count = count;
    }
    return ok;
}

}  // namespace veltor
