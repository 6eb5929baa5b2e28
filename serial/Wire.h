// What the line carries, written once for the library: the lead bytes of
// requests, answers and the instrument's unasked delay reports, and the
// checks on a report.
//
// A delay report is 8 bytes: 'Q' (0x51), 6, the channel index 0..7, the
// delay in clock counts (4 bytes, least significant first) and a checksum
// that makes bytes 1 to 7 sum to 0 modulo 256. A query's answer has the same
// layout under the lead byte 0xAA.
#pragma once

#include <cstddef>

namespace veltor {

const unsigned char kRequestLead = 0x25;
// The frame code of every request: 25 D8 L payload... 00 checksum.
const unsigned char kFrameCode = 0xD8;
const unsigned char kPositiveLead = 0xAA;
const unsigned char kNegativeLead = 0xEE;
const unsigned char kReportLead = 0x51;
const unsigned int kReportSize = 8;
// Bytes a report gatherer may hold: a report and, inside it, the start of a
// rival one (see JudgeReport).
const unsigned int kReportHold = 2 * kReportSize;
const unsigned int kChannelCount = 8;

// Payload bytes 0 and 1 of a channel query: 0x40 + channel index, 0x0B.
const unsigned char kQuerySelector = 0x40;
const unsigned char kQueryCode = 0x0B;

inline bool IsAnswerLead(unsigned char byte) {
    return byte == kPositiveLead || byte == kNegativeLead;
}

// True while the first n (1..8) bytes can still be the start of a valid
// report: lead, count byte 6, channel below 8; at 8 bytes, the checksum too.
bool IsReportPrefix(const unsigned char* bytes, std::size_t n);
inline bool IsValidReport(const unsigned char* report) {
    return IsReportPrefix(report, kReportSize);
}

// What to do with n (1..kReportHold) bytes gathered from a report lead on.
// A report cut off on the line and the report after it can make eight bytes
// that check out by chance (1 in 256); the report that begins inside them
// is then the real one. So a valid report with the start of another (a lead,
// 6, a channel) among its bytes 3 to 7 waits until that rival is whole, and
// gives way to it if it is valid too.
struct ReportVerdict {
    enum Kind {
        kWait,    // keep gathering
        kReport,  // bytes 0..7 are a report
        kDrop,    // the first `count` bytes belong to no report
    } kind;
    std::size_t count;
};
ReportVerdict JudgeReport(const unsigned char* held, std::size_t n);

// The 32-bit little-endian value at bytes 3 to 6 of a report or a query's
// answer: a delay in clock counts.
unsigned int DelayCounts(const unsigned char* message);

// True when bytes 1 to n-1 sum to 0 modulo 256 (the lead byte is outside
// the sum). Inline, as the next: on the path of every exchange.
inline bool ChecksumHolds(const unsigned char* message, std::size_t n) {
    unsigned char sum = 0;
    for (std::size_t i = 1; i < n; ++i) {
        sum = static_cast<unsigned char>(sum + message[i]);
    }
    return sum == 0;
}

// The channel index (0..7) a framed request queries, or -1 when it is no
// channel query.
inline int QueriedChannel(const unsigned char* request, int requestLength) {
    // Request: 25 D8 L payload... 00 cs; a query's payload is 40+ch 0B 00.
    const bool query = requestLength >= 8 && request[3] >= kQuerySelector &&
                       request[3] < kQuerySelector + kChannelCount && request[4] == kQueryCode;
    return query ? request[3] - kQuerySelector : -1;
}

// True when the complete answer (count bytes from its lead on) can belong to
// the framed request: a query's answer carries a delay and names the queried
// channel in byte 2, and no other request is answered with a query's answer.
// Without sequence numbers on the line, this is what keeps a late answer of
// one request from being taken for another's.
inline bool AnswerBelongs(const unsigned char* request, int requestLength,
                          const unsigned char* answer, unsigned int count) {
    const int queried = QueriedChannel(request, requestLength);
    if (queried >= 0) {
        return count >= kReportSize && answer[0] == kPositiveLead && answer[1] >= kReportSize - 2 &&
               answer[2] == queried;
    }
    const bool queryShaped =
        count >= kReportSize && answer[1] == kReportSize - 2 && answer[2] < kChannelCount;
    return !queryShaped;
}

}  // namespace veltor
