#include "device/DelayReports.h"

#include <cstring>

#include "serial/Wire.h"

namespace veltor {

unsigned int ResyncReport(unsigned char* held, unsigned int fill) {
    while (fill > 0 && !IsReportPrefix(held, fill)) {
        unsigned int next = 1;
        while (next < fill && held[next] != kReportLead) {
            ++next;
        }
        std::memmove(held, held + next, fill - next);
        fill -= next;
    }
    return fill;
}

void GatherDelayReports(unsigned char* report, unsigned int& fill, const unsigned char* chunk,
                        unsigned long count, DelayReportSink sink, void* context) {
    if (chunk == nullptr) {
        return;
    }
    if (fill >= kReportSize) {
        fill = 0;  // never trust a count that no gathering could leave
    }
    for (unsigned long i = 0; i < count; ++i) {
        if (fill == 0 && chunk[i] != kReportLead) {
            continue;
        }
        report[fill++] = chunk[i];
        fill = ResyncReport(report, fill);
        if (fill == kReportSize) {
            fill = 0;
            if (sink != nullptr) {
                sink(context, report[2], DelayCounts(report));
            }
        }
    }
}

}  // namespace veltor
