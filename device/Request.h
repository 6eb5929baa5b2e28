// One request to the instrument, built, carried out and released in one call:
// the shape shared by every command method.
#pragma once

#include "serial/Wire.h"

namespace veltor {

class ChannelHost;

const int kTimeoutMs = 500;
const int kAttempts = 5;

struct Response {
    unsigned char bytes[256];
    unsigned int count;
};

// Sends the payload with the frame code 0xD8, the status text, the time per
// wait for response bytes and 5 attempts. On success copies the response into
// *response when one is given.
// With `once` (what the request does, "the trigger"), the request is carried
// out at most once: see CVeltor::DoCommandOnce.
// While one lives, the requests its thread sends make at most `attempts`
// attempts, each waiting at most `timeoutMs`: the port probe runs the
// commands as they are, within a probe's bounds. Nests.
class RequestLimit {
public:
    RequestLimit(int timeoutMs, int attempts);
    ~RequestLimit();
    RequestLimit(const RequestLimit&) = delete;
    RequestLimit& operator=(const RequestLimit&) = delete;

private:
    const RequestLimit* m_Outer;
    int m_TimeoutMs;
    int m_Attempts;
    friend bool SendRequest(ChannelHost&, const unsigned char*, int, const char*, int, Response*,
                            const char*);
};

bool SendRequest(ChannelHost& device, const unsigned char* payload, int length, const char* status,
                 int timeoutMs = kTimeoutMs, Response* response = nullptr,
                 const char* once = nullptr);

}  // namespace veltor
