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

// ---- Inline: on the path of every exchange ----

inline void Ledger::NoteRequest(const unsigned char* request, int length) {
    ++requests;
    ++written;
    const int queried = QueriedChannel(request, length);
    if (queried >= 0) {
        queriedAt[queried] = written;
    }
}

inline long Ledger::Owed(unsigned long seen) const {
    const long owed = static_cast<long>(requests - seen);
    return owed > 0 ? owed : 0;
}

inline void Ledger::InStep(unsigned long seen) {
    // Unasked answers can make the count of those seen run ahead; the
    // requests are counted as if each had its answer.
    requests = seen;
    inStepAt = written;
    answersAtInStep = seen;
}

inline unsigned long Ledger::FirstMayAnswer(unsigned long seen) const {
    // The instrument answers in order and each request once at most: the
    // k-th answer seen since the line was in step belongs to the k-th
    // request written since then or a later one, so none of the first k
    // can still be answered.
    return inStepAt + (seen - answersAtInStep) + 1;
}

inline bool Ledger::MayOweQueryOf(int channel, unsigned long seen) const {
    return queriedAt[channel] >= FirstMayAnswer(seen);
}

}  // namespace protocol
}  // namespace veltor
