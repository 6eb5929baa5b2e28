// The answers owed on a line: what the host has written and what the
// instrument has answered so far, as plain data. The exchange (Exchange.h)
// keeps it, under the device's lock; the receive side only counts the
// answers it sees and is told how many requests are counted.
#pragma once

#include "serial/Wire.h"

namespace veltor {
namespace protocol {

// The instrument answers requests in order, and answers carry no sequence
// number: an answer owed to an earlier request can only be told from the
// next request's own when the two differ in kind (a query's answer names its
// channel). The ledger says what may still be on its way. `seen` is always
// the count of answers the receive side has seen since the line opened.
struct Ledger {
    // A framed request is being written: its answer is owed until one is seen.
    void NoteRequest(const unsigned char* request, int length);
    // How many answers earlier requests still owe (never below 0).
    long Owed(unsigned long seen) const;
    // Every answer owed so far has come or will never come (an answer that
    // only a later request's answer can follow was seen): nothing is owed.
    void InStep(unsigned long seen);
    // Whether an answer still owed may be that of a query of `channel`.
    bool MayOweQueryOf(int channel, unsigned long seen) const;
    // A channel whose query no answer still owed can be, queried longest
    // ago; -1 when every channel's query may still be answered late. Only
    // such a query's answer proves that all owed before it have come.
    int ChannelOwedNothing(unsigned long seen) const;

    // Requests counted as owing an answer: those written, less those whose
    // answers will never come (set back to the answers seen when in step).
    unsigned long requests = 0;
    // Requests written since the line opened, numbered from 1; the number of
    // the last one written when the line was last in step, and the answers
    // seen by then; the number of the last query of each channel.
    unsigned long written = 0;
    unsigned long inStepAt = 0;
    unsigned long answersAtInStep = 0;
    unsigned long queriedAt[kChannelCount] = {};
    // When the last attempt ended, and how long its answer may still take to
    // come late after that (0 after a cancel: the host wants the line back).
    long long lastAttemptEndUs = 0;
    int lastTimeoutMs = 0;

private:
    // The number of the first request written since the line was last in
    // step whose answer may still come.
    unsigned long FirstMayAnswer(unsigned long seen) const;
};

}  // namespace protocol
}  // namespace veltor
