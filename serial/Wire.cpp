#include "serial/Wire.h"

namespace veltor {

bool IsReportPrefix(const unsigned char* bytes, std::size_t n) {
    if (n == 0 || bytes[0] != kReportLead) {
        return false;
    }
    if (n > 1 && bytes[1] != kReportSize - 2) {
        return false;
    }
    if (n > 2 && bytes[2] >= kChannelCount) {
        return false;
    }
    return n < kReportSize || (n == kReportSize && ChecksumHolds(bytes, kReportSize));
}

ReportVerdict JudgeReport(const unsigned char* held, std::size_t n) {
    const std::size_t front = n < kReportSize ? n : kReportSize;
    if (!IsReportPrefix(held, front)) {
        return {ReportVerdict::kDrop, 1};
    }
    if (n < kReportSize) {
        return {ReportVerdict::kWait, 0};
    }
    // A rival can start no earlier than byte 3 (bytes 1 and 2 of a report
    // are 6 and a channel below 8) and counts from byte 5 on only: its own
    // first three bytes must show inside the report. A rival later than that
    // (the checksum byte alone is 0x51 in one report of 256) would hold too
    // many good reports back until the next byte on the line; a report cut
    // off after its sixth byte stays open to the chance match.
    for (std::size_t k = 3; k <= kReportSize - 3; ++k) {
        const std::size_t rival = n - k < kReportSize ? n - k : kReportSize;
        if (held[k] == kReportLead && IsReportPrefix(held + k, rival)) {
            return rival < kReportSize ? ReportVerdict{ReportVerdict::kWait, 0}
                                       : ReportVerdict{ReportVerdict::kDrop, k};
        }
    }
    return {ReportVerdict::kReport, kReportSize};
}

unsigned int DelayCounts(const unsigned char* message) {
    return static_cast<unsigned int>(message[3]) | static_cast<unsigned int>(message[4]) << 8 |
           static_cast<unsigned int>(message[5]) << 16 |
           static_cast<unsigned int>(message[6]) << 24;
}

}  // namespace veltor
