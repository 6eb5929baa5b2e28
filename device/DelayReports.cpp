#include "device/DelayReports.h"

namespace veltor {

namespace {

const unsigned char kReportLead = 0x51;

bool IsValid(const unsigned char* report) {
    if (report[1] != kDelayReportSize - 2 || report[2] >= 8) {
        return false;
    }
    unsigned char sum = 0;
    for (unsigned int i = 1; i < kDelayReportSize; ++i) {
        sum = static_cast<unsigned char>(sum + report[i]);
    }
    return sum == 0;
}

unsigned int Counts(const unsigned char* report) {
    return static_cast<unsigned int>(report[3]) | static_cast<unsigned int>(report[4]) << 8 |
           static_cast<unsigned int>(report[5]) << 16 | static_cast<unsigned int>(report[6]) << 24;
}

}  // namespace

void GatherDelayReports(unsigned char* report, unsigned int& fill, const unsigned char* chunk,
                        unsigned long count, DelayReportSink sink, void* context) {
    if (chunk == nullptr) {
        return;
    }
    unsigned long position = 0;
    for (;;) {
        if (fill >= kDelayReportSize) {
            fill = 0;  // never trust a count that no gathering could leave
        }
        if (fill == 0) {
            while (position < count && chunk[position] != kReportLead) {
                ++position;
            }
            if (position >= count) {
                return;
            }
        }
        const unsigned long start = position;
        while (fill < kDelayReportSize && position < count) {
            report[fill++] = chunk[position++];
        }
        if (fill < kDelayReportSize) {
            return;
        }
        fill = 0;
        if (IsValid(report)) {
            // Every valid report of a chunk is delivered, not only the first.
            if (sink != nullptr) {
                sink(context, report[2], Counts(report));
            }
        } else {
            position = start + 1;
        }
    }
}

}  // namespace veltor
