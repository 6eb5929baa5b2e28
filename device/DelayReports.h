// Gathering the instrument's unasked delay reports from the chunks of bytes
// the port delivers. Pure: no I/O, no device. The report layout is in
// serial/Wire.h.
#pragma once

namespace veltor {

typedef void (*DelayReportSink)(void* context, unsigned char channel, unsigned int counts);

// Continues the report in report[0..fill) (room for kReportHold bytes) with
// the bytes of chunk, calling sink for every valid report completed, in
// order, and keeps a partial report for the next chunk. Bytes before a 'Q'
// are skipped. As soon as the gathered bytes cannot become a valid report any
// more (a wrong count byte or channel, or a failed checksum), the gathering
// starts again at the next 'Q' among them, so a stray or cut-off report never
// hides the report that follows it (see JudgeReport in serial/Wire.h).
void GatherDelayReports(unsigned char* report, unsigned int& fill, const unsigned char* chunk,
                        unsigned long count, DelayReportSink sink, void* context);

}  // namespace veltor
