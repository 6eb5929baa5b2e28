// Sorting the bytes the instrument sends into the answer an exchange awaits
// and everything else (delay reports, late answers, noise). Pure: no I/O.
//
// The line carries answers (0xAA or 0xEE, a length L, L more bytes) and
// unasked delay reports (serial/Wire.h) with nothing to tell them apart but
// their shape, so the splitter follows message boundaries across the whole
// stream: a 0xAA inside a report is not an answer, and a report glued to an
// answer is not part of it. A report candidate is held back until it is
// whole or can no longer be one; bytes that turn out to belong to no message
// are passed on as they are, and the bytes after them are read again.
#pragma once

#include <cstddef>

#include "serial/Wire.h"

namespace veltor {

// The most bytes one Feed may take: the largest read the port makes.
const std::size_t kMaxFeed = 4096;
// The longest answer: lead, length and up to 255 bytes.
const std::size_t kMaxAnswer = 2 + 255;

// What one call of the splitter can produce, from what it may take in: the
// bytes fed, and either up to kReportHold - 1 bytes held back by the call
// before or the bytes of an answer begun before (up to kMaxAnswer). Each byte
// goes to the exchange at most once (bytes read again for reports start no
// answer) and to the other bytes at most once: directly, when the answer it
// belongs to is whole, or when that answer is read again for reports.
const std::size_t kMaxTakenIn = kMaxFeed + kMaxAnswer;
const std::size_t kAnswerRoom = kMaxFeed + kReportHold;
const std::size_t kOtherRoom = kMaxTakenIn;
const std::size_t kReportRoom = kOtherRoom / kReportSize + 1;

// A fixed array with a count that no append can carry past its end. Room
// follows from the constants above, so nothing is ever refused; a refusal
// would be a fault of the splitter, counted in `refused` (the fuzz targets
// check it stays 0).
template <typename T, std::size_t N>
struct Bounded {
    T items[N];
    std::size_t count = 0;
    std::size_t refused = 0;
    static constexpr std::size_t kRoom = N;
    void Append(const T* from, std::size_t n) {
        const std::size_t room = N - count;
        const std::size_t taken = n < room ? n : room;
        for (std::size_t i = 0; i < taken; ++i) {
            items[count + i] = from[i];
        }
        count += taken;
        refused += n - taken;
    }
    void Append(const T& item) { Append(&item, 1); }
};

// A whole, valid delay report the splitter found in the stream.
struct DelayReport {
    unsigned char channel;  // 0..7
    unsigned int counts;
};

// Where the bytes of one Feed (or one EndAnswer, or one ReleaseHeldAnswer)
// went. Cleared by its user before each call.
struct SplitOutput {
    // Bytes of answers, for the waiting exchange (only while it awaits).
    Bounded<unsigned char, kAnswerRoom> answer;
    // Everything else, in arrival order: unasked bytes for the host and the
    // trace. A bad answer's bytes may come here a second time (see Feed).
    Bounded<unsigned char, kOtherRoom> other;
    // The valid delay reports among the other bytes, in arrival order; each
    // byte of the stream is judged once, here.
    Bounded<DelayReport, kReportRoom> reports;
    void Clear() { answer.count = other.count = reports.count = 0; }
};

class LineSplitter {
public:
    typedef SplitOutput Output;

    LineSplitter();

    // Sorts n (at most kMaxFeed) bytes, appending to out. While an answer is
    // awaited, answer bytes go to out.answer; otherwise every byte goes to
    // out.other once, an answer's bytes when it is whole (a late answer is
    // unasked bytes like any other). Whole valid reports also go to
    // out.reports. An answer that completes with a bad checksum is read again
    // for reports, since a cut-off answer swallows what follows it.
    void Feed(const unsigned char* bytes, std::size_t n, bool awaiting, Output& out);

    // The answer being received is given up (a new attempt begins): its
    // bytes are read again for reports, and the next answer lead starts a
    // new answer. A report being gathered is kept.
    void EndAnswer(Output& out);

    // The length of the whole answer that bytes begin with, taken as an
    // awaited Feed of those bytes would take it, when nothing is under way
    // (no answer, no report being gathered) and its checksum holds; else 0,
    // and nothing is taken. The bytes after it are the caller's to Feed.
    // Lets the exchange take its answer straight from what it read.
    std::size_t TakeWholeAnswer(const unsigned char* bytes, std::size_t n);

    // True when the report being gathered may still go on, but ends in a
    // whole answer whose checksum holds: a report cut off by an answer, or a
    // report whose delay bytes happen to read like one. Only time tells them
    // apart: a report's bytes follow each other closely on the line.
    bool HoldsAnswer() const { return m_nHeld >= kHeldAnswerMin && HeldAnswerStart() != 0; }
    // Nothing under way: no answer begun, no report candidate held, so
    // EndAnswer and ReleaseHeldAnswer have nothing to give up.
    bool Idle() const { return m_State == kIdle && m_nHeld == 0 && m_nAnswer == 0; }
    // Takes the held bytes for a cut-off report and the answer after it.
    void ReleaseHeldAnswer(bool awaiting, Output& out);

    // Whether an answer can come while none is awaited: one owed to an
    // earlier request, late. While none is owed, a lead byte that no answer
    // can follow is noise like any other, and a stray one never hides the
    // reports after it. Owed by default; the receive side says before each
    // call.
    void ExpectAnswers(bool owed) { m_bAnswersOwed = owed; }

    // Answers completed so far, awaited or not.
    unsigned long Answers() const { return m_nAnswers; }
    // Bytes that arrived while an answer was awaited and were neither part of
    // an answer nor of a valid report.
    unsigned long Noise() const { return m_nNoise; }

private:
    enum State { kIdle, kLength, kBody };
    // The fewest held bytes that can end in an answer: three of a report,
    // then an answer's lead and length.
    static const std::size_t kHeldAnswerMin = 5;

    void Step(unsigned char byte, Output& out);
    void Hold(unsigned char byte);
    void Settle(Output& out);
    std::size_t HeldAnswerStart() const;
    void Restep(const unsigned char* bytes, std::size_t n, Output& out);
    void AddAnswerByte(unsigned char byte, Output& out);
    void CompleteAnswer(Output& out);
    void ReadAnswerAgain(Output& out);
    void ReadAgainForReports(std::size_t from, std::size_t to, Output& out);
    void EmitOther(const unsigned char* bytes, std::size_t n, bool noise, Output& out);

    State m_State;
    bool m_bAwaiting;
    bool m_bAnswersOff;  // while a bad answer is read again
    bool m_bAnswersOwed;
    unsigned char m_Held[kReportHold];
    std::size_t m_nHeld;
    std::size_t m_nHeldReread;  // leading held bytes that are being read again
    unsigned char m_Answer[kMaxAnswer];
    std::size_t m_nAnswer;
    std::size_t m_nAnswerToExchange;  // leading bytes of m_Answer that went to the exchange
    std::size_t m_nLeft;
    unsigned long m_nAnswers;
    unsigned long m_nNoise;
};

}  // namespace veltor
