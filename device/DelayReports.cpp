#include "device/DelayReports.h"

#include <cstring>

#include "serial/Wire.h"

namespace veltor {

namespace {

// Drops the first `count` bytes and whatever follows them up to the next
// report lead; returns the new fill.
unsigned int DropFront(unsigned char* held, unsigned int fill, unsigned int count) {
    while (count < fill && held[count] != kReportLead) {
        ++count;
    }
    std::memmove(held, held + count, fill - count);
    return fill - count;
}

}  // namespace

void GatherDelayReports(unsigned char* report, unsigned int& fill, const unsigned char* chunk,
                        unsigned long count, DelayReportSink sink, void* context) {
    if (chunk == nullptr) {
        return;
    }
    if (fill >= kReportHold) {
        fill = 0;  // never trust a count that no gathering could leave
    }
    for (unsigned long i = 0; i < count; ++i) {
        if (fill == 0 && chunk[i] != kReportLead) {
            continue;
        }
        report[fill++] = chunk[i];
        while (fill > 0) {
            const ReportVerdict verdict = JudgeReport(report, fill);
            if (verdict.kind == ReportVerdict::kWait) {
                break;
            }
            if (verdict.kind == ReportVerdict::kReport && sink != nullptr) {
                sink(context, report[2], DelayCounts(report));
            }
            fill = DropFront(report, fill, static_cast<unsigned int>(verdict.count));
        }
    }
}

}  // namespace veltor
