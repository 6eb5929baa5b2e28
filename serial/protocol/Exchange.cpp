#include "serial/protocol/Exchange.h"

#include <cstring>

#include "serial/Wire.h"

namespace veltor {
namespace protocol {

// The small steps of the rule are inline within this file: every exchange
// passes through several of them.

namespace {

// Outcomes after which no further attempt can go better: there is no port,
// or the host wants the command to end.
bool EndsCommand(Outcome outcome) {
    return outcome == Outcome::kPortLost || outcome == Outcome::kNotConnected ||
           outcome == Outcome::kClosed || outcome == Outcome::kCancelled;
}

// A whole answer into the command's record, as CCommand::AddResponse
// stores it and CheckResponse judges it, in one copy: false when it is not
// complete, a failed checksum marked in the count.
bool Record(CCommand* command, const unsigned char* answer, long have) {
    const unsigned int count = static_cast<unsigned int>(have);
    if (count > sizeof(command->m_Response) || !IsAnswerLead(answer[0])) {
        // Longer than the record (its checksum would wrap onto its lead).
        return command->AddResponse(answer, count);
    }
    const unsigned int length = answer[1];
    if (count < length + 2 || count < static_cast<unsigned int>(command->GetHeaderSize())) {
        return false;
    }
    std::memcpy(command->m_Response, answer, count);
    command->m_ResponseCount = count;
    if (length != 0 && !ChecksumHolds(answer, length + 2)) {
        command->m_ResponseCount = CCommand::kChecksumFailed;
    }
    return true;
}

}  // namespace

Step Exchange::Start(const Line& line) {
    if (m_Run == Run::kOneAttempt) {
        return BeginAttempt(m_pCommand, line);
    }
    // Before a command, nothing owed may be taken for its answer.
    if (!line.connected) {
        return InStep(line);
    }
    m_Phase = Phase::kAwaitLate;
    return LookLate(line);
}

// ---- Getting back in step ------------------------------------------------------------

inline Step Exchange::LookLate(const Line& line) {
    // Owed answers are awaited, at most until the last attempt's time-out
    // has passed once more since that attempt ended.
    if (m_Ledger.Owed(line.seen) == 0) {
        m_Ledger.InStep(line.seen);
        return InStep(line);
    }
    const long long deadline =
        m_Ledger.lastAttemptEndUs + static_cast<long long>(m_Ledger.lastTimeoutMs) * 1000;
    if (!line.lost && !line.closing && !line.cancelled && line.nowUs < deadline) {
        return Await(Step::kAwaitOwed, deadline);
    }
    if (m_Run == Run::kAwaitOwed) {
        return Done(Outcome::kNone);
    }
    // Some are still owed: unless there is nothing to send or no line to
    // send it on, a query is to prove the line in step.
    if (!line.connected || m_pCommand == nullptr) {
        return InStep(line);
    }
    if (line.cancelled) {
        m_Last = Outcome::kCancelled;
        return Done(m_Last);
    }
    return EnterStepFree(line);
}

Step Exchange::EnterStepFree(const Line& line) {
    if (m_nStepQueries >= kStepQueries) {
        m_Last = Outcome::kOutOfStep;
        return Done(m_Last);
    }
    m_Phase = Phase::kStepFree;
    m_StepDeadlineUs = line.nowUs + static_cast<long long>(m_pCommand->m_Timeout) * 1000;
    return LookStepFree(line);
}

Step Exchange::LookStepFree(const Line& line) {
    // While every channel's query may still be answered late, no query can
    // prove the line in step: the answers owed are awaited, for one more
    // time-out at most, until nothing is owed, the command's own answer can
    // tell (a query of a channel owed nothing), or a channel is free.
    if (m_Ledger.Owed(line.seen) == 0) {
        m_Ledger.InStep(line.seen);
        return InStep(line);
    }
    const int queried = QueriedChannel(m_pCommand->m_Request, m_pCommand->m_RequestLength);
    if (queried >= 0 && !m_Ledger.MayOweQueryOf(queried, line.seen)) {
        return InStep(line);
    }
    const int channel = m_Ledger.ChannelOwedNothing(line.seen);
    if (channel >= 0) {
        // Its answer cannot be an earlier request's come late; the answer
        // to one that fails may come late too, and the next asks another.
        const unsigned char payload[3] = {static_cast<unsigned char>(kQuerySelector + channel),
                                          kQueryCode, 0x00};
        m_StepQuery.emplace(kFrameCode, payload, static_cast<int>(sizeof(payload)),
                            "Getting back in step...", 0, m_pCommand->m_Timeout, 1);
        m_Phase = Phase::kStepQuery;
        return BeginAttempt(&*m_StepQuery, line);
    }
    if (line.lost || line.closing || line.cancelled) {
        m_Last = line.lost      ? Outcome::kPortLost
                 : line.closing ? Outcome::kClosed
                                : Outcome::kCancelled;
        return Done(m_Last);
    }
    if (line.nowUs >= m_StepDeadlineUs) {
        m_Last = Outcome::kOutOfStep;
        return Done(m_Last);
    }
    return Await(Step::kAwaitOwed, m_StepDeadlineUs);
}

inline Step Exchange::InStep(const Line& line) {
    if (m_Run != Run::kCommand) {
        return Done(Outcome::kSuccess);
    }
    m_Phase = Phase::kAttempt;
    return BeginAttempt(m_pCommand, line);
}

Step Exchange::Woken(const Line& line) {
    switch (m_Phase) {
        case Phase::kAwaitLate:
            return LookLate(line);
        case Phase::kStepFree:
            return LookStepFree(line);
        default:
            return Done(m_Last);
    }
}

// ---- One attempt ---------------------------------------------------------------------

inline Step Exchange::BeginAttempt(CCommand* command, const Line& line) {
    m_pAttempt = command;
    if (m_Phase == Phase::kAttempt || m_Run == Run::kOneAttempt) {
        ++m_nAttempts;
    }
    if (line.closing) {
        return EndAttempt(Outcome::kClosed, false, line);
    }
    if (command == nullptr || !line.connected) {
        return EndAttempt(line.lost ? Outcome::kPortLost : Outcome::kNotConnected, false, line);
    }
    if (line.cancelled) {
        return EndAttempt(Outcome::kCancelled, false, line);
    }
    command->m_ResponseCount = 0;
    Step step;
    step.kind = Step::kSend;
    step.command = command;
    step.takeWaiting = m_Ledger.Owed(line.seen) > 0;
    return step;
}

Step Exchange::NotSent(Outcome why, const Line& line) {
    return EndAttempt(why, true, line);
}

void Exchange::Writing(const Line& line) {
    // A query's answer names its channel: when no answer still owed can be
    // that of a query of the same channel, its own answer cannot be taken
    // for another's, and every answer owed before it has come by then.
    const int queried = QueriedChannel(m_pAttempt->m_Request, m_pAttempt->m_RequestLength);
    m_bAnswerTellsStep = queried >= 0 && !m_Ledger.MayOweQueryOf(queried, line.seen);
    m_bMismatch = false;
    m_Ledger.NoteRequest(m_pAttempt->m_Request, m_pAttempt->m_RequestLength);
}

Step Exchange::Written(bool ok, long long onWireUs, const Line& line) {
    if (!ok) {
        return EndAttempt(line.lost ? Outcome::kPortLost : Outcome::kWriteFailed, true, line);
    }
    // One deadline for the attempt, whatever arrives meanwhile.
    m_DeadlineUs = onWireUs + static_cast<long long>(m_pAttempt->m_Timeout) * 1000;
    return Await(Step::kAwaitAnswer, m_DeadlineUs);
}

Step Exchange::Answered(const unsigned char* answer, long have, bool whole, bool noise,
                        const Line& line) {
    CCommand* command = m_pAttempt;
    if (have < 2) {
        return EndAttempt(m_bMismatch ? Outcome::kMismatch
                          : noise     ? Outcome::kWrongLead
                                      : Outcome::kNoAnswer,
                          true, line);
    }
    if (answer[0] == kNegativeLead) {
        if (m_Phase != Phase::kStepQuery) {
            return EndAttempt(Outcome::kNegative, true, line);
        }
        // A refusal cannot be told from an earlier request's, come late.
        m_bMismatch = true;
        return Await(Step::kAwaitAnswer, m_DeadlineUs);
    }
    command->m_ResponseCount = 0;
    if (!whole) {
        // The header came, the rest did not: the record keeps the header.
        command->AddResponse(answer, 2);
        return EndAttempt(Outcome::kIncomplete, true, line);
    }
    if (!Record(command, answer, have)) {
        return EndAttempt(Outcome::kIncomplete, true, line);
    }
    if (command->m_ResponseCount == CCommand::kChecksumFailed) {
        return EndAttempt(Outcome::kBadChecksum, true, line);
    }
    if (AnswerBelongs(command->m_Request, command->m_RequestLength, command->m_Response,
                      command->m_ResponseCount)) {
        if (m_bAnswerTellsStep) {
            m_Ledger.InStep(line.seen);
        }
        return EndAttempt(Outcome::kSuccess, true, line);
    }
    // Another request's answer, come late: this request's own answer may
    // still follow within the attempt's time. Failing at once would send the
    // request again, and the instrument would carry it out twice.
    m_bMismatch = true;
    command->m_ResponseCount = 0;
    return Await(Step::kAwaitAnswer, m_DeadlineUs);
}

Step Exchange::Stopped(const Line& line) {
    return EndAttempt(line.lost      ? Outcome::kPortLost
                      : line.closing ? Outcome::kClosed
                                     : Outcome::kCancelled,
                      true, line);
}

Step Exchange::EndAttempt(Outcome outcome, bool timed, const Line& line) {
    m_Last = outcome;
    if (timed) {
        // After a cancel the host wants the device back: the next command
        // does not wait out this attempt's time for its answer, but gets
        // back in step with a query at once.
        m_Ledger.lastAttemptEndUs = line.nowUs;
        m_Ledger.lastTimeoutMs = outcome == Outcome::kCancelled ? 0 : m_pAttempt->m_Timeout;
    }
    Step step =
        m_Phase == Phase::kStepQuery ? AfterStepQuery(outcome, line) : AfterAttempt(outcome, line);
    step.attemptEnded = true;
    step.attemptOutcome = outcome;
    return step;
}

Step Exchange::AfterStepQuery(Outcome outcome, const Line& line) {
    if (outcome == Outcome::kSuccess) {
        m_Ledger.InStep(line.seen);
        return InStep(line);
    }
    if (EndsCommand(outcome)) {
        return Done(outcome);
    }
    ++m_nStepQueries;
    return EnterStepFree(line);
}

inline Step Exchange::AfterAttempt(Outcome outcome, const Line& line) {
    if (outcome == Outcome::kSuccess || m_Run == Run::kOneAttempt) {
        return Done(outcome);
    }
    --m_pAttempt->m_Tries;
    // A refused request, or one that never went out whole, was not carried
    // out; after anything else the instrument may have carried it out, and
    // a command that must happen at most once is not sent again.
    const bool mayHaveHappened = outcome != Outcome::kNegative &&
                                 outcome != Outcome::kWriteFailed &&
                                 outcome != Outcome::kNotConnected;
    if (m_bOnce && mayHaveHappened) {
        Step step = Done(outcome);
        step.mayHaveHappened = true;
        return step;
    }
    // Without a port, every further attempt would fail the same way.
    if (m_pAttempt->m_Tries <= 0 || EndsCommand(outcome)) {
        return Done(outcome);
    }
    return BeginAttempt(m_pAttempt, line);
}

inline Step Exchange::Done(Outcome outcome) {
    m_Phase = Phase::kDone;
    Step step;
    step.kind = Step::kDone;
    step.outcome = outcome;
    step.attempts = m_nAttempts;
    return step;
}

inline Step Exchange::Await(Step::Kind kind, long long deadlineUs) const {
    Step step;
    step.kind = kind;
    step.command = m_pAttempt;
    step.deadlineUs = deadlineUs;
    return step;
}

}  // namespace protocol
}  // namespace veltor
