// Gathering the instrument's unasked delay reports from the chunks of bytes
// the port delivers. Pure: no I/O, no device.
//
// A report is 8 bytes: 'Q' (0x51), 6, the channel index 0..7, the delay in
// clock counts (4 bytes, least significant first) and a checksum that makes
// bytes 1 to 7 sum to 0 modulo 256.
#pragma once

namespace veltor {

const unsigned int kDelayReportSize = 8;

typedef void (*DelayReportSink)(void* context, unsigned char channel, unsigned int counts);

// Continues the report in report[0..fill) with the bytes of chunk, calling
// sink for every valid report completed, in order, and keeps a partial report
// for the next chunk. Bytes before a 'Q' are skipped; after an invalid report
// the search resumes just past the byte where its gathering began in this
// chunk.
void GatherDelayReports(unsigned char* report, unsigned int& fill, const unsigned char* chunk,
                        unsigned long count, DelayReportSink sink, void* context);

}  // namespace veltor
