#include "serial/LineSplitter.h"

#include <cstring>

#include "serial/Wire.h"

namespace veltor {

LineSplitter::LineSplitter()
    : m_State(kIdle),
      m_bAwaiting(false),
      m_bAnswersOff(false),
      m_bAnswersOwed(true),
      m_Held(),
      m_nHeld(0),
      m_nHeldReread(0),
      m_Answer(),
      m_nAnswer(0),
      m_nAnswerToExchange(0),
      m_nLeft(0),
      m_nAnswers(0),
      m_nNoise(0) {}

void LineSplitter::Feed(const unsigned char* bytes, std::size_t n, bool awaiting, Output& out) {
    if (bytes == nullptr) {
        return;
    }
    if (n > kMaxFeed) {
        n = kMaxFeed;
    }
    m_bAwaiting = awaiting;
    for (std::size_t i = 0; i < n; ++i) {
        Step(bytes[i], out);
    }
}

std::size_t LineSplitter::TakeWholeAnswer(const unsigned char* bytes, std::size_t n) {
    if (m_State != kIdle || m_nHeld > 0 || m_bAnswersOff || n < 2 || bytes == nullptr) {
        return 0;
    }
    // A negative answer ends at its header for the exchange; one that claims
    // a body is left to Feed.
    const bool lead = bytes[0] == kPositiveLead || (bytes[0] == kNegativeLead && bytes[1] == 0);
    const std::size_t whole = 2 + static_cast<std::size_t>(bytes[1]);
    if (!lead || whole > n || (whole > 2 && !ChecksumHolds(bytes, whole))) {
        return 0;
    }
    m_bAwaiting = true;
    ++m_nAnswers;
    return whole;
}

std::size_t LineSplitter::HeldAnswerStart() const {
    // Bytes 1 and 2 of a report (6, a channel below 8) can be no answer lead.
    // Eight bytes or more begin with a whole report.
    // Bytes read again for reports start no answer.
    for (std::size_t p = m_nHeldReread > 3 ? m_nHeldReread : 3;
         p + 1 < m_nHeld && m_nHeld < kReportSize; ++p) {
        const std::size_t length = m_Held[p + 1];
        if (IsAnswerLead(m_Held[p]) && length >= 1 && m_nHeld - p == length + 2 &&
            ChecksumHolds(m_Held + p, length + 2)) {
            return p;
        }
    }
    return 0;
}

void LineSplitter::ReleaseHeldAnswer(bool awaiting, Output& out) {
    const std::size_t p = m_nHeld >= kHeldAnswerMin ? HeldAnswerStart() : 0;
    if (p == 0) {
        return;
    }
    unsigned char answer[kReportHold];
    const std::size_t n = m_nHeld - p;
    std::memcpy(answer, m_Held + p, n);
    m_nHeld = m_nHeldReread = 0;
    m_bAwaiting = awaiting;
    EmitOther(m_Held, p, true, out);
    Restep(answer, n, out);
}

void LineSplitter::EndAnswer(Output& out) {
    if (m_State != kIdle) {
        m_State = kIdle;
        ReadAnswerAgain(out);
    }
    m_nAnswer = m_nAnswerToExchange = 0;
}

void LineSplitter::Step(unsigned char byte, Output& out) {
    switch (m_State) {
        case kLength:
            AddAnswerByte(byte, out);
            m_nLeft = byte;
            m_State = kBody;
            if (m_nLeft == 0) {
                CompleteAnswer(out);
            }
            return;
        case kBody:
            AddAnswerByte(byte, out);
            if (--m_nLeft == 0) {
                CompleteAnswer(out);
            }
            return;
        case kIdle:
            break;
    }
    if (m_nHeld > 0) {
        Hold(byte);
        Settle(out);
    } else if (!m_bAnswersOff && (m_bAwaiting || m_bAnswersOwed) && IsAnswerLead(byte)) {
        m_State = kLength;
        m_nAnswer = m_nAnswerToExchange = 0;
        AddAnswerByte(byte, out);
    } else if (byte == kReportLead) {
        Hold(byte);
    } else {
        EmitOther(&byte, 1, true, out);
    }
}

void LineSplitter::Hold(unsigned char byte) {
    m_Held[m_nHeld++] = byte;
    if (m_bAnswersOff) {
        m_nHeldReread = m_nHeld;
    }
}

void LineSplitter::Settle(Output& out) {
    const ReportVerdict verdict = JudgeReport(m_Held, m_nHeld);
    if (verdict.kind == ReportVerdict::kWait) {
        return;
    }
    // A report goes on whole; bytes that belong to none are passed on. What
    // was held beyond them is read again, from the state they leave.
    unsigned char rest[kReportHold];
    const std::size_t n = m_nHeld - verdict.count;
    const std::size_t reread = m_nHeldReread > verdict.count ? m_nHeldReread - verdict.count : 0;
    std::memcpy(rest, m_Held + verdict.count, n);
    m_nHeld = m_nHeldReread = 0;
    if (verdict.kind == ReportVerdict::kReport) {
        out.reports.Append(DelayReport{m_Held[2], DelayCounts(m_Held)});
    }
    EmitOther(m_Held, verdict.count, verdict.kind == ReportVerdict::kDrop, out);
    // Bytes that were an answer's once and are being read again for reports
    // start no answer a second time: each byte reaches the exchange at most
    // once, which is what bounds every output of one call.
    const bool answersOff = m_bAnswersOff;
    m_bAnswersOff = true;
    Restep(rest, reread, out);
    m_bAnswersOff = answersOff;
    Restep(rest + reread, n - reread, out);
}

void LineSplitter::Restep(const unsigned char* bytes, std::size_t n, Output& out) {
    for (std::size_t i = 0; i < n; ++i) {
        Step(bytes[i], out);
    }
}

void LineSplitter::AddAnswerByte(unsigned char byte, Output& out) {
    if (m_nAnswer < sizeof(m_Answer)) {
        m_Answer[m_nAnswer++] = byte;
    }
    // To the exchange while it awaits, from the lead on without a gap; the
    // bytes of an answer nobody awaits wait here until it is whole, when it
    // is known whether they are an answer or bytes to read again for reports.
    if (m_bAwaiting && m_nAnswerToExchange + 1 == m_nAnswer) {
        out.answer.Append(byte);
        ++m_nAnswerToExchange;
    }
}

void LineSplitter::CompleteAnswer(Output& out) {
    m_State = kIdle;
    ++m_nAnswers;
    const std::size_t n = m_nAnswer;
    if (n > 2 && !ChecksumHolds(m_Answer, n)) {
        ReadAnswerAgain(out);
    } else {
        EmitOther(m_Answer + m_nAnswerToExchange, n - m_nAnswerToExchange, false, out);
    }
    m_nAnswer = m_nAnswerToExchange = 0;
}

void LineSplitter::ReadAnswerAgain(Output& out) {
    // A cut-off answer swallows what follows it, reports included. The lead
    // is noise unless the exchange took it; every other byte is read again.
    if (m_nAnswerToExchange == 0 && m_nAnswer > 0) {
        EmitOther(m_Answer, 1, true, out);
    }
    ReadAgainForReports(1, m_nAnswer, out);
}

void LineSplitter::ReadAgainForReports(std::size_t from, std::size_t to, Output& out) {
    if (to <= from) {
        return;
    }
    unsigned char again[sizeof(m_Answer)];
    const std::size_t n = to - from;
    std::memcpy(again, m_Answer + from, n);
    const bool awaiting = m_bAwaiting;
    const bool answersOff = m_bAnswersOff;
    m_bAwaiting = false;
    m_bAnswersOff = true;
    Restep(again, n, out);
    m_bAwaiting = awaiting;
    m_bAnswersOff = answersOff;
}

void LineSplitter::EmitOther(const unsigned char* bytes, std::size_t n, bool noise, Output& out) {
    out.other.Append(bytes, n);
    if (noise && m_bAwaiting) {
        m_nNoise += n;
    }
}

}  // namespace veltor
