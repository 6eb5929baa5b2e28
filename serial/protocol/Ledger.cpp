#include "serial/protocol/Ledger.h"

namespace veltor {
namespace protocol {

void Ledger::NoteRequest(const unsigned char* request, int length) {
    ++requests;
    ++written;
    const int queried = QueriedChannel(request, length);
    if (queried >= 0) {
        queriedAt[queried] = written;
    }
}

long Ledger::Owed(unsigned long seen) const {
    const long owed = static_cast<long>(requests - seen);
    return owed > 0 ? owed : 0;
}

void Ledger::InStep(unsigned long seen) {
    // Unasked answers can make the count of those seen run ahead; the
    // requests are counted as if each had its answer.
    requests = seen;
    inStepAt = written;
    answersAtInStep = seen;
}

unsigned long Ledger::FirstMayAnswer(unsigned long seen) const {
    // The instrument answers in order and each request once at most: the
    // k-th answer seen since the line was in step belongs to the k-th
    // request written since then or a later one, so none of the first k
    // can still be answered.
    return inStepAt + (seen - answersAtInStep) + 1;
}

bool Ledger::MayOweQueryOf(int channel, unsigned long seen) const {
    return queriedAt[channel] >= FirstMayAnswer(seen);
}

int Ledger::ChannelOwedNothing(unsigned long seen) const {
    const unsigned long first = FirstMayAnswer(seen);
    int oldest = -1;
    for (int channel = 0; channel < static_cast<int>(kChannelCount); ++channel) {
        if (queriedAt[channel] < first && (oldest < 0 || queriedAt[channel] < queriedAt[oldest])) {
            oldest = channel;
        }
    }
    return oldest;
}

}  // namespace protocol
}  // namespace veltor
