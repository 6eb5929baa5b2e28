// The exchange: the one rule by which the host talks to the instrument, free
// of ports, threads and clocks. A driver (the serial device) does the
// writing, reading and waiting it asks for and hands back what happened, with
// the line's state and the time; tests drive it from a script.
//
// The rule: take an answer only if it can belong to this request; send a
// request again only if it cannot have been carried out.
//
// Words used throughout the library:
// - attempt: one request written and its answer awaited, for the command's
//   time-out from the moment the request can have left on the line.
// - owed answer: the instrument answers every request once, in order; an
//   answer not seen yet for a request written is owed (the Ledger counts
//   them). It may still come, late, before the next request's own.
// - late answer: an owed answer that comes after its attempt gave up.
// - in step: nothing is owed, so the next answer is the next request's.
//   Getting back in step: before a command, the owed answers are waited for,
//   or a query whose answer cannot be an owed one (of a channel no owed
//   answer can name) is sent, and what comes before its answer is late.
// - turn: the receive side's part of one attempt (see serial/ReceiveSide.h).
// - held answer: answer bytes kept back behind what may be a cut-off delay
//   report, until the line has been quiet long enough to tell.
// - filler burst: the 1024 bytes the host writes after opening a port, so
//   that the instrument's receiver ends any half-received request.
// - at most once: a command whose effect must not happen twice (the forced
//   trigger) is not sent again once the instrument may have carried it out.
#pragma once

#include <veltor/CCommand.h>

#include <optional>

#include "serial/protocol/Ledger.h"

namespace veltor {
namespace protocol {

// How an attempt, or getting back in step, ended. The same values, in the
// same order, as CSerDev::Outcome.
enum class Outcome {
    kNone,
    kSuccess,
    kNotConnected,
    kWriteFailed,
    kNoAnswer,
    kNegative,
    kWrongLead,
    kIncomplete,
    kBadChecksum,
    kPortLost,
    kMismatch,
    kClosed,
    kOutOfStep,
    kCancelled,
};

// Queries sent at most before one command to get back in step.
const int kStepQueries = 2;

// The line as the driver sees it at each call.
struct Line {
    long long nowUs = 0;
    // Answers the receive side has seen since the line opened.
    unsigned long seen = 0;
    bool connected = false;
    bool lost = false;     // the port went away
    bool closing = false;  // the connection is being closed
    bool cancelled = false;
};

// What the driver is to do next.
struct Step {
    enum Kind : unsigned char {
        // Begin an attempt of `command`: take the receive side (first
        // taking what waits out of the answer's way when `takeWaiting`),
        // then call Writing, write the request and call Written (or NotSent
        // when the attempt cannot begin).
        kSend,
        // Read the attempt's answer until `deadlineUs` (its body may take its
        // wire time beyond), then call Answered or Stopped.
        kAwaitAnswer,
        // Wait for owed answers until `deadlineUs`, or until woken by the
        // line; then call Woken.
        kAwaitOwed,
        // The run is over: `outcome`, after `attempts` attempts of the
        // command.
        kDone,
    };
    // The fields are ordered so that a step fits in 32 bytes: it is passed
    // back by value at every step of every exchange.
    CCommand* command = nullptr;
    long long deadlineUs = 0;
    Kind kind = kDone;
    // kSend: an answer is owed, so one may wait unread in the driver's queue
    // and must be read before the request goes out, or it would be taken for
    // the request's own. While nothing is owed, no answer can wait there:
    // bytes that do are read with the answer and sorted like those that come
    // after the request (reports delivered, noise skipped).
    bool takeWaiting = false;
    // The attempt in progress ended with `attemptOutcome`: the driver ends
    // its turn and records the outcome before doing the rest.
    bool attemptEnded = false;
    // kDone of a command to be carried out at most once: it failed after the
    // instrument may have carried it out, and it was not sent again.
    bool mayHaveHappened = false;
    Outcome attemptOutcome = Outcome::kNone;
    Outcome outcome = Outcome::kNone;
    int attempts = 0;
};

// One run over the line: a whole command, one attempt, or getting back in
// step alone. Lives for the run, on the exchanging thread, which holds the
// device's lock; keeps the ledger up to date.
class Exchange {
public:
    enum class Run {
        kCommand,     // get back in step, then attempts while tries last
        kOneAttempt,  // one attempt, as it stands
        kGetInStep,   // get back in step before `command` (not sent)
        kAwaitOwed,   // wait for owed answers within the last attempt's time
    };
    // `command` outlives the run; `once`: not sent again once it may have
    // been carried out.
    Exchange(Ledger& ledger, Run run, CCommand* command, bool once)
        : m_Ledger(ledger), m_Run(run), m_pCommand(command), m_bOnce(once) {}
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    Step Start(const Line& line);
    // kSend: the attempt cannot begin (not connected, the port found gone).
    Step NotSent(Outcome why, const Line& line);
    // kSend: the request is about to be written (it is owed from now on).
    void Writing(const Line& line);
    // kSend: the write's result; `onWireUs`, when the request can have left
    // on the line.
    Step Written(bool ok, long long onWireUs, const Line& line);
    // kAwaitAnswer: `have` bytes of the answer (lead first); `whole` when the
    // answer is complete as its header says, else its deadline passed.
    // `noise`: bytes since the attempt began that were neither answer nor
    // report.
    Step Answered(const unsigned char* answer, long have, bool whole, bool noise, const Line& line);
    // kAwaitAnswer: the line was lost, closed or the command cancelled.
    Step Stopped(const Line& line);
    // kAwaitOwed: woken by the line or the deadline.
    Step Woken(const Line& line);

    // What getting back in step or the last attempt ended with.
    Outcome Last() const { return m_Last; }

private:
    enum class Phase { kAwaitLate, kStepFree, kStepQuery, kAttempt, kDone };
    Step LookLate(const Line& line);
    Step EnterStepFree(const Line& line);
    Step LookStepFree(const Line& line);
    Step InStep(const Line& line);
    Step BeginAttempt(CCommand* command, const Line& line);
    Step EndAttempt(Outcome outcome, bool timed, const Line& line);
    Step AfterStepQuery(Outcome outcome, const Line& line);
    Step AfterAttempt(Outcome outcome, const Line& line);
    Step Done(Outcome outcome);
    Step Await(Step::Kind kind, long long deadlineUs) const;

    Ledger& m_Ledger;
    const Run m_Run;
    CCommand* const m_pCommand;
    const bool m_bOnce;
    Phase m_Phase = Phase::kAwaitLate;
    // The attempt in progress: its command, whether its answer can prove
    // the line in step, and answers of other requests seen in it.
    CCommand* m_pAttempt = nullptr;
    bool m_bAnswerTellsStep = false;
    bool m_bMismatch = false;
    long long m_DeadlineUs = 0;
    int m_nAttempts = 0;
    int m_nStepQueries = 0;
    long long m_StepDeadlineUs = 0;
    Outcome m_Last = Outcome::kNone;
    // Getting back in step's query, made when it is sent.
    std::optional<CCommand> m_StepQuery;
};

}  // namespace protocol
}  // namespace veltor
