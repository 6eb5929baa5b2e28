// The RFC 2217 session on arbitrary server bytes in arbitrary chunks, and the
// negotiation on them. The first input byte chooses the chunk sizes, whether
// the line settings are asked for from the start and how much of the queue
// the owner takes away after each chunk; the rest is what the server sends.
//
// Beyond memory and undefined behaviour, it checks: no more data bytes come
// out than went in; the outgoing queue stays within its cap; the session is
// always in one of its states; the data bytes, and the commands sent when
// none were dropped, do not depend on how the input was cut; the
// negotiation ends once the server has nothing more to send.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "serial/Rfc2217.h"

namespace {

using Bytes = std::vector<uint8_t>;
using veltor::Rfc2217Session;
using State = Rfc2217Session::State;

bool IsState(State state) {
    switch (state) {
        case State::Offering:
        case State::Agreed:
        case State::Configuring:
        case State::Ready:
        case State::Refused:
        case State::Failed:
            return true;
    }
    return false;
}

size_t Step(uint8_t cut, size_t at, size_t size) {
    return cut == 0 ? size : 1 + (cut + at) % (cut % 17 + 1);
}

struct Run {
    Bytes data;
    Bytes sent;
    size_t dropped = 0;
};

Run Feed(const uint8_t* bytes, size_t size, uint8_t cut, bool configure, bool partly) {
    Rfc2217Session session;
    session.Start();
    if (configure) {
        session.Configure(115200);
    }
    Run run;
    Bytes chunk;
    for (size_t at = 0; at < size;) {
        const size_t step = Step(cut, at, size);
        const size_t n = step < size - at ? step : size - at;
        chunk.assign(bytes + at, bytes + at + n);
        at += n;
        const size_t kept = session.Receive(chunk.data(), n);
        FUZZ_CHECK(kept <= n);
        run.data.insert(run.data.end(), chunk.begin(), chunk.begin() + kept);
        FUZZ_CHECK(IsState(session.GetState()));
        std::vector<unsigned char>& queue = session.Outgoing();
        FUZZ_CHECK(queue.size() <= Rfc2217Session::kOutgoingCap);
        // The owner sends what the socket takes: all, or (a full socket) a
        // part, the rest left queued.
        const size_t taken = partly ? queue.size() / 3 : queue.size();
        run.sent.insert(run.sent.end(), queue.begin(), queue.begin() + taken);
        queue.erase(queue.begin(), queue.begin() + taken);
    }
    const std::vector<unsigned char>& queue = session.Outgoing();
    run.sent.insert(run.sent.end(), queue.begin(), queue.end());
    run.dropped = session.Dropped();
    return run;
}

// The server's bytes in chunks, then the end of the connection.
class ChunkLink : public veltor::Rfc2217Link {
public:
    ChunkLink(const uint8_t* bytes, size_t size, uint8_t cut)
        : m_Bytes(bytes), m_Size(size), m_Cut(cut) {}
    bool Send(const unsigned char*, size_t count, long timeoutMs) override {
        FUZZ_CHECK(count <= Rfc2217Session::kOutgoingCap && timeoutMs > 0);
        return true;
    }
    long Receive(unsigned char* bytes, size_t capacity, long) override {
        if (m_At == m_Size) {
            return -1;
        }
        size_t n = Step(m_Cut, m_At, m_Size);
        n = n < m_Size - m_At ? n : m_Size - m_At;
        n = n < capacity ? n : capacity;
        std::memcpy(bytes, m_Bytes + m_At, n);
        m_At += n;
        return static_cast<long>(n);
    }

private:
    const uint8_t* m_Bytes;
    size_t m_Size;
    uint8_t m_Cut;
    size_t m_At = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t control = data[0];
    ++data;
    --size;
    const bool configure = (control & 0x80) != 0;
    const bool partly = (control & 0x40) != 0;
    const uint8_t cut = control & 0x3F;
    const Run whole = Feed(data, size, 0, configure, false);
    const Run pieces = Feed(data, size, cut, configure, partly);
    FUZZ_CHECK(whole.data.size() <= size);
    FUZZ_CHECK(whole.data == pieces.data);
    if (whole.dropped == 0 && pieces.dropped == 0) {
        FUZZ_CHECK(whole.sent == pieces.sent);
    }

    // The negotiation as the RFC 2217 link runs it: the option, then the
    // line. The link ends when the input does, so it ends without a clock.
    Rfc2217Session session;
    session.Start();
    ChunkLink link(data, size, cut);
    if (veltor::NegotiateRfc2217(session, State::Agreed, link, 60000).empty() && configure) {
        session.Configure(9600);
        veltor::NegotiateRfc2217(session, State::Ready, link, 60000);
    }
    FUZZ_CHECK(IsState(session.GetState()));
    return 0;
}
