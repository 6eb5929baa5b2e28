#include "serial/protocol/Ledger.h"

namespace veltor {
namespace protocol {

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
