#include "device/ReportGatherer.h"

namespace veltor {

ReportGatherer::ReportGatherer() : m_pSorted(new SplitOutput) {
    // No request of the host's is owed an answer here: an answer lead among
    // these bytes is noise and hides no report after it.
    m_Splitter.ExpectAnswers(false);
}

ReportGatherer::~ReportGatherer() = default;

void ReportGatherer::Feed(const unsigned char* bytes, unsigned long count,
                          std::vector<DelayReport>& found) {
    std::lock_guard<std::mutex> hold(m_Lock);
    while (count > 0) {
        const unsigned long n = count < kMaxFeed ? count : static_cast<unsigned long>(kMaxFeed);
        m_pSorted->Clear();
        m_Splitter.Feed(bytes, n, false, *m_pSorted);
        found.insert(found.end(), m_pSorted->reports.items,
                     m_pSorted->reports.items + m_pSorted->reports.count);
        bytes += n;
        count -= n;
    }
}

}  // namespace veltor
