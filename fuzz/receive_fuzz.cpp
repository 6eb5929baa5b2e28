// The receive side's sorting on chunk sequences of any size up to the
// largest read the port makes, with and without an awaited answer, with
// answers taken whole, given up and released between reads, as the watcher
// and the exchange drive it.
//
// The input is a list of operations; a read's bytes are the rest of the
// input, repeated to the read's size, so that a short input can make reads
// of kMaxFeed bytes after bytes held over from the read before.
//
// Beyond memory and undefined behaviour, it checks: no output of any call
// is ever refused for want of room; answer bytes come out only while an
// answer is awaited; every report handed on is a valid report.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "serial/LineSplitter.h"
#include "serial/Wire.h"

namespace {

void Check(const veltor::SplitOutput& out, bool awaiting) {
    FUZZ_CHECK(out.answer.refused == 0 && out.other.refused == 0 && out.reports.refused == 0);
    FUZZ_CHECK(awaiting || out.answer.count == 0);
    for (std::size_t i = 0; i < out.reports.count; ++i) {
        const veltor::DelayReport& r = out.reports.items[i];
        unsigned char bytes[veltor::kReportSize] = {veltor::kReportLead,
                                                    6,
                                                    r.channel,
                                                    static_cast<unsigned char>(r.counts),
                                                    static_cast<unsigned char>(r.counts >> 8),
                                                    static_cast<unsigned char>(r.counts >> 16),
                                                    static_cast<unsigned char>(r.counts >> 24),
                                                    0};
        unsigned char sum = 0;
        for (std::size_t k = 1; k + 1 < veltor::kReportSize; ++k) {
            sum = static_cast<unsigned char>(sum + bytes[k]);
        }
        bytes[veltor::kReportSize - 1] = static_cast<unsigned char>(0 - sum);
        FUZZ_CHECK(veltor::IsValidReport(bytes));
    }
}

// Read sizes worth trying: single bytes, a report's size and around it, an
// answer's longest, and the largest read.
std::size_t ReadSize(unsigned char choice, const uint8_t* data, std::size_t left) {
    static const std::size_t kSizes[] = {
        1, 2, 3, 5, 7, 8, 9, 16, 257, 258, 1024, veltor::kMaxFeed - 1, veltor::kMaxFeed};
    const std::size_t count = sizeof(kSizes) / sizeof(kSizes[0]);
    if (choice < count) {
        return kSizes[choice];
    }
    // Any other size, from the next two bytes.
    const std::size_t wide =
        left >= 2 ? (static_cast<std::size_t>(data[0]) << 8 | data[1]) : choice;
    return 1 + wide % veltor::kMaxFeed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    veltor::LineSplitter splitter;
    static veltor::SplitOutput out;
    static unsigned char read[veltor::kMaxFeed];
    std::size_t pos = 0;
    for (int ops = 0; ops < 64 && pos < size; ++ops) {
        const unsigned char op = data[pos++];
        const bool awaiting = (op & 0x40) != 0;
        splitter.ExpectAnswers((op & 0x20) != 0);
        out.Clear();
        switch (op & 0x07) {
            case 6:
                splitter.EndAnswer(out);
                break;
            case 7:
                splitter.ReleaseHeldAnswer(awaiting, out);
                break;
            default: {
                if (pos >= size) {
                    return 0;
                }
                const std::size_t n = ReadSize(data[pos], data + pos + 1, size - pos - 1);
                ++pos;
                const std::size_t tail = size - pos;
                if (tail == 0) {
                    return 0;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    read[k] = data[pos + k % tail];
                }
                pos += n < tail ? n : tail;
                // The exchange takes an answer that arrives whole and alone.
                const std::size_t taken =
                    awaiting && (op & 0x80) != 0 ? splitter.TakeWholeAnswer(read, n) : 0;
                FUZZ_CHECK(taken <= n && (taken == 0 || veltor::IsAnswerLead(read[0])));
                splitter.Feed(read + taken, n - taken, awaiting, out);
                break;
            }
        }
        Check(out, awaiting);
    }
    return 0;
}
