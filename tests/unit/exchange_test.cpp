// The exchange's rule against a scripted line: no port, no thread, no
// clock. Each row says what the line does after each request written, and
// what the run must end with.
#include "serial/protocol/Exchange.h"

#include <gtest/gtest.h>
#include <veltor/CCommand.h>

#include <deque>
#include <string>
#include <vector>

#include "serial/Wire.h"

namespace {

using veltor::protocol::Exchange;
using veltor::protocol::Ledger;
using veltor::protocol::Line;
using veltor::protocol::Outcome;
using veltor::protocol::Step;
using Bytes = std::vector<unsigned char>;

Bytes Ack() {
    return {0xAA, 0x00};
}
Bytes Refusal() {
    return {0xEE, 0x00};
}
// A checksum that fails.
Bytes Garbled() {
    return {0xAA, 0x02, 0x01, 0x01};
}
// A query's answer: channel, delay in counts, checksum over bytes 1 to 7.
Bytes QueryAnswer(int channel, unsigned counts) {
    Bytes b = {0xAA,
               0x06,
               static_cast<unsigned char>(channel),
               static_cast<unsigned char>(counts),
               static_cast<unsigned char>(counts >> 8),
               static_cast<unsigned char>(counts >> 16),
               static_cast<unsigned char>(counts >> 24),
               0};
    unsigned sum = 0;
    for (int i = 1; i < 7; ++i) {
        sum += b[i];
    }
    b[7] = static_cast<unsigned char>(0 - sum);
    return b;
}

CCommand Request(const Bytes& payload, int tries = 5) {
    return CCommand(veltor::kFrameCode, payload.data(), static_cast<int>(payload.size()),
                    "Testing...", 0, 100, tries);
}
CCommand Query(int channel, int tries = 5) {
    return Request(
        {static_cast<unsigned char>(veltor::kQuerySelector + channel), veltor::kQueryCode, 0x00},
        tries);
}
const Bytes kEnable = {0x80};

// What reaches the host after one request, in order; nothing more comes
// (the attempt's deadline passes) once the list is used up.
struct Arrival {
    enum Kind { kAnswer, kCut, kNoise, kWriteFails, kLost, kClosed, kCancelled } kind;
    Bytes bytes;
};
using Reply = std::vector<Arrival>;
Arrival Answer(const Bytes& b) {
    return {Arrival::kAnswer, b};
}
const Arrival kCut{Arrival::kCut, {0xAA, 0x02}};
const Arrival kNoise{Arrival::kNoise, {}};
const Arrival kWriteFails{Arrival::kWriteFails, {}};
const Arrival kLost{Arrival::kLost, {}};
const Arrival kClosed{Arrival::kClosed, {}};
const Arrival kCancelled{Arrival::kCancelled, {}};

// A line with answers owed to earlier requests: the queries of `channels`
// (a letter each; '-' for a request that is no query).
void Owe(Ledger& ledger, const std::string& channels) {
    for (char c : channels) {
        const CCommand earlier = c == '-' ? Request(kEnable) : Query(c - 'A');
        ledger.NoteRequest(earlier.m_Request, earlier.m_RequestLength);
    }
    ledger.lastTimeoutMs = 100;
}

// The run's end, and what was written: "cmd" for the command, "qX" for a
// query of channel X sent to get back in step.
struct Result {
    Outcome outcome = Outcome::kNone;
    int attempts = 0;
    bool mayHaveHappened = false;
    std::string written;
    Bytes response;
    // For each request written, whether the driver was to take what waits
    // in its queue out of the way first: 'y' or 'n'.
    std::string tookWaiting;
};

// Drives an exchange the way the serial device does, from a script.
// `waiting`: for each request in turn, what already waits in the driver's
// queue when it is about to be written. Taken out of the way (answers
// counted, nothing given to the exchange) when the step says so, else read
// first within the attempt.
Result Drive(Exchange::Run run, CCommand& command, bool once, Ledger& ledger, Line line,
             std::deque<Reply> replies, std::deque<Bytes> late = {},
             std::deque<Reply> waiting = {}) {
    Exchange exchange(ledger, run, &command, once);
    Result result;
    Reply reply;
    bool noise = false;
    Step step = exchange.Start(line);
    for (int guard = 0; guard < 100; ++guard) {
        line.nowUs += 10;
        switch (step.kind) {
            case Step::kDone:
                result.outcome = step.outcome;
                result.attempts = step.attempts;
                result.mayHaveHappened = step.mayHaveHappened;
                result.response.assign(
                    command.m_Response,
                    command.m_Response +
                        (command.m_ResponseCount < 256 ? command.m_ResponseCount : 0));
                return result;
            case Step::kSend: {
                const int queried =
                    veltor::QueriedChannel(step.command->m_Request, step.command->m_RequestLength);
                result.written += result.written.empty() ? "" : " ";
                result.written += step.command == &command
                                      ? std::string("cmd")
                                      : std::string("q") + static_cast<char>('A' + queried);
                reply = replies.empty() ? Reply{} : replies.front();
                if (!replies.empty()) {
                    replies.pop_front();
                }
                result.tookWaiting += step.takeWaiting ? 'y' : 'n';
                const Reply queued = waiting.empty() ? Reply{} : waiting.front();
                if (!waiting.empty()) {
                    waiting.pop_front();
                }
                for (const Arrival& a : queued) {
                    if (step.takeWaiting) {
                        line.seen += a.kind == Arrival::kAnswer ? 1 : 0;
                    }
                }
                if (!step.takeWaiting) {
                    reply.insert(reply.begin(), queued.begin(), queued.end());
                }
                noise = false;
                exchange.Writing(line);
                const bool fails = !reply.empty() && reply.front().kind == Arrival::kWriteFails;
                step = exchange.Written(!fails, line.nowUs, line);
                break;
            }
            case Step::kAwaitAnswer: {
                if (reply.empty()) {
                    line.nowUs = step.deadlineUs;
                    step = exchange.Answered(nullptr, 0, false, noise, line);
                    break;
                }
                const Arrival arrival = reply.front();
                reply.erase(reply.begin());
                switch (arrival.kind) {
                    case Arrival::kAnswer:
                    case Arrival::kCut:
                        ++line.seen;
                        step = exchange.Answered(arrival.bytes.data(),
                                                 static_cast<long>(arrival.bytes.size()),
                                                 arrival.kind == Arrival::kAnswer, noise, line);
                        break;
                    case Arrival::kNoise:
                        noise = true;
                        break;
                    case Arrival::kLost:
                        line.lost = true;
                        line.connected = false;
                        step = exchange.Stopped(line);
                        break;
                    case Arrival::kClosed:
                        line.closing = true;
                        step = exchange.Stopped(line);
                        break;
                    case Arrival::kCancelled:
                        line.cancelled = true;
                        step = exchange.Stopped(line);
                        break;
                    case Arrival::kWriteFails:
                        break;
                }
                break;
            }
            case Step::kAwaitOwed:
                if (late.empty()) {
                    line.nowUs = step.deadlineUs;
                } else {
                    ++line.seen;
                    late.pop_front();
                }
                step = exchange.Woken(line);
                break;
        }
    }
    ADD_FAILURE() << "the run did not end";
    return result;
}

Line Connected() {
    Line line;
    line.nowUs = 1000;
    line.connected = true;
    return line;
}

struct Case {
    const char* name;
    bool query;        // the command queries channel A, else it enables outputs
    bool once;         // carried out at most once
    const char* owed;  // answers owed before the command (see Owe)
    std::deque<Reply> replies;
    std::deque<Bytes> late;  // owed answers that come while the run waits for them
    Outcome outcome;
    int attempts;
    const char* written;
    bool mayHaveHappened;
};

TEST(Exchange, EveryOutcomeOfACommand) {
    const Bytes a7 = QueryAnswer(0, 7);
    const Bytes b9 = QueryAnswer(1, 9);
    const Case kCases[] = {
        // Attempts and retries.
        {"acknowledged",
         false,
         false,
         "",
         {{Answer(Ack())}},
         {},
         Outcome::kSuccess,
         1,
         "cmd",
         false},
        {"no answer five times",
         false,
         false,
         "",
         {},
         {},
         Outcome::kNoAnswer,
         5,
         "cmd cmd cmd cmd cmd",
         false},
        {"no answer, then acknowledged",
         false,
         false,
         "",
         {{}, {Answer(Ack())}},
         {},
         Outcome::kSuccess,
         2,
         "cmd cmd",
         false},
        {"refused every time",
         false,
         false,
         "",
         {{Answer(Refusal())},
          {Answer(Refusal())},
          {Answer(Refusal())},
          {Answer(Refusal())},
          {Answer(Refusal())}},
         {},
         Outcome::kNegative,
         5,
         "cmd cmd cmd cmd cmd",
         false},
        {"garbled, then acknowledged",
         false,
         false,
         "",
         {{Answer(Garbled())}, {Answer(Ack())}},
         {},
         Outcome::kSuccess,
         2,
         "cmd cmd",
         false},
        {"cut after its header",
         false,
         false,
         "",
         {{kCut}, {kCut}, {kCut}, {kCut}, {kCut}},
         {},
         Outcome::kIncomplete,
         5,
         "cmd cmd cmd cmd cmd",
         false},
        {"only noise",
         false,
         false,
         "",
         {{kNoise}, {kNoise}, {kNoise}, {kNoise}, {kNoise}},
         {},
         Outcome::kWrongLead,
         5,
         "cmd cmd cmd cmd cmd",
         false},
        {"the write fails, then goes",
         false,
         false,
         "",
         {{kWriteFails}, {Answer(Ack())}},
         {},
         Outcome::kSuccess,
         2,
         "cmd cmd",
         false},
        {"the port is lost: no retry",
         false,
         false,
         "",
         {{kLost}},
         {},
         Outcome::kPortLost,
         1,
         "cmd",
         false},
        {"closed meanwhile: no retry",
         false,
         false,
         "",
         {{kClosed}},
         {},
         Outcome::kClosed,
         1,
         "cmd",
         false},
        {"cancelled: no retry",
         false,
         false,
         "",
         {{kCancelled}},
         {},
         Outcome::kCancelled,
         1,
         "cmd",
         false},
        // At most once.
        {"once: no answer is not sent again",
         false,
         true,
         "",
         {},
         {},
         Outcome::kNoAnswer,
         1,
         "cmd",
         true},
        {"once: a refusal was not carried out",
         false,
         true,
         "",
         {{Answer(Refusal())}, {Answer(Ack())}},
         {},
         Outcome::kSuccess,
         2,
         "cmd cmd",
         false},
        {"once: a failed write was not carried out",
         false,
         true,
         "",
         {{kWriteFails}, {Answer(Ack())}},
         {},
         Outcome::kSuccess,
         2,
         "cmd cmd",
         false},
        {"once: garbled may have been carried out",
         false,
         true,
         "",
         {{Answer(Garbled())}},
         {},
         Outcome::kBadChecksum,
         1,
         "cmd",
         true},
        // Answers of other requests within an attempt.
        {"another channel's answer, then its own",
         true,
         false,
         "",
         {{Answer(b9), Answer(a7)}},
         {},
         Outcome::kSuccess,
         1,
         "cmd",
         false},
        {"only other channels' answers",
         true,
         false,
         "",
         {{Answer(b9)}, {Answer(b9)}, {Answer(b9)}, {Answer(b9)}, {Answer(b9)}},
         {},
         Outcome::kMismatch,
         5,
         "cmd cmd cmd cmd cmd",
         false},
        // Getting back in step.
        {"an owed answer comes while waited for",
         false,
         false,
         "-",
         {{Answer(Ack())}},
         {Ack()},
         Outcome::kSuccess,
         1,
         "cmd",
         false},
        {"an owed answer never comes: a query first",
         false,
         false,
         "-",
         {{Answer(Ack()), Answer(a7)}, {Answer(Ack())}},
         {},
         Outcome::kSuccess,
         1,
         "qA cmd",
         false},
        {"the step query's refusal may be late",
         false,
         false,
         "-",
         {{Answer(Refusal()), Answer(a7)}, {Answer(Ack())}},
         {},
         Outcome::kSuccess,
         1,
         "qA cmd",
         false},
        {"step queries unanswered: not sent",
         false,
         false,
         "-",
         {{}, {}},
         {},
         Outcome::kOutOfStep,
         0,
         "qA qB",
         false},
        {"every channel owed and nothing comes: not sent",
         false,
         false,
         "ABCDEFGH",
         {},
         {},
         Outcome::kOutOfStep,
         0,
         "",
         false},
        {"a query owed nothing tells the step itself",
         true,
         false,
         "-",
         {{Answer(Ack()), Answer(a7)}},
         {},
         Outcome::kSuccess,
         1,
         "cmd",
         false},
        {"cancelled during a step query",
         false,
         false,
         "-",
         {{kCancelled}},
         {},
         Outcome::kCancelled,
         0,
         "qA",
         false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        CCommand command = c.query ? Query(0) : Request(kEnable);
        Ledger ledger;
        Owe(ledger, c.owed);
        Line line = Connected();
        const Result r =
            Drive(Exchange::Run::kCommand, command, c.once, ledger, line, c.replies, c.late);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.attempts, c.attempts);
        EXPECT_EQ(r.written, c.written);
        EXPECT_EQ(r.mayHaveHappened, c.mayHaveHappened);
        // Each attempt that failed took one of the command's tries.
        EXPECT_EQ(command.m_Tries, 5 - r.attempts + (r.outcome == Outcome::kSuccess ? 1 : 0));
    }
}

// After cancels, every channel's query may still be answered; an owed
// answer must never be taken as the proof that the line is in step, nor as
// the next query's answer.
TEST(Exchange, OwedAnswersAreNeverTakenForTheNextQuery) {
    struct Row {
        const char* name;
        const char* owed;
        std::deque<Reply> replies;
        std::deque<Bytes> late;
        Outcome outcome;
        const char* written;
        unsigned counts;  // what channel A's answer that was taken holds
    };
    const Row kRows[] = {
        {"channel H free: its query proves the step, then A's own answer",
         "ABCDEFG",
         {{Answer(QueryAnswer(0, 1)), Answer(QueryAnswer(7, 2))}, {Answer(QueryAnswer(0, 42))}},
         {},
         Outcome::kSuccess,
         "qH cmd",
         42},
        {"every channel owed: the late answers are waited for, then A is asked",
         "ABCDEFGH",
         {{Answer(QueryAnswer(0, 42))}},
         {QueryAnswer(0, 1), QueryAnswer(1, 1), QueryAnswer(2, 1), QueryAnswer(3, 1),
          QueryAnswer(4, 1), QueryAnswer(5, 1), QueryAnswer(6, 1), QueryAnswer(7, 1)},
         Outcome::kSuccess,
         "cmd",
         42},
        {"A's own query owed: its answer is late, not the new one's",
         "A",
         {{Answer(QueryAnswer(0, 1)), Answer(QueryAnswer(1, 5))}, {Answer(QueryAnswer(0, 42))}},
         {},
         Outcome::kSuccess,
         "qB cmd",
         42},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        CCommand command = Query(0);
        Ledger ledger;
        Owe(ledger, row.owed);
        const Result r = Drive(Exchange::Run::kCommand, command, false, ledger, Connected(),
                               row.replies, row.late);
        EXPECT_EQ(r.outcome, row.outcome);
        EXPECT_EQ(r.written, row.written);
        ASSERT_EQ(r.response.size(), 8u);
        EXPECT_EQ(veltor::DelayCounts(r.response.data()), row.counts);
    }
}

// A query's answer names its channel and carries its delay: an answer too
// short to hold one, or naming another channel, is no answer to it, and the
// query is asked again.
TEST(Exchange, AQueryTakesOnlyAnAnswerWithItsChannelAndDelay) {
    const Bytes kNotItsAnswer[] = {
        {0xAA, 0x01, 0xFF},
        Ack(),
        {0xAA, 0x04, 0x01, 0x02, 0x03, 0xF6},
        QueryAnswer(2, 42),
    };
    for (const Bytes& other : kNotItsAnswer) {
        SCOPED_TRACE(::testing::PrintToString(other));
        CCommand command = Query(0);
        Ledger ledger;
        const Result r = Drive(Exchange::Run::kCommand, command, false, ledger, Connected(),
                               {{Answer(other)}, {Answer(QueryAnswer(0, 7))}});
        EXPECT_EQ(r.outcome, Outcome::kSuccess);
        EXPECT_EQ(r.written, "cmd cmd");
        ASSERT_EQ(r.response.size(), 8u);
        EXPECT_EQ(veltor::DelayCounts(r.response.data()), 7u);
    }
}

// Before a request is written, what waits unread in the driver's queue is
// read out of the answer's way only while an answer is owed: only then can
// an earlier request's answer be waiting there to be taken for this one's.
// While nothing is owed the request goes out at once, and what waits (noise,
// reports) is sorted with the answer.
TEST(Exchange, WhatWaitsIsTakenOutOfTheWayWhileAnAnswerIsOwed) {
    struct Row {
        const char* name;
        Exchange::Run run;
        bool query;  // the command queries channel A, else it enables outputs
        const char* owed;
        std::deque<Reply> waiting;
        std::deque<Reply> replies;
        Outcome outcome;
        const char* written;
        const char* tookWaiting;
        Bytes response;
    };
    const Bytes a1 = QueryAnswer(0, 1);
    const Bytes a42 = QueryAnswer(0, 42);
    const Row kRows[] = {
        {"nothing owed: noise waiting is read with the answer",
         Exchange::Run::kCommand,
         false,
         "",
         {{kNoise}},
         {{Answer(Ack())}},
         Outcome::kSuccess,
         "cmd",
         "n",
         Ack()},
        {"one attempt while an answer is owed: the late acknowledgement waiting is no "
         "answer to it",
         Exchange::Run::kOneAttempt,
         false,
         "-",
         {{Answer(Ack())}},
         {{Answer(Refusal())}},
         Outcome::kNegative,
         "cmd",
         "y",
         {}},
        {"a retry: the unanswered attempt's late answer waiting is set aside",
         Exchange::Run::kCommand,
         true,
         "",
         {{}, {Answer(a1)}},
         {{}, {Answer(a42)}},
         Outcome::kSuccess,
         "cmd cmd",
         "ny",
         a42},
        {"getting back in step: the query after owed answers, then the command at once",
         Exchange::Run::kCommand,
         false,
         "-",
         {{Answer(Ack())}},
         {{Answer(a1)}, {Answer(Ack())}},
         Outcome::kSuccess,
         "qA cmd",
         "yn",
         Ack()},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        CCommand command = row.query ? Query(0) : Request(kEnable);
        Ledger ledger;
        Owe(ledger, row.owed);
        const Result r =
            Drive(row.run, command, false, ledger, Connected(), row.replies, {}, row.waiting);
        EXPECT_EQ(r.outcome, row.outcome);
        EXPECT_EQ(r.written, row.written);
        EXPECT_EQ(r.tookWaiting, row.tookWaiting);
        if (!row.response.empty()) {
            EXPECT_EQ(r.response, row.response);
        }
    }
}

TEST(Exchange, RunsOfOneKind) {
    struct Row {
        const char* name;
        Exchange::Run run;
        bool connected;
        const char* owed;
        std::deque<Reply> replies;
        std::deque<Bytes> late;
        Outcome outcome;
        const char* written;
        int tries;  // the command's
        int triesLeft;
    };
    const Row kRows[] = {
        {"one attempt leaves the tries alone",
         Exchange::Run::kOneAttempt,
         true,
         "",
         {},
         {},
         Outcome::kNoAnswer,
         "cmd",
         5,
         5},
        {"one attempt without a line",
         Exchange::Run::kOneAttempt,
         false,
         "",
         {},
         {},
         Outcome::kNotConnected,
         "",
         5,
         5},
        {"a command without a line",
         Exchange::Run::kCommand,
         false,
         "-",
         {},
         {},
         Outcome::kNotConnected,
         "",
         5,
         4},
        {"waiting for owed answers that come",
         Exchange::Run::kAwaitOwed,
         true,
         "--",
         {},
         {Ack(), Ack()},
         Outcome::kSuccess,
         "",
         5,
         5},
        {"waiting for owed answers that do not",
         Exchange::Run::kAwaitOwed,
         true,
         "-",
         {},
         {},
         Outcome::kNone,
         "",
         5,
         5},
        {"getting in step sends no command",
         Exchange::Run::kGetInStep,
         true,
         "-",
         {{Answer(QueryAnswer(0, 3))}},
         {},
         Outcome::kSuccess,
         "qA",
         5,
         5},
        {"a command without tries left is sent once",
         Exchange::Run::kCommand,
         true,
         "",
         {},
         {},
         Outcome::kNoAnswer,
         "cmd",
         0,
         -1},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        CCommand command = Request(kEnable, row.tries);
        Ledger ledger;
        Owe(ledger, row.owed);
        Line line = Connected();
        line.connected = row.connected;
        const Result r = Drive(row.run, command, false, ledger, line, row.replies, row.late);
        EXPECT_EQ(r.outcome, row.outcome);
        EXPECT_EQ(r.written, row.written);
        EXPECT_EQ(command.m_Tries, row.triesLeft);
    }
}

}  // namespace
