// Delay reports in bytes that a host hands the device itself (a transport
// of its own, a recorded trace), judged as the line's own bytes are: a
// report may be split over calls, noise and bad reports are passed over,
// and every valid report is found. The bytes from the device's own line
// never come here: the receive side has judged them already.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "serial/LineSplitter.h"

namespace veltor {

class ReportGatherer {
public:
    ReportGatherer();
    ~ReportGatherer();
    ReportGatherer(const ReportGatherer&) = delete;
    ReportGatherer& operator=(const ReportGatherer&) = delete;

    // Appends the whole, valid reports that these bytes complete, in order.
    // A partial report waits for the next call. Any thread.
    void Feed(const unsigned char* bytes, unsigned long count, std::vector<DelayReport>& found);

private:
    std::mutex m_Lock;
    LineSplitter m_Splitter;
    std::unique_ptr<SplitOutput> m_pSorted;  // large: kept off the stack
};

}  // namespace veltor
